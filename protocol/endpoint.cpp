// The client's one UDP socket: opening it from the settings, sending and receiving.
#include "protocol/endpoint.h"

#include "settings/settings.h"

#include <cstring>

#ifdef _WIN32
#include <winsock.h>
typedef SOCKET SocketHandle;
typedef int AddressLength;
static const SocketHandle NO_SOCKET = INVALID_SOCKET;
#else
#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
typedef int SocketHandle;
typedef socklen_t AddressLength;
static const SocketHandle NO_SOCKET = -1;
#endif

static SocketHandle endpoint_socket = NO_SOCKET;
// The server's address, kept to connect again when this machine's address changes.
static sockaddr_in endpoint_server;
// 0 after a reconnection failed (no route yet): the socket then takes datagrams from anyone, so
// receiving filters by source, and every send and poll tick tries to connect again.
static int endpoint_connected;
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

static int last_socket_error() {
#ifdef _WIN32
    return WSAGetLastError();
#else
    return errno;
#endif
}

// 1 for a send error that says the socket's source address or route is gone, so that connecting
// again may mend it.
static int error_means_moved(int error) {
    switch (error) {
#ifdef _WIN32
    case WSAENETUNREACH:
    case WSAEHOSTUNREACH:
    case WSAENETDOWN:
    case WSAEADDRNOTAVAIL:
    case WSAEINVAL:
    case WSAENOTCONN:
    case WSAEDESTADDRREQ:
#else
    case ENETUNREACH:
    case EHOSTUNREACH:
    case ENETDOWN:
    case EADDRNOTAVAIL:
    case EINVAL:
    case ENOTCONN:
    case EDESTADDRREQ:
#endif
        return 1;
    default:
        return 0;
    }
}

static int local_address(sockaddr_in* here) {
    std::memset(here, 0, sizeof *here);
    AddressLength len = sizeof *here;
    return getsockname(endpoint_socket, reinterpret_cast<sockaddr*>(here), &len) == 0;
}

// Dissolves the connection and connects to the server again, so that the system picks the source
// address anew from the machine's addresses and routes of now. The local port stays: where the
// dissolve gives back a port the system had chosen, the socket takes the same one again.
static int reconnect() {
    sockaddr_in before;
    int had = local_address(&before);
    sockaddr_in none;
    std::memset(&none, 0, sizeof none);
    none.sin_family = AF_UNSPEC;
    // Some systems report an error for the dissolve itself, and dissolve all the same.
    connect(endpoint_socket, reinterpret_cast<sockaddr*>(&none), sizeof none);
    sockaddr_in after;
    if (had && before.sin_port != 0 && local_address(&after) && after.sin_port == 0) {
        sockaddr_in again;
        std::memset(&again, 0, sizeof again);
        again.sin_family = AF_INET;
        again.sin_addr.s_addr = htonl(INADDR_ANY);
        again.sin_port = before.sin_port;
        bind(endpoint_socket, reinterpret_cast<sockaddr*>(&again), sizeof again);
    }
    endpoint_connected = connect(endpoint_socket, reinterpret_cast<sockaddr*>(&endpoint_server),
                                 sizeof endpoint_server) == 0;
    return endpoint_connected;
}

// 1 when the socket's source address is no longer one of this machine's: a probe socket can't be
// bound to it. One socket, one bind and one close; nothing when the source is not known.
static int source_address_gone() {
    sockaddr_in here;
    if (!local_address(&here) || here.sin_addr.s_addr == htonl(INADDR_ANY)) return 0;
    SocketHandle probe = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (probe == NO_SOCKET) return 0;
    here.sin_port = 0;
    int gone = bind(probe, reinterpret_cast<sockaddr*>(&here), sizeof here) != 0 &&
#ifdef _WIN32
               last_socket_error() == WSAEADDRNOTAVAIL;
#else
               last_socket_error() == EADDRNOTAVAIL;
#endif
    close_socket(probe);
    return gone;
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

// The configured server's address and port; 0 when its name does not resolve.
static int server_address(sockaddr_in* remote) {
    unsigned long addr = 0;
    if (!resolve_server(servername, &addr)) return 0;
    std::memset(remote, 0, sizeof *remote);
    remote->sin_family = AF_INET;
    remote->sin_addr.s_addr = static_cast<decltype(remote->sin_addr.s_addr)>(addr);
    remote->sin_port = htons(static_cast<unsigned short>(remoteport & 0xFFFF));
    return 1;
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
    sockaddr_in remote;
    if (!server_address(&remote)) return fail(failure, "Hostname lookup failed", "KelTup", 0);

    sockaddr_in local;
    std::memset(&local, 0, sizeof local);
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = htons(static_cast<unsigned short>(localport & 0xFFFF));

    SocketHandle s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s == NO_SOCKET) return fail(failure, "Cant open socket!", "KelTup", 0);
    if (!set_nonblocking(s)) return fail_with_socket(failure, s, "Can't set nonblocking");
    if (bind(s, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0)
        return fail_with_socket(failure, s, "Cant bind!");
    if (connect(s, reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0)
        return fail_with_socket(failure, s, "Cant connect!");
    endpoint_socket = s;
    endpoint_server = remote;
    endpoint_connected = 1;
    return 1;
}

int endpoint_reachable() {
    sockaddr_in remote;
    if (!server_address(&remote)) return 0;
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

void endpoint_check_address() {
    if (endpoint_socket == NO_SOCKET) return;
    if (!endpoint_connected || source_address_gone()) reconnect();
}

static int send_once(const void* data, int len) {
    return static_cast<int>(
        send(endpoint_socket, static_cast<const char*>(data), static_cast<size_t>(len), 0));
}

int endpoint_send(const void* data, int len) {
    if (endpoint_socket == NO_SOCKET || len < 0) return -1;
    if (!endpoint_connected && !reconnect()) return -1;
    int n = send_once(data, len);
    // The source address went away with the machine's old address: connect again and send anew.
    if (n < 0 && error_means_moved(last_socket_error()) && reconnect()) n = send_once(data, len);
    return n < 0 ? -1 : n;
}

int endpoint_recv(void* buf, int len) {
    if (endpoint_socket == NO_SOCKET || len < 0) return -1;
    for (;;) {
        sockaddr_in from;
        std::memset(&from, 0, sizeof from);
        AddressLength from_len = sizeof from;
#ifdef _WIN32
        // A datagram longer than len fails here (message too long) and is lost.
        int n = recvfrom(endpoint_socket, static_cast<char*>(buf), len, 0,
                         reinterpret_cast<sockaddr*>(&from), &from_len);
        if (n == SOCKET_ERROR) return -1;
#else
        // Here a longer datagram would be cut to len bytes; it is reported as the error it is on
        // Windows.
        long n = recvfrom(endpoint_socket, buf, static_cast<size_t>(len), MSG_TRUNC,
                          reinterpret_cast<sockaddr*>(&from), &from_len);
        if (n < 0) return -1;
#endif
        // A connected socket hears only the server; one that is not takes what comes from the
        // server alone.
        if (!endpoint_connected && (from.sin_addr.s_addr != endpoint_server.sin_addr.s_addr ||
                                    from.sin_port != endpoint_server.sin_port))
            continue;
        if (n > len) return -1;
        return static_cast<int>(n);
    }
}

void endpoint_cleanup() {
    if (endpoint_socket != NO_SOCKET) {
        close_socket(endpoint_socket);
        endpoint_socket = NO_SOCKET;
    }
    endpoint_connected = 0;
#ifdef _WIN32
    if (sockets_started) {
        WSACleanup();
        sockets_started = 0;
    }
#endif
}
