// The relay's sockets: one unconnected UDP socket that talks to many clients, with batched
// receive and send where the system has them.
#include "server/net.h"

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

static sockaddr_in to_sockaddr(const NetAddr* a) {
    sockaddr_in sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(a->ip);
    sa.sin_port = htons(a->port);
    return sa;
}

static void from_sockaddr(const sockaddr_in* sa, NetAddr* a) {
    a->ip = ntohl(sa->sin_addr.s_addr);
    a->port = ntohs(sa->sin_port);
}

int net_resolve(const char* host, int port, NetAddr* out) {
    if (port < 0 || port > 65535) return 0;
    in_addr parsed;
    if (inet_pton(AF_INET, host, &parsed) == 1) {
        out->ip = ntohl(parsed.s_addr);
        out->port = static_cast<uint16_t>(port);
        return 1;
    }
    addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &found) != 0 || found == nullptr) return 0;
    const sockaddr_in* sa = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
    out->ip = ntohl(sa->sin_addr.s_addr);
    out->port = static_cast<uint16_t>(port);
    freeaddrinfo(found);
    return 1;
}

void net_format(const NetAddr* a, char* out, int size) {
    if (size <= 0) return;
    std::snprintf(out, static_cast<size_t>(size), "%u.%u.%u.%u:%u", (a->ip >> 24) & 0xFF,
                  (a->ip >> 16) & 0xFF, (a->ip >> 8) & 0xFF, a->ip & 0xFF, a->port);
}

int net_equal(const NetAddr* a, const NetAddr* b) {
    return a->ip == b->ip && a->port == b->port;
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
    sockaddr_in sa = to_sockaddr(&local);
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
    from_sockaddr(&sa, out);
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
        if (from != nullptr) from_sockaddr(&sa, from);
        return static_cast<int>(n);
    }
}

int net_send(int fd, const void* buf, int len, const NetAddr* to) {
    sockaddr_in sa = to_sockaddr(to);
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
        from_sockaddr(&sa[i], &msgs[i].addr);
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
            sa[i] = to_sockaddr(&m->addr);
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

#else

// One call a datagram where the system has no batched calls.
int net_recv_batch(int fd, NetMsg* msgs, int count, int size) {
    int n = 0;
    while (n < count && (msgs[n].len = net_recv(fd, msgs[n].data, size, &msgs[n].addr)) >= 0)
        ++n;
    return n;
}

int net_send_batch(int fd, const NetMsg* msgs, int count) {
    int n = 0;
    while (n < count && net_send(fd, msgs[n].data, msgs[n].len, &msgs[n].addr) >= 0)
        ++n;
    return n;
}

#endif

#endif
