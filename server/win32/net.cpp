// The relay's sockets on Windows: one non-blocking Winsock 2 UDP socket that talks to many
// clients, one call a datagram (Winsock has no batched calls for UDP: see net_common.cpp), with
// the local address each datagram arrived at (WSARecvMsg, IP_PKTINFO) for the answers to leave
// from (WSASendMsg).
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

// WSARecvMsg, which Winsock hands out as a pointer for a socket (the same for every UDP socket);
// looked up when the first socket is opened.
static LPFN_WSARECVMSG recv_msg;
static int blocked; // the last send that failed found the socket's buffer full

// Control messages hold one IN_PKTINFO: its room, enough for the header and the address.
enum { CONTROL_ROOM = 64 };

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
    // Bound to every address: each datagram says which one it came in at.
    DWORD on = 1;
    if (local.ip == 0 &&
        setsockopt(s, IPPROTO_IP, IP_PKTINFO, reinterpret_cast<const char*>(&on), sizeof on) != 0) {
        say(err, err_size, "IP_PKTINFO");
        closesocket(s);
        return -1;
    }
    if (recv_msg == nullptr) {
        GUID id = WSAID_WSARECVMSG;
        got = 0;
        WSAIoctl(s, SIO_GET_EXTENSION_FUNCTION_POINTER, &id, sizeof id, &recv_msg, sizeof recv_msg,
                 &got, nullptr, nullptr);
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

// Waits until the socket is readable, or writable when `writing` is set.
static int wait_for(int fd, int writing, int timeout_ms) {
    fd_set ready;
    FD_ZERO(&ready);
    FD_SET(sock(fd), &ready);
    timeval limit = {timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    int n = select(0, writing ? nullptr : &ready, writing ? &ready : nullptr, nullptr,
                   timeout_ms < 0 ? nullptr : &limit);
    if (n < 0) return -1;
    return n > 0 ? 1 : 0;
}

int net_wait(int fd, int timeout_ms) {
    return wait_for(fd, 0, timeout_ms);
}

int net_wait_send(int fd, int timeout_ms) {
    return wait_for(fd, 1, timeout_ms);
}

// The local address a received datagram was sent to, from its control messages; 0 when they do
// not say, or for a broadcast or multicast one, which no answer can leave from.
static uint32_t arrived_at(WSAMSG* m) {
    for (WSACMSGHDR* c = WSA_CMSG_FIRSTHDR(m); c != nullptr; c = WSA_CMSG_NXTHDR(m, c)) {
        if (c->cmsg_len < sizeof *c) break; // the next would be this one again
        if (c->cmsg_level != IPPROTO_IP || c->cmsg_type != IP_PKTINFO) continue;
        IN_PKTINFO info;
        std::memcpy(&info, WSA_CMSG_DATA(c), sizeof info);
        uint32_t ip = ntohl(info.ipi_addr.s_addr);
        return ip >= 0xE0000000u ? 0 : ip;
    }
    return 0;
}

// One datagram's message: its address, its buffer and room for control data.
static void message(WSAMSG* m, sockaddr_in* sa, WSABUF* data, char* control, ULONG control_len) {
    std::memset(m, 0, sizeof *m);
    m->name = reinterpret_cast<sockaddr*>(sa);
    m->namelen = sizeof *sa;
    m->lpBuffers = data;
    m->dwBufferCount = 1;
    m->Control.buf = control;
    m->Control.len = control_len;
}

int net_recv(int fd, void* buf, int len, NetAddr* from) {
    for (;;) {
        sockaddr_in sa;
        std::memset(&sa, 0, sizeof sa);
        alignas(WSACMSGHDR) char control[CONTROL_ROOM];
        WSABUF data = {static_cast<ULONG>(len), static_cast<char*>(buf)};
        WSAMSG m;
        message(&m, &sa, &data, control, sizeof control);
        DWORD got = 0;
        int n;
        if (recv_msg != nullptr) {
            n = recv_msg(sock(fd), &m, &got, nullptr, nullptr) == SOCKET_ERROR
                    ? SOCKET_ERROR
                    : static_cast<int>(got);
        } else {
            int salen = sizeof sa;
            m.Control.len = 0;
            n = recvfrom(sock(fd), static_cast<char*>(buf), len, 0,
                         reinterpret_cast<sockaddr*>(&sa), &salen);
        }
        if (n == SOCKET_ERROR) {
            int why = WSAGetLastError();
            // A reset is a client's ICMP error about an earlier datagram: not this one.
            if (why == WSAECONNRESET || why == WSAENETRESET) continue;
            // Cut to len: Winsock does not say the full length, only that it was longer.
            if (why != WSAEMSGSIZE) return -1;
            n = len + 1;
            m.Control.len = 0; // not known to be filled in
        } else if (m.dwFlags & MSG_TRUNC) {
            n = len + 1;
        }
        if (from != nullptr) {
            net_from_sockaddr(&sa, from);
            from->local = arrived_at(&m);
        }
        return n;
    }
}

int net_send_blocked() {
    return blocked;
}

// A send's result: its byte count, or -1 with why it failed noted.
static int finish_send(int n) {
    if (n != SOCKET_ERROR) return n;
    int why = WSAGetLastError();
    blocked = why == WSAEWOULDBLOCK || why == WSAENOBUFS;
    return -1;
}

int net_send(int fd, const void* buf, int len, const NetAddr* to) {
    sockaddr_in sa = net_to_sockaddr(to);
    int n = SOCKET_ERROR;
    if (to->local != 0) {
        alignas(WSACMSGHDR) char control[CONTROL_ROOM];
        std::memset(control, 0, sizeof control);
        WSABUF data = {static_cast<ULONG>(len), const_cast<char*>(static_cast<const char*>(buf))};
        WSAMSG m;
        message(&m, &sa, &data, control, WSA_CMSG_SPACE(sizeof(IN_PKTINFO)));
        WSACMSGHDR* c = WSA_CMSG_FIRSTHDR(&m);
        c->cmsg_level = IPPROTO_IP;
        c->cmsg_type = IP_PKTINFO;
        c->cmsg_len = WSA_CMSG_LEN(sizeof(IN_PKTINFO));
        IN_PKTINFO info;
        std::memset(&info, 0, sizeof info);
        info.ipi_addr.s_addr = htonl(to->local);
        std::memcpy(WSA_CMSG_DATA(c), &info, sizeof info);
        DWORD sent = 0;
        if (WSASendMsg(sock(fd), &m, 0, &sent, nullptr, nullptr) != SOCKET_ERROR)
            n = static_cast<int>(sent);
        // An address that is no longer the host's: sent from what the route picks.
        int why = n == SOCKET_ERROR ? WSAGetLastError() : 0;
        if (why != WSAEADDRNOTAVAIL && why != WSAEINVAL) return finish_send(n);
    }
    n = sendto(sock(fd), static_cast<const char*>(buf), len, 0,
               reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
    return finish_send(n);
}

void net_close(int fd) {
    if (fd >= 0) closesocket(sock(fd));
}

#endif
