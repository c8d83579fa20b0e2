// The relay's sockets on Windows: one non-blocking Winsock 2 UDP socket that talks to many
// clients, one call a datagram (Winsock has no batched calls for UDP: see net_common.cpp).
#include "server/win32/error.h"
#include "server/net_sockaddr.h"

#ifdef _WIN32

#include <winsock2.h>
#include <ws2tcpip.h>

#include <mswsock.h>

#include <cstdio>
#include <cstring>

#ifndef SIO_UDP_CONNRESET
#define SIO_UDP_CONNRESET _WSAIOW(IOC_VENDOR, 12)
#endif

// The relay keeps sockets in an int as on Unix: Windows hands out small handle values, well
// under INT_MAX, and INVALID_SOCKET becomes -1.
static SOCKET sock(int fd) {
    return static_cast<SOCKET>(fd);
}

int net_ready() {
    static int done;
    if (!done) {
        WSADATA data;
        if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return 0;
        done = 1;
    }
    return 1;
}

static void say(char* err, int size, const char* what) {
    if (err == nullptr || size <= 0) return;
    int code = WSAGetLastError();
    std::snprintf(err, static_cast<size_t>(size), "%s: %s (error %d)", what,
                  win32_error_text(static_cast<unsigned long>(code)), code);
}

int net_open(const char* host, int port, char* err, int err_size) {
    NetAddr local;
    if (!net_resolve(host, port, &local)) {
        if (err != nullptr && err_size > 0)
            std::snprintf(err, static_cast<size_t>(err_size), "cannot use address %s port %d", host,
                          port);
        return -1;
    }
    SOCKET s = WSASocketW(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET) {
        say(err, err_size, "socket");
        return -1;
    }
    // Nobody else may bind the relay's port while it has it.
    BOOL yes = TRUE;
    setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&yes), sizeof yes);
    // A client's ICMP "port unreachable" would otherwise fail the next receive with a reset.
    BOOL no = FALSE;
    DWORD got = 0;
    WSAIoctl(s, SIO_UDP_CONNRESET, &no, sizeof no, nullptr, 0, &got, nullptr, nullptr);
    u_long nonblocking = 1;
    sockaddr_in sa = net_to_sockaddr(&local);
    if (ioctlsocket(s, FIONBIO, &nonblocking) != 0 ||
        bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        say(err, err_size, "bind");
        closesocket(s);
        return -1;
    }
    return static_cast<int>(s);
}

int net_local(int fd, NetAddr* out) {
    sockaddr_in sa;
    int len = sizeof sa;
    if (getsockname(sock(fd), reinterpret_cast<sockaddr*>(&sa), &len) != 0) return 0;
    net_from_sockaddr(&sa, out);
    return 1;
}

int net_wait(int fd, int timeout_ms) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(sock(fd), &readable);
    timeval limit = {timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    int n = select(0, &readable, nullptr, nullptr, timeout_ms < 0 ? nullptr : &limit);
    if (n < 0) return -1;
    return n > 0 ? 1 : 0;
}

int net_recv(int fd, void* buf, int len, NetAddr* from) {
    for (;;) {
        sockaddr_in sa;
        int salen = sizeof sa;
        std::memset(&sa, 0, sizeof sa);
        int n = recvfrom(sock(fd), static_cast<char*>(buf), len, 0,
                         reinterpret_cast<sockaddr*>(&sa), &salen);
        if (n == SOCKET_ERROR) {
            int why = WSAGetLastError();
            // A reset is a client's ICMP error about an earlier datagram: not this one.
            if (why == WSAECONNRESET || why == WSAENETRESET) continue;
            // Cut to len: Winsock does not say the full length, only that it was longer.
            if (why != WSAEMSGSIZE) return -1;
            n = len + 1;
        }
        if (from != nullptr) net_from_sockaddr(&sa, from);
        return n;
    }
}

int net_send(int fd, const void* buf, int len, const NetAddr* to) {
    sockaddr_in sa = net_to_sockaddr(to);
    int n = sendto(sock(fd), static_cast<const char*>(buf), len, 0,
                   reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
    return n == SOCKET_ERROR ? -1 : n;
}

void net_close(int fd) {
    if (fd >= 0) closesocket(sock(fd));
}

#endif
