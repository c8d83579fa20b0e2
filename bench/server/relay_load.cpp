// Load for the relay benchmark, on 127.0.0.1 only.
//   relay_load PORT COUNT [SENDERS]: SENDERS sockets (default 64) each keep two messages in
//     flight to one recipient through the relay at 127.0.0.1:PORT; prints
//     "messages N delivered D receipts R seconds S rate X p50-us A p99-us B", the rate counting
//     deliveries and the latencies from a message's send to its receipt.
//   relay_load PORT learn N: N nicknames each send one message, so the relay learns them.
//   relay_load sizes: the bytes a nickname takes in the relay's fixed tables.
#include "protocol/datagram.h"
#include "protocol/relay_net.h"
#include "server/relay.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <vector>

enum { WINDOW = 2, MAX_SENDERS = 512 };

static long long now_us() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

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

static void drain(int fd, int ms) {
    char junk[2048];
    while (net_wait(fd, ms) == 1)
        net_recv(fd, junk, sizeof junk, nullptr);
}

static int learn(const NetAddr* relay, long n) {
    int fd = sock();
    char nick[32];
    for (long i = 0; i < n; ++i) {
        std::snprintf(nick, sizeof nick, "LEARNED%ld", i % 1000000);
        send_msg(fd, relay, nick, "NOBODY", static_cast<unsigned>(i & 0x7FFF), "hello");
        if (i % 64 == 63) drain(fd, 20); // keep the queues short
    }
    drain(fd, 300);
    std::printf("learned %ld\n", n);
    return 0;
}

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "sizes") == 0) {
        std::printf("bytes per nickname %zu (entry %zu, hash heads %zu), directory %zu bytes for "
                    "%d nicknames\n",
                    sizeof(RelayUser) + sizeof(int) * RELAY_USER_BUCKETS / RELAY_MAX_USERS,
                    sizeof(RelayUser), sizeof(int) * RELAY_USER_BUCKETS / RELAY_MAX_USERS,
                    sizeof(RelayUser) * RELAY_MAX_USERS + sizeof(int) * RELAY_USER_BUCKETS,
                    RELAY_MAX_USERS);
        return 0;
    }
    if (argc < 3) {
        std::fprintf(stderr, "usage: relay_load PORT COUNT [SENDERS] | relay_load PORT learn N\n");
        return 2;
    }
    NetAddr relay = {0x7F000001u, static_cast<uint16_t>(std::atoi(argv[1]))};
    if (std::strcmp(argv[2], "learn") == 0 && argc == 4) return learn(&relay, std::atol(argv[3]));
    long count = std::atol(argv[2]);
    int senders_n = argc > 3 ? std::atoi(argv[3]) : 64;
    if (senders_n < 1 || senders_n > MAX_SENDERS) return 2;

    // The recipient makes itself known, then whatever that caused is drained.
    int bob = sock();
    send_msg(bob, &relay, "BOB", "NOBODY", 1, "here");
    drain(bob, 200);

    std::vector<int> senders(static_cast<size_t>(senders_n));
    std::vector<long> next_seq(static_cast<size_t>(senders_n), 0);
    std::vector<long long> sent_at(static_cast<size_t>(senders_n) * 0x8000, 0);
    char names[MAX_SENDERS][NICK_SIZE];
    for (int i = 0; i < senders_n; ++i) {
        senders[static_cast<size_t>(i)] = sock();
        std::snprintf(names[i], NICK_SIZE, "SENDER%d", i);
    }
    char body[200];
    std::memset(body, 'x', sizeof body - 1);
    body[sizeof body - 1] = '\0';

    long sent = 0, receipts = 0, delivered = 0;
    std::vector<long long> latency;
    latency.reserve(static_cast<size_t>(count));
    auto send_from = [&](int s) {
        if (sent >= count) return;
        unsigned id = static_cast<unsigned>(next_seq[static_cast<size_t>(s)]++ & 0x7FFF);
        int n = std::snprintf(body, sizeof body, "%015ld", sent); // every message differs
        body[n] = 'x';
        sent_at[static_cast<size_t>(s) * 0x8000 + id] = now_us();
        send_msg(senders[static_cast<size_t>(s)], &relay, names[s], "BOB", id, body);
        ++sent;
    };
    long long start = now_us();
    for (int w = 0; w < WINDOW; ++w)
        for (int s = 0; s < senders_n; ++s)
            send_from(s);

    std::vector<pollfd> p(static_cast<size_t>(senders_n) + 1);
    for (int i = 0; i < senders_n; ++i)
        p[static_cast<size_t>(i)] = {senders[static_cast<size_t>(i)], POLLIN, 0};
    p[static_cast<size_t>(senders_n)] = {bob, POLLIN, 0};
    char buf[2048];
    long long last = start; // the last datagram received: the wait for lost ones is not counted
    while (receipts < count || delivered < count) {
        // Two seconds without traffic: the rest was lost.
        if (poll(p.data(), p.size(), 2000) <= 0) break;
        for (int i = 0; i <= senders_n; ++i) {
            if (!(p[static_cast<size_t>(i)].revents & POLLIN)) continue;
            int len;
            while ((len = net_recv(p[static_cast<size_t>(i)].fd, buf, sizeof buf, nullptr)) > 0) {
                last = now_us();
                if (i == senders_n) {
                    ++delivered;
                    continue;
                }
                if (len < HEADER_SIZE || buf[3] != KIND_RECEIPT) continue;
                unsigned id = static_cast<unsigned char>(buf[4]) |
                              (static_cast<unsigned>(static_cast<unsigned char>(buf[5])) << 8);
                latency.push_back(now_us() -
                                  sent_at[static_cast<size_t>(i) * 0x8000 + (id & 0x7FFF)]);
                ++receipts;
                send_from(i);
            }
        }
    }
    double seconds = static_cast<double>(last - start) / 1e6;
    std::sort(latency.begin(), latency.end());
    long long p50 = latency.empty() ? -1 : latency[latency.size() / 2];
    long long p99 = latency.empty() ? -1 : latency[latency.size() * 99 / 100];
    std::printf("messages %ld delivered %ld receipts %ld seconds %.3f rate %.0f p50-us %lld "
                "p99-us %lld\n",
                count, delivered, receipts, seconds, static_cast<double>(delivered) / seconds, p50,
                p99);
    return delivered == count && receipts == count ? 0 : 1;
}
