// The client's one UDP socket: opening it from the settings, sending and receiving.
#include "protocol/endpoint.h"

#include "settings/settings.h"

#include <cstring>

#ifdef _WIN32
#include <winsock.h>
typedef SOCKET SocketHandle;
static const SocketHandle NO_SOCKET = INVALID_SOCKET;
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
typedef int SocketHandle;
static const SocketHandle NO_SOCKET = -1;
#endif

static SocketHandle endpoint_socket = NO_SOCKET;
#ifdef _WIN32
static int sockets_started;
#endif

static void close_socket(SocketHandle s) {
#ifdef _WIN32
    closesocket(s);
#else
    close(s);
#endif
}

// The server's IPv4 address in network order: a dotted address as it is, else the first IPv4
// address the name resolves to. Returns 0 when the name does not resolve.
static int resolve_server(const char* name, unsigned long* addr) {
    unsigned long a = inet_addr(name);
    if (a != INADDR_NONE) {
        *addr = a;
        return 1;
    }
#ifdef _WIN32
    hostent* host = gethostbyname(name);
    if (!host || host->h_addrtype != AF_INET || host->h_length != 4 || !host->h_addr_list[0])
        return 0;
    in_addr first;
    std::memcpy(&first, host->h_addr_list[0], 4);
    *addr = first.s_addr;
    return 1;
#else
    addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* list = nullptr;
    if (getaddrinfo(name, nullptr, &hints, &list) != 0 || !list) return 0;
    sockaddr_in first;
    std::memcpy(&first, list->ai_addr, sizeof first);
    freeaddrinfo(list);
    *addr = first.sin_addr.s_addr;
    return 1;
#endif
}

static int set_nonblocking(SocketHandle s) {
#ifdef _WIN32
    u_long on = 1;
    return ioctlsocket(s, FIONBIO, &on) == 0;
#else
    int flags = fcntl(s, F_GETFL, 0);
    return flags != -1 && fcntl(s, F_SETFL, flags | O_NONBLOCK) == 0;
#endif
}

static int fail(EndpointFailure* failure, const char* text, const char* caption, int fatal) {
    if (failure) {
        failure->text = text;
        failure->caption = caption;
        failure->fatal = fatal;
    }
    return 0;
}

// A failure after the socket exists: the socket is given back first.
static int fail_with_socket(EndpointFailure* failure, SocketHandle s, const char* text) {
    close_socket(s);
    return fail(failure, text, "KelTup", 0);
}

int endpoint_open(EndpointFailure* failure) {
    if (endpoint_socket != NO_SOCKET) {
        close_socket(endpoint_socket);
        endpoint_socket = NO_SOCKET;
    }
#ifdef _WIN32
    if (!sockets_started) {
        WSADATA wsa;
        if (WSAStartup(MAKEWORD(1, 1), &wsa) != 0)
            return fail(failure, "Can't start sockets", "Keltup:Fatal Error", 1);
        sockets_started = 1;
        if (LOBYTE(wsa.wVersion) != 1 || HIBYTE(wsa.wVersion) != LOBYTE(wsa.wVersion))
            return fail(failure, "Crap version of sockets", "KelTup:Fatal Error", 1);
    }
#endif
    unsigned long remote_addr = 0;
    if (!resolve_server(servername, &remote_addr))
        return fail(failure, "Hostname lookup failed", "KelTup", 0);

    sockaddr_in local;
    std::memset(&local, 0, sizeof local);
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = htons(static_cast<unsigned short>(localport & 0xFFFF));

    sockaddr_in remote;
    std::memset(&remote, 0, sizeof remote);
    remote.sin_family = AF_INET;
    remote.sin_addr.s_addr = static_cast<decltype(remote.sin_addr.s_addr)>(remote_addr);
    remote.sin_port = htons(static_cast<unsigned short>(remoteport & 0xFFFF));

    SocketHandle s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s == NO_SOCKET) return fail(failure, "Cant open socket!", "KelTup", 0);
    if (!set_nonblocking(s)) return fail_with_socket(failure, s, "Can't set nonblocking");
    if (bind(s, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0)
        return fail_with_socket(failure, s, "Cant bind!");
    if (connect(s, reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0)
        return fail_with_socket(failure, s, "Cant connect!");
    endpoint_socket = s;
    return 1;
}

int endpoint_reachable() {
    sockaddr_in remote;
    std::memset(&remote, 0, sizeof remote);
    remote.sin_family = AF_INET;
    remote.sin_port = htons(static_cast<unsigned short>(remoteport & 0xFFFF));
    unsigned long addr = 0;
    if (!resolve_server(servername, &addr)) return 0;
    remote.sin_addr.s_addr = static_cast<decltype(remote.sin_addr.s_addr)>(addr);
    // Connecting a datagram socket sends nothing: it only picks the route and the source address.
    SocketHandle s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s == NO_SOCKET) return 0;
    int ok = connect(s, reinterpret_cast<sockaddr*>(&remote), sizeof remote) == 0;
    close_socket(s);
    return ok;
}

int endpoint_is_open() {
    return endpoint_socket != NO_SOCKET;
}

int endpoint_send(const void* data, int len) {
    if (endpoint_socket == NO_SOCKET || len < 0) return -1;
    int n = static_cast<int>(
        send(endpoint_socket, static_cast<const char*>(data), static_cast<size_t>(len), 0));
    return n < 0 ? -1 : n;
}

int endpoint_recv(void* buf, int len) {
    if (endpoint_socket == NO_SOCKET || len < 0) return -1;
#ifdef _WIN32
    // A datagram longer than len fails here (message too long) and is lost.
    int n = recv(endpoint_socket, static_cast<char*>(buf), len, 0);
    return n == SOCKET_ERROR ? -1 : n;
#else
    // Here a longer datagram would be cut to len bytes; report it as the error it is on Windows.
    long n = recv(endpoint_socket, buf, static_cast<size_t>(len), MSG_TRUNC);
    if (n < 0 || n > len) return -1;
    return static_cast<int>(n);
#endif
}

void endpoint_cleanup() {
    if (endpoint_socket != NO_SOCKET) {
        close_socket(endpoint_socket);
        endpoint_socket = NO_SOCKET;
    }
#ifdef _WIN32
    if (sockets_started) {
        WSACleanup();
        sockets_started = 0;
    }
#endif
}
