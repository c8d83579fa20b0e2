// A UDP socket on 127.0.0.1 that plays the server (or the client's peer) in the network tests.
#pragma once

#include <string>
#include <vector>

// Opens the socket bound to 127.0.0.1 on a port the system picks; returns the port, 0 on failure.
int peer_open();
void peer_close();
// A port on 127.0.0.1 that nothing listens on right now.
int peer_free_port();
// Sends to 127.0.0.1:port (or to where the last datagram came from when port is 0).
void peer_send(const std::string& bytes, int port = 0);
// Every datagram waiting now, without blocking.
std::vector<std::string> peer_drain();
