// The client's one UDP socket: bound to the local port, connected to the server, non-blocking.
#pragma once

// Why opening failed, as the user is to be told: a message box's text and caption.
struct EndpointFailure {
    const char* text;
    const char* caption;
    int fatal; // 1: the box carries the error icon
};

// Opens the endpoint from the settings. Returns 1, or 0 with *failure filled (when given).
int endpoint_open(EndpointFailure* failure);
// 1 when the server of the settings resolves and this machine has a route to it: what opening
// the endpoint asks of the network, without taking the local port. On Windows the sockets library
// must already be started.
int endpoint_reachable();
// 1 once the endpoint is open.
int endpoint_is_open();
// Sends one datagram; returns the byte count or -1 (also when the endpoint is not open). A send
// that fails because the machine's address changed (no route, or the source address gone)
// connects the socket again, same local port, and is made once more.
int endpoint_send(const void* data, int len);
// Once per poll tick: when the socket's source address is no longer one of this machine's (a new
// lease, a roam, a resume elsewhere), connects it again so that it sends and receives on the
// machine's address of now. Costs one probe socket while nothing changed.
void endpoint_check_address();
// Receives one datagram into buf (at most len bytes); returns its length, or -1 for any error,
// an empty queue and an endpoint that is not open included.
int endpoint_recv(void* buf, int len);
// Releases the socket and the sockets library (WSACleanup on Windows).
void endpoint_cleanup();
