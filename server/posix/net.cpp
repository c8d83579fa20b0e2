// The relay's sockets on Unix: one unconnected UDP socket that talks to many clients, with
// batched receive and send on Linux, and the local address each datagram arrived at (IP_PKTINFO)
// for the answers to leave from.
#include "server/net_sockaddr.h"

#ifndef _WIN32

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

int net_ready() {
    return 1;
}

static void say(char* err, int size, const char* what) {
    if (err == nullptr || size <= 0) return;
    std::snprintf(err, static_cast<size_t>(size), "%s: %s", what, std::strerror(errno));
}

int net_open(const char* host, int port, char* err, int err_size) {
    NetAddr local;
    if (!net_resolve(host, port, &local)) {
        if (err != nullptr && err_size > 0)
            std::snprintf(err, static_cast<size_t>(err_size), "cannot use address %s port %d", host,
                          port);
        return -1;
    }
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_UDP);
    if (fd < 0) {
        say(err, err_size, "socket");
        return -1;
    }
    sockaddr_in sa = net_to_sockaddr(&local);
    if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        say(err, err_size, "bind");
        close(fd);
        return -1;
    }
    // Bound to every address: each datagram says which one it came in at.
    int on = 1;
    if (local.ip == 0 && setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &on, sizeof on) != 0) {
        say(err, err_size, "IP_PKTINFO");
        close(fd);
        return -1;
    }
    return fd;
}

int net_local(int fd, NetAddr* out) {
    sockaddr_in sa;
    socklen_t len = sizeof sa;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return 0;
    net_from_sockaddr(&sa, out);
    return 1;
}

static int wait_for(int fd, short events, int timeout_ms) {
    pollfd p;
    p.fd = fd;
    p.events = events;
    p.revents = 0;
    int n = poll(&p, 1, timeout_ms);
    if (n < 0) return -1;
    return n > 0 ? 1 : 0;
}

int net_wait(int fd, int timeout_ms) {
    return wait_for(fd, POLLIN, timeout_ms);
}

int net_wait_send(int fd, int timeout_ms) {
    return wait_for(fd, POLLOUT, timeout_ms);
}

// --- one datagram's header: its buffer, its address and the local address it goes with ------

enum { PKTINFO_SPACE = CMSG_SPACE(sizeof(in_pktinfo)) };

static int blocked; // the last send that failed found the socket's buffer full

int net_send_blocked() {
    return blocked;
}

// Why a send failed: the buffer full (try again when the socket is writable), or the local
// address asked for no longer the host's.
static int full(int e) {
    return e == EAGAIN || e == EWOULDBLOCK || e == ENOBUFS;
}
static int gone(int e) {
    return e == EINVAL || e == EADDRNOTAVAIL;
}

static void header(msghdr* h, iovec* v, sockaddr_in* sa, void* data, size_t len) {
    v->iov_base = data;
    v->iov_len = len;
    std::memset(h, 0, sizeof *h);
    h->msg_name = sa;
    h->msg_namelen = sizeof *sa;
    h->msg_iov = v;
    h->msg_iovlen = 1;
}

// Room in the header for the local address a datagram arrives at.
static void ask_local(msghdr* h, char* control) {
    h->msg_control = control;
    h->msg_controllen = PKTINFO_SPACE;
}

// The local address a received datagram arrived at (0 when the header does not say).
static uint32_t arrived_at(msghdr* h) {
    for (cmsghdr* c = CMSG_FIRSTHDR(h); c != nullptr; c = CMSG_NXTHDR(h, c)) {
        if (c->cmsg_level != IPPROTO_IP || c->cmsg_type != IP_PKTINFO) continue;
        in_pktinfo info;
        std::memcpy(&info, CMSG_DATA(c), sizeof info);
        return ntohl(info.ipi_spec_dst.s_addr);
    }
    return 0;
}

// Has a datagram leave from local (0: from what the route picks), its control message in control.
static void leave_from(msghdr* h, char* control, uint32_t local) {
    if (local == 0) {
        h->msg_control = nullptr;
        h->msg_controllen = 0;
        return;
    }
    std::memset(control, 0, PKTINFO_SPACE);
    h->msg_control = control;
    h->msg_controllen = PKTINFO_SPACE;
    cmsghdr* c = CMSG_FIRSTHDR(h);
    c->cmsg_level = IPPROTO_IP;
    c->cmsg_type = IP_PKTINFO;
    c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
    in_pktinfo info;
    std::memset(&info, 0, sizeof info);
    info.ipi_spec_dst.s_addr = htonl(local);
    std::memcpy(CMSG_DATA(c), &info, sizeof info);
}

