// The relay's sockets on Unix: one unconnected UDP socket that talks to many clients, with
// batched receive and send on Linux.
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
    return fd;
}

int net_local(int fd, NetAddr* out) {
    sockaddr_in sa;
    socklen_t len = sizeof sa;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return 0;
    net_from_sockaddr(&sa, out);
    return 1;
}

int net_wait(int fd, int timeout_ms) {
    pollfd p;
    p.fd = fd;
    p.events = POLLIN;
    p.revents = 0;
    int n = poll(&p, 1, timeout_ms);
    if (n < 0) return -1;
    return n > 0 ? 1 : 0;
}

int net_recv(int fd, void* buf, int len, NetAddr* from) {
    sockaddr_in sa;
    socklen_t salen = sizeof sa;
    std::memset(&sa, 0, sizeof sa);
    for (;;) {
        ssize_t n = recvfrom(fd, buf, static_cast<size_t>(len), MSG_TRUNC,
                             reinterpret_cast<sockaddr*>(&sa), &salen);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (from != nullptr) net_from_sockaddr(&sa, from);
        return static_cast<int>(n);
    }
}

int net_send(int fd, const void* buf, int len, const NetAddr* to) {
    sockaddr_in sa = net_to_sockaddr(to);
    for (;;) {
        ssize_t n = sendto(fd, buf, static_cast<size_t>(len), 0,
                           reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
        if (n < 0 && errno == EINTR) continue;
        return n < 0 ? -1 : static_cast<int>(n);
    }
}

void net_close(int fd) {
    if (fd >= 0) close(fd);
}

#ifdef __linux__

// One datagram's header of a batch: its buffer and its address slot.
static void batch_slot(mmsghdr* h, iovec* v, sockaddr_in* sa, void* data, size_t len) {
    v->iov_base = data;
    v->iov_len = len;
    std::memset(h, 0, sizeof *h);
    h->msg_hdr.msg_name = sa;
    h->msg_hdr.msg_namelen = sizeof *sa;
    h->msg_hdr.msg_iov = v;
    h->msg_hdr.msg_iovlen = 1;
}

int net_recv_batch(int fd, NetMsg* msgs, int count, int size) {
    static mmsghdr h[NET_BATCH];
    static iovec v[NET_BATCH];
    static sockaddr_in sa[NET_BATCH];
    if (count > NET_BATCH) count = NET_BATCH;
    for (int i = 0; i < count; ++i)
        batch_slot(&h[i], &v[i], &sa[i], msgs[i].data, static_cast<size_t>(size));
    int n;
    do {
        n = recvmmsg(fd, h, static_cast<unsigned>(count), MSG_TRUNC, nullptr);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return 0;
    for (int i = 0; i < n; ++i) {
        msgs[i].len = static_cast<int>(h[i].msg_len);
        net_from_sockaddr(&sa[i], &msgs[i].addr);
    }
    return n;
}

int net_send_batch(int fd, const NetMsg* msgs, int count) {
    static mmsghdr h[NET_BATCH];
    static iovec v[NET_BATCH];
    static sockaddr_in sa[NET_BATCH];
    int done = 0;
    while (done < count) {
        int n = count - done < NET_BATCH ? count - done : NET_BATCH;
        for (int i = 0; i < n; ++i) {
            const NetMsg* m = &msgs[done + i];
            sa[i] = net_to_sockaddr(&m->addr);
            batch_slot(&h[i], &v[i], &sa[i], m->data, static_cast<size_t>(m->len));
        }
        int sent;
        do {
            sent = sendmmsg(fd, h, static_cast<unsigned>(n), 0);
        } while (sent < 0 && errno == EINTR);
        if (sent <= 0) break; // the first of them failed
        done += sent;
    }
    return done;
}

#endif

#endif
