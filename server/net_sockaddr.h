// The system's socket headers and its IPv4 socket address, turned to and from the relay's
// NetAddr; for the relay's socket files only.
#pragma once

#include "server/net.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include <cstring>

inline sockaddr_in net_to_sockaddr(const NetAddr* a) {
    sockaddr_in sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(a->ip);
    sa.sin_port = htons(a->port);
    return sa;
}

inline void net_from_sockaddr(const sockaddr_in* sa, NetAddr* a) {
    a->ip = ntohl(sa->sin_addr.s_addr);
    a->port = ntohs(sa->sin_port);
    a->local = 0;
}

// 1 once the system's sockets can be used (Winsock started); always on Unix.
int net_ready();
