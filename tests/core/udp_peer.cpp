#include "udp_peer.h"

#include <cstring>

#ifdef _WIN32
#include <winsock.h>
typedef SOCKET PeerSocket;
static const PeerSocket NONE = INVALID_SOCKET;
static void close_peer_socket(PeerSocket s) {
    closesocket(s);
}
static void sockets_up() {
    static int started;
    if (!started) {
        WSADATA wsa;
        WSAStartup(MAKEWORD(1, 1), &wsa);
        started = 1;
    }
}
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
typedef int PeerSocket;
static const PeerSocket NONE = -1;
static void close_peer_socket(PeerSocket s) {
    close(s);
}
static void sockets_up() {}
#endif

static PeerSocket peer = NONE;
static sockaddr_in last_from;

static sockaddr_in loopback(int port) {
    sockaddr_in a;
    std::memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = inet_addr("127.0.0.1");
    a.sin_port = htons(static_cast<unsigned short>(port));
    return a;
}

static int bound_port(PeerSocket s) {
    sockaddr_in a = loopback(0);
    if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return 0;
#ifdef _WIN32
    int len = sizeof a;
#else
    socklen_t len = sizeof a;
#endif
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
}

int peer_open() {
    sockets_up();
    peer_close();
    peer = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (peer == NONE) return 0;
#ifdef _WIN32
    u_long on = 1;
    ioctlsocket(peer, FIONBIO, &on);
#else
    fcntl(peer, F_SETFL, fcntl(peer, F_GETFL, 0) | O_NONBLOCK);
#endif
    std::memset(&last_from, 0, sizeof last_from);
    return bound_port(peer);
}

void peer_close() {
    if (peer != NONE) close_peer_socket(peer);
    peer = NONE;
}

int peer_free_port() {
    sockets_up();
    PeerSocket s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    int port = bound_port(s);
    close_peer_socket(s);
    return port;
}

void peer_send(const std::string& bytes, int port) {
    sockaddr_in to = port ? loopback(port) : last_from;
    sendto(peer, bytes.data(), static_cast<int>(bytes.size()), 0, reinterpret_cast<sockaddr*>(&to),
           sizeof to);
}

std::vector<std::string> peer_drain() {
    std::vector<std::string> got;
    static char buf[70000];
    for (;;) {
        sockaddr_in from;
#ifdef _WIN32
        int len = sizeof from;
#else
        socklen_t len = sizeof from;
#endif
        long n = recvfrom(peer, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 0) break;
        last_from = from;
        got.emplace_back(buf, static_cast<size_t>(n));
    }
    return got;
}
