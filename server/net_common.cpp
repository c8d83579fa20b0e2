// What the relay's sockets do alike on every system: names and addresses, and one call a datagram
// where the system has no batched calls.
#include "server/net_sockaddr.h"

#include <cstdio>
#include <cstring>

int net_resolve(const char* host, int port, NetAddr* out) {
    if (port < 0 || port > 65535 || !net_ready()) return 0;
    out->local = 0;
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

#ifndef __linux__

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