int net_recv(int fd, void* buf, int len, NetAddr* from) {
    sockaddr_in sa;
    iovec v;
    msghdr h;
    alignas(cmsghdr) char control[PKTINFO_SPACE];
    for (;;) {
        std::memset(&sa, 0, sizeof sa);
        header(&h, &v, &sa, buf, static_cast<size_t>(len));
        ask_local(&h, control);
        ssize_t n = recvmsg(fd, &h, MSG_TRUNC);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (from != nullptr) {
            net_from_sockaddr(&sa, from);
            from->local = arrived_at(&h);
        }
        return static_cast<int>(n);
    }
}

int net_send(int fd, const void* buf, int len, const NetAddr* to) {
    sockaddr_in sa = net_to_sockaddr(to);
    iovec v;
    msghdr h;
    alignas(cmsghdr) char control[PKTINFO_SPACE];
    header(&h, &v, &sa, const_cast<void*>(buf), static_cast<size_t>(len));
    leave_from(&h, control, to->local);
    for (;;) {
        ssize_t n = sendmsg(fd, &h, 0);
        if (n >= 0) return static_cast<int>(n);
        if (errno == EINTR) continue;
        if (gone(errno) && h.msg_controllen != 0) {
            leave_from(&h, control, 0);
            continue;
        }
        blocked = full(errno);
        return -1;
    }
}

void net_close(int fd) {
    if (fd >= 0) close(fd);
}

#ifdef __linux__

int net_recv_batch(int fd, NetMsg* msgs, int count, int size) {
    static mmsghdr h[NET_BATCH];
    static iovec v[NET_BATCH];
    static sockaddr_in sa[NET_BATCH];
    alignas(cmsghdr) static char control[NET_BATCH][PKTINFO_SPACE];
    if (count > NET_BATCH) count = NET_BATCH;
    for (int i = 0; i < count; ++i) {
        header(&h[i].msg_hdr, &v[i], &sa[i], msgs[i].data, static_cast<size_t>(size));
        ask_local(&h[i].msg_hdr, control[i]);
    }
    int n;
    do {
        n = recvmmsg(fd, h, static_cast<unsigned>(count), MSG_TRUNC, nullptr);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return 0;
    for (int i = 0; i < n; ++i) {
        msgs[i].len = static_cast<int>(h[i].msg_len);
        net_from_sockaddr(&sa[i], &msgs[i].addr);
        msgs[i].addr.local = arrived_at(&h[i].msg_hdr);
    }
    return n;
}

int net_send_batch(int fd, const NetMsg* msgs, int count) {
    static mmsghdr h[NET_BATCH];
    static iovec v[NET_BATCH];
    static sockaddr_in sa[NET_BATCH];
    alignas(cmsghdr) static char control[NET_BATCH][PKTINFO_SPACE];
    int done = 0;
    while (done < count) {
        int n = count - done < NET_BATCH ? count - done : NET_BATCH;
        for (int i = 0; i < n; ++i) {
            const NetMsg* m = &msgs[done + i];
            sa[i] = net_to_sockaddr(&m->addr);
            header(&h[i].msg_hdr, &v[i], &sa[i], m->data, static_cast<size_t>(m->len));
            leave_from(&h[i].msg_hdr, control[i], m->addr.local);
        }
        // A call stops at the first datagram that fails; the next call starts with it.
        int at = 0;
        while (at < n) {
            int sent = sendmmsg(fd, h + at, static_cast<unsigned>(n - at), 0);
            if (sent > 0) {
                at += sent;
            } else if (sent < 0 && errno == EINTR) {
            } else if (sent < 0 && gone(errno) && h[at].msg_hdr.msg_controllen != 0) {
                leave_from(&h[at].msg_hdr, control[at], 0);
            } else {
                blocked = sent < 0 && full(errno);
                return done + at;
            }
        }
        done += n;
    }
    return done;
}

#endif

#endif
