// Load for the relay benchmark: eight senders keep a window of messages in flight to one
// recipient through a relay at 127.0.0.1:PORT and count receipts and deliveries.
// Usage: relay_load PORT COUNT. Prints "messages N delivered D receipts R seconds S rate X".
#include "protocol/datagram.h"
#include "protocol/relay_net.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>

enum { SENDERS = 8, WINDOW = 16 };

static int sock() {
    char err[128];
    int fd = net_open("127.0.0.1", 0, err, sizeof err);
    if (fd < 0) {
        std::fprintf(stderr, "relay_load: %s\n", err);
        std::exit(1);
    }
    return fd;
}

static void send_msg(int fd, const NetAddr* relay, const char* from, const char* to, unsigned id,
                     const char* body) {
    Datagram d;
    std::memset(&d, 0, sizeof d);
    std::snprintf(d.recipient, sizeof d.recipient, "%s", to);
    std::snprintf(d.body, BODY_SIZE - 1, "%s", body);
    char self[NICK_SIZE] = {};
    std::snprintf(self, sizeof self, "%s", from);
    datagram_complete(&d, self, id);
    net_send(fd, &d, datagram_send_length(&d), relay);
}

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: relay_load PORT COUNT\n");
        return 2;
    }
    NetAddr relay = {0x7F000001u, static_cast<uint16_t>(std::atoi(argv[1]))};
    long count = std::atol(argv[2]);

    // The recipient makes itself known, then whatever that caused is drained.
    int bob = sock();
    send_msg(bob, &relay, "BOB", "NOBODY", 1, "here");
    while (net_wait(bob, 200) == 1) {
        char junk[2048];
        net_recv(bob, junk, sizeof junk, nullptr);
    }

    int senders[SENDERS];
    char names[SENDERS][NICK_SIZE];
    for (int i = 0; i < SENDERS; ++i) {
        senders[i] = sock();
        std::snprintf(names[i], NICK_SIZE, "SENDER%d", i);
    }
    char body[200];
    std::memset(body, 'x', sizeof body - 1);
    body[sizeof body - 1] = '\0';

    long sent = 0, receipts = 0, delivered = 0;
    auto start = std::chrono::steady_clock::now();
    auto send_next = [&]() {
        int s = static_cast<int>(sent % SENDERS);
        char number[24]; // every message differs
        int n = std::snprintf(number, sizeof number, "%015ld", sent);
        std::memcpy(body, number, static_cast<size_t>(n));
        send_msg(senders[s], &relay, names[s], "BOB", static_cast<unsigned>(sent & 0x7FFF), body);
        ++sent;
    };
    while (sent < count && sent < WINDOW)
        send_next();

    pollfd p[SENDERS + 1];
    for (int i = 0; i < SENDERS; ++i)
        p[i] = {senders[i], POLLIN, 0};
    p[SENDERS] = {bob, POLLIN, 0};
    char buf[2048];
    while (receipts < count || delivered < count) {
        // Five seconds without traffic: the rest was lost.
        if (poll(p, SENDERS + 1, 5000) <= 0) break;
        for (int i = 0; i <= SENDERS; ++i) {
            if (!(p[i].revents & POLLIN)) continue;
            while (net_recv(p[i].fd, buf, sizeof buf, nullptr) > 0) {
                if (i == SENDERS) {
                    ++delivered;
                    continue;
                }
                ++receipts;
                if (sent < count) send_next();
            }
        }
    }
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("messages %ld delivered %ld receipts %ld seconds %.3f rate %.0f\n", count,
                delivered, receipts, seconds, delivered / seconds);
    return delivered == count && receipts == count ? 0 : 1;
}
