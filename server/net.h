// The relay's side of the network: one unconnected UDP socket that talks to many clients.
// BSD sockets in posix/net.cpp, Winsock 2 in win32/net.cpp.
#pragma once

#include <cstdint>

// An IPv4 address and port, both in host byte order, and the local address that goes with it on
// a socket bound to every address: the one a datagram from it arrived at, the one a datagram to
// it leaves from, so that a client whose socket is connected to that address takes it. 0: none
// known, the route picks.
struct NetAddr {
    uint32_t ip;
    uint16_t port;
    uint32_t local = 0;
};

enum { NET_ADDR_TEXT = 24 }; // "255.255.255.255:65535" and its NUL

// Resolves host (dotted IPv4 first, else a name lookup, first IPv4 address) with the port.
// Returns 1 on success.
int net_resolve(const char* host, int port, NetAddr* out);
// "a.b.c.d:port" into out (at most size - 1 characters, always terminated).
void net_format(const NetAddr* a, char* out, int size);
// The same ip and port (the local address aside).
int net_equal(const NetAddr* a, const NetAddr* b);

// Opens a non-blocking UDP socket bound to host:port (port 0: the system chooses). Returns the
// socket, or -1 with a reason in err (at most err_size - 1 characters). Bound to every address
// (0.0.0.0), it learns the local address of each datagram it receives.
int net_open(const char* host, int port, char* err, int err_size);
// The address the socket is bound to.
int net_local(int fd, NetAddr* out);
// Waits until the socket is readable or timeout_ms has passed (-1: forever). Returns 1 when
// readable, 0 on timeout, -1 on error or interruption by a signal.
int net_wait(int fd, int timeout_ms);
// The same until the socket can take a datagram.
int net_wait_send(int fd, int timeout_ms);
// Receives one datagram without waiting; returns its length, or -1 for an empty queue or an error.
// A datagram longer than len is cut to len bytes; its full length is still returned.
int net_recv(int fd, void* buf, int len, NetAddr* from);
// Sends one datagram from to->local (when it is no longer the host's, from what the route picks);
// returns the byte count or -1.
int net_send(int fd, const void* buf, int len, const NetAddr* to);
// Whether the last send that failed did so for want of room in the socket's buffer: the same
// datagram goes once the socket can take it (net_wait_send). Otherwise the network refused it.
int net_send_blocked();
void net_close(int fd);

// Several datagrams at once: recvmmsg/sendmmsg on Linux, one call each elsewhere.
enum { NET_BATCH = 64 }; // datagrams per system call, at most
struct NetMsg {
    void* data;
    int len;      // sent: its length; received: its full length (it may have been cut)
    NetAddr addr; // sent: where to; received: where from
};
// Receives up to count datagrams without waiting, each into msgs[i].data (size bytes; a longer
// one is cut). Returns the number received, 0 when none was waiting.
int net_recv_batch(int fd, NetMsg* msgs, int count, int size);
// Sends msgs[0..count) in order. Returns how many went out before the first that could not be
// sent (count when all did).
int net_send_batch(int fd, const NetMsg* msgs, int count);
