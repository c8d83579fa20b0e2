// Load for the relay benchmark, on 127.0.0.1 only.
//   relay_load PORT COUNT [SENDERS [WINDOW]] [--batch]: SENDERS sockets (default 64) each keep
//     WINDOW messages (default 2) in flight to one recipient through the relay at
//     127.0.0.1:PORT; prints "messages N delivered D receipts R seconds S rate X p50-us A p99-us
//     B", the rate counting deliveries and the latencies from a message's send to its receipt.
//     With --batch each socket sends and receives NET_BATCH datagrams a system call; with
//     --new-nicks every message comes under a nickname of its own, so the relay learns one each.
//   relay_load PORT learn N: N nicknames each send one message, so the relay learns them.
//   relay_load sizes [USERS]: the relay's tables for USERS nicknames (default 65536).
//   relay_load state FILE [USERS]: a state file of USERS learned nicknames (default 65536) read
//     at start and written whole, in this process; prints the file's size and the times.
//   relay_load local [BLOCKS]: the relay's socket calls alone, in this process: NET_BATCH
//     messages received and two answers each sent back, by a socket bound to every address (each
//     datagram's local address read, each answer sent from it), by one bound to 127.0.0.1, and by
//     the first with its answers sent as the route picks, in turns, BLOCKS blocks (default 40) of
//     200 turns each; prints the nanoseconds a datagram of each and the median of the blocks'
//     ratios to 127.0.0.1. Bound to every address: for a network namespace of the benchmark's
//     own.
//   relay_load statefile FILE USERS, relay_load usersfile FILE USERS: writes a state file of
//     USERS learned nicknames, or a users file listing USERS, for a relay to start with.
//   relay_load turns DIR USERS: in this process, the longest turn of a relay's loop (its state
//     file's and its users file's share of it) while a state file of USERS learned nicknames is
//     rewritten, and while a users file listing 65,536 is read again; against the same done in
//     one turn, as the loop did before the writer and reader threads. Five of each, medians.
//   relay_load PORT waits SECONDS PID EVERY_MS: one client writes a message, waits for its
//     receipt and writes the next 0.2 ms later, for SECONDS, while the relay (process PID) is
//     sent SIGHUP every EVERY_MS (0: never): a rewrite of its state file and a reading of its
//     users file. Prints "pings N lost L max-us M p999-us T p99-us P p50-us Q", the receipt
//     waits.
#include "protocol/datagram.h"
#include "server/net.h"
#include "server/relay.h"
#include "server/state.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <csignal>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

enum { MAX_SENDERS = 512, MAX_WINDOW = 64 };

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

static int make_msg(Datagram* d, const char* from, const char* to, unsigned id, const char* body) {
    std::memset(d, 0, sizeof *d);
    std::snprintf(d->recipient, sizeof d->recipient, "%s", to);
    std::snprintf(d->body, BODY_SIZE - 1, "%s", body);
    char self[NICK_SIZE] = {};
    std::snprintf(self, sizeof self, "%s", from);
    datagram_complete(d, self, id);
    return datagram_send_length(d);
}

static void send_msg(int fd, const NetAddr* relay, const char* from, const char* to, unsigned id,
                     const char* body) {
    Datagram d;
    int len = make_msg(&d, from, to, id, body);
    net_send(fd, &d, len, relay);
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

static int sizes(int users) {
    relay_config.max_users = users;
    relay_config.log_level = LOG_QUIET;
    char err[200];
    if (!relay_init(err, sizeof err)) {
        std::fprintf(stderr, "relay_load: %s\n", err);
        return 1;
    }
    std::printf(
        "bytes per nickname slot %.1f (entry %zu, hash heads %.1f); resend memory %.1f MiB; "
        "all tables %.1f MiB for %d nicknames\n",
        static_cast<double>(relay_directory_bytes()) / users, sizeof(RelayUser),
        static_cast<double>(relay_directory_bytes()) / users -
            static_cast<double>(sizeof(RelayUser)),
        static_cast<double>(relay_resend_bytes()) / 1048576.0,
        static_cast<double>(relay_table_bytes()) / 1048576.0, users);
    return 0;
}

// USERS nicknames, each at an address of its own: learned ones in a state file, or listed ones.
static int write_users(const char* path, int users, int listed) {
    FILE* f = std::fopen(path, "w");
    if (f == nullptr) return 1;
    if (!listed) std::fprintf(f, "%s\n", kStateVersionLine);
    for (int i = 0; i < users; ++i)
        std::fprintf(f, listed ? "USER%d = 10.%d.%d.%d:%d\n" : "USER%d 10.%d.%d.%d:%d 1\n", i,
                     i >> 16 & 255, i >> 8 & 255, i & 255, 1024 + i % 60000);
    return std::fclose(f) == 0 ? 0 : 1;
}

static int state_times(const char* path, int users) {
    relay_config.max_users = users;
    relay_config.max_per_address = users;
    relay_config.log_level = LOG_QUIET;
    char err[200];
    if (!relay_init(err, sizeof err)) {
        std::fprintf(stderr, "relay_load: %s\n", err);
        return 1;
    }
    if (write_users(path, users, 0) != 0) return 1;
    state_writer_thread = 0; // the disk's work itself, as the writer thread does it
    long long t0 = now_us();
    state_open(path, 1000000); // reads it, then writes it whole
    long long t1 = now_us();
    std::vector<long long> writes;
    StateReport r;
    for (int i = 0; i < 5; ++i) {
        state_report(&r);
        long long before = r.compactions, t = 1000000 + i * 1000;
        long long a = now_us();
        state_compact_now(t);
        // The snapshot is taken a slice per turn; the last one writes the file.
        for (int turn = 0; turn < 1000 && (state_report(&r), r.compactions == before); ++turn)
            state_tick(++t);
        writes.push_back(now_us() - a);
    }
    std::sort(writes.begin(), writes.end());
    state_report(&r);
    FILE* g = std::fopen(path, "r");
    std::fseek(g, 0, SEEK_END);
    long bytes = std::ftell(g);
    std::fclose(g);
    state_close(1000010);
    std::remove(path);
    std::printf(
        "state file of %d nicknames, %ld bytes: read and restored in %.1f ms, written whole "
        "(synced, renamed, folder synced) in %.1f ms (median of 5), %lld write errors\n",
        relay_user_count(), bytes, (t1 - t0 - writes[2]) / 1000.0, writes[2] / 1000.0,
        r.write_errors);
    return 0;
}

// One turn of `local`: NET_BATCH messages from the client to the socket at, received there,
// two answers each sent back, then taken off the client's queue. Returns the nanoseconds the
// relay's side took.
static long long local_turn(int client, int at, const NetAddr* to, NetMsg* msgs, char (*bufs)[2048],
                            int answer_from_local = 1) {
    static Datagram d;
    static NetMsg tx[NET_BATCH], back[2 * NET_BATCH];
    int len = make_msg(&d, "ALICE", "BOB", 1, "a message of an ordinary length, about a line");
    for (int i = 0; i < NET_BATCH; ++i)
        tx[i] = {&d, len, *to};
    net_send_batch(client, tx, NET_BATCH);
    long long start = std::chrono::duration_cast<std::chrono::nanoseconds>(
                          std::chrono::steady_clock::now().time_since_epoch())
                          .count();
    int got = 0;
    for (int tries = 0; got < NET_BATCH && tries < 1000000; ++tries) {
        for (int i = got; i < NET_BATCH; ++i)
            msgs[i].data = bufs[i];
        got += net_recv_batch(at, msgs + got, NET_BATCH - got, 2048);
    }
    for (int i = 0; i < got; ++i) {
        back[2 * i] = back[2 * i + 1] = {msgs[i].data, msgs[i].len, msgs[i].addr};
        if (!answer_from_local) back[2 * i].addr.local = back[2 * i + 1].addr.local = 0;
    }
    net_send_batch(at, back, 2 * got);
    long long took = std::chrono::duration_cast<std::chrono::nanoseconds>(
                         std::chrono::steady_clock::now().time_since_epoch())
                         .count() -
                     start;
    for (int n = 0; n < 2 * got;) {
        net_wait(client, 1000);
        int k = net_recv_batch(client, msgs, NET_BATCH, 2048);
        if (k == 0) break;
        n += k;
    }
    return took;
}

static int local_cost(int blocks) {
    int client = sock();
    char err[128];
    int every = net_open("0.0.0.0", 0, err, sizeof err);
    int one = net_open("127.0.0.1", 0, err, sizeof err);
    if (every < 0 || one < 0) {
        std::fprintf(stderr, "relay_load: %s\n", err);
        return 1;
    }
    NetAddr to_every = {0x7F000001u, 0}, to_one = {0x7F000001u, 0};
    NetAddr a;
    net_local(every, &a);
    to_every.port = a.port;
    net_local(one, &a);
    to_one.port = a.port;
    static NetMsg msgs[NET_BATCH];
    static char bufs[NET_BATCH][2048];
    // Also the socket on every address with its answers sent as the route picks: what the
    // receiving side costs alone.
    std::vector<double> ratios, recv_ratios;
    long long all_every = 0, all_one = 0, all_recv = 0;
    for (int b = 0; b < blocks; ++b) {
        long long t_every = 0, t_one = 0, t_recv = 0;
        for (int turn = 0; turn < 200; ++turn) {
            t_every += local_turn(client, every, &to_every, msgs, bufs);
            t_one += local_turn(client, one, &to_one, msgs, bufs);
            t_recv += local_turn(client, every, &to_every, msgs, bufs, 0);
        }
        ratios.push_back(static_cast<double>(t_every) / static_cast<double>(t_one));
        recv_ratios.push_back(static_cast<double>(t_recv) / static_cast<double>(t_one));
        all_every += t_every;
        all_one += t_one;
        all_recv += t_recv;
    }
    std::sort(ratios.begin(), ratios.end());
    std::sort(recv_ratios.begin(), recv_ratios.end());
    double per = 3.0 * NET_BATCH * 200 * blocks; // datagrams through the relay's side
    std::printf("socket calls: 127.0.0.1 %.0f ns a datagram; every address %.0f ns, median of %d "
                "blocks %.3fx; every address, answers not from it, %.0f ns, %.3fx\n",
                static_cast<double>(all_one) / per, static_cast<double>(all_every) / per, blocks,
                ratios[ratios.size() / 2], static_cast<double>(all_recv) / per,
                recv_ratios[recv_ratios.size() / 2]);
    return 0;
}

static long long median5(std::vector<long long> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Calls turn() as the loop would, a turn every 100 us, until it returns 0; the longest call.
template <typename Turn> static long long longest_turn(Turn turn) {
    long long longest = 0;
    for (int more = 1; more;) {
        long long a = now_us();
        more = turn();
        longest = std::max(longest, now_us() - a);
        usleep(100);
    }
    return longest;
}

static int turns(const char* dir, int users) {
    relay_config.max_users = users + 1024;
    relay_config.max_per_address = users;
    relay_config.lease_ms = 600000;
    relay_config.log_level = LOG_QUIET;
    char err[300], state[4200], listed[4200];
    std::snprintf(state, sizeof state, "%s/turns-state", dir);
    std::snprintf(listed, sizeof listed, "%s/turns-users", dir);
    if (!relay_init(err, sizeof err) || write_users(state, users, 0) != 0 ||
        write_users(listed, RELAY_MAX_USERS, 1) != 0) {
        std::fprintf(stderr, "relay_load: cannot set up: %s\n", err);
        return 1;
    }
    std::vector<long long> writer, inline_rewrite, reader, inline_reload;
    for (int threaded = 1; threaded >= 0; --threaded) {
        state_writer_thread = threaded;
        relay_reset();
        long long t = 1000000;
        state_open(state, t);
        for (int k = 0; k < 5; ++k) {
            StateReport r;
            state_report(&r);
            long long before = r.compactions;
            t += 1000;
            long long a = now_us();
            state_compact_now(t);
            long long first = now_us() - a;
            long long rest = longest_turn([&] {
                state_tick(++t);
                state_report(&r);
                return r.compactions == before;
            });
            (threaded ? writer : inline_rewrite).push_back(std::max(first, rest));
        }
        state_close(t);
    }
    relay_reset();
    relay_users_load(listed, err, sizeof err);
    for (int k = 0; k < 5; ++k) {
        long long a = now_us();
        relay_users_load(listed, err, sizeof err);
        inline_reload.push_back(now_us() - a);
        relay_users_load_start(listed);
        reader.push_back(longest_turn([&] {
            int n = relay_users_load_finish(err, sizeof err);
            return n == RELAY_USERS_READING || n == RELAY_USERS_LISTING;
        }));
    }
    std::remove(state);
    std::remove(listed);
    long long w = median5(writer), wi = median5(inline_rewrite), rd = median5(reader),
              ri = median5(inline_reload);
    std::printf("longest turn of the loop, rewrite of %d: %.2f ms with the writer thread, %.2f ms "
                "in one turn (ratio %.4f)\n",
                users, w / 1000.0, wi / 1000.0, static_cast<double>(w) / static_cast<double>(wi));
    std::printf("longest turn of the loop, reload of %d: %.2f ms with the reader thread, %.2f ms "
                "in one turn (ratio %.4f)\n",
                RELAY_MAX_USERS, rd / 1000.0, ri / 1000.0,
                static_cast<double>(rd) / static_cast<double>(ri));
    return 0;
}

static int waits(const NetAddr* relay, double seconds, int pid, int every_ms) {
    int fd = sock();
    std::vector<long long> waited;
    long long start = now_us(), end = start + static_cast<long long>(seconds * 1e6);
    long long next_hup = start + every_ms * 1000LL;
    long lost = 0;
    char in[2048];
    for (unsigned id = 1; now_us() < end; ++id) {
        if (every_ms > 0 && now_us() >= next_hup) {
            kill(pid, SIGHUP);
            next_hup += every_ms * 1000LL;
        }
        long long sent = now_us();
        send_msg(fd, relay, "PING", "NOBODY", id & 0x7FFF, "ping");
        // Its receipt (the notice that NOBODY is unknown comes too, and is passed over).
        long long got = -1;
        while (got < 0 && net_wait(fd, 1000) == 1) {
            int n = net_recv(fd, in, sizeof in, nullptr);
            unsigned rid = static_cast<unsigned char>(in[4]) |
                           static_cast<unsigned>(static_cast<unsigned char>(in[5])) << 8;
            if (n >= HEADER_SIZE && in[3] == KIND_RECEIPT && rid == (id & 0x7FFF)) got = now_us();
        }
        if (got < 0)
            ++lost;
        else
            waited.push_back(got - sent);
        usleep(200);
    }
    std::sort(waited.begin(), waited.end());
    size_t n = waited.size();
    std::printf("pings %zu lost %ld max-us %lld p999-us %lld p99-us %lld p50-us %lld\n", n, lost,
                n ? waited[n - 1] : -1, n ? waited[n * 999 / 1000] : -1,
                n ? waited[n * 99 / 100] : -1, n ? waited[n / 2] : -1);
    return lost == 0 ? 0 : 1;
}

int main(int argc, char** argv) {
    int batch = 0, new_nicks = 0;
    for (; argc > 1 && std::strncmp(argv[argc - 1], "--", 2) == 0; --argc) {
        if (std::strcmp(argv[argc - 1], "--batch") == 0)
            batch = 1;
        else if (std::strcmp(argv[argc - 1], "--new-nicks") == 0)
            new_nicks = 1;
        else
            return 2;
    }
    if (argc >= 3 && std::strcmp(argv[1], "state") == 0)
        return state_times(argv[2], argc > 3 ? std::atoi(argv[3]) : RELAY_MAX_USERS);
    if (argc >= 2 && std::strcmp(argv[1], "local") == 0)
        return local_cost(argc > 2 ? std::atoi(argv[2]) : 40);
    if (argc == 4 &&
        (std::strcmp(argv[1], "statefile") == 0 || std::strcmp(argv[1], "usersfile") == 0))
        return write_users(argv[2], std::atoi(argv[3]), argv[1][0] == 'u');
    if (argc == 4 && std::strcmp(argv[1], "turns") == 0) return turns(argv[2], std::atoi(argv[3]));
    if (argc >= 2 && std::strcmp(argv[1], "sizes") == 0)
        return sizes(argc > 2 ? std::atoi(argv[2]) : RELAY_MAX_USERS);
    if (argc < 3) {
        std::fprintf(stderr,
                     "usage: relay_load PORT COUNT [SENDERS [WINDOW]] [--batch] [--new-nicks] | "
                     "relay_load PORT learn N | relay_load sizes [USERS]\n");
        return 2;
    }
    NetAddr relay = {0x7F000001u, static_cast<uint16_t>(std::atoi(argv[1]))};
    if (std::strcmp(argv[2], "learn") == 0 && argc == 4) return learn(&relay, std::atol(argv[3]));
    if (std::strcmp(argv[2], "waits") == 0 && argc == 6)
        return waits(&relay, std::atof(argv[3]), std::atoi(argv[4]), std::atoi(argv[5]));
    long count = std::atol(argv[2]);
    int senders_n = argc > 3 ? std::atoi(argv[3]) : 64;
    int window = argc > 4 ? std::atoi(argv[4]) : 2;
    if (senders_n < 1 || senders_n > MAX_SENDERS || window < 1 || window > MAX_WINDOW) return 2;

    // The recipient makes itself known, then whatever that caused is drained.
    int bob = sock();
    int room = 4 << 20; // the deliveries come in bursts: as much queue as the system allows
    setsockopt(bob, SOL_SOCKET, SO_RCVBUF, &room, sizeof room);
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
    static Datagram out[MAX_WINDOW];
    char fresh[NICK_SIZE];
    static NetMsg tx[MAX_WINDOW];
    // Sends up to k new messages from sender s, in one system call with --batch.
    auto send_from = [&](int s, int k) {
        int n = 0;
        for (; n < k && sent < count; ++n, ++sent) {
            unsigned id = static_cast<unsigned>(next_seq[static_cast<size_t>(s)]++ & 0x7FFF);
            int len = std::snprintf(body, sizeof body, "%015ld", sent); // every message differs
            body[len] = 'x';
            if (new_nicks) std::snprintf(fresh, sizeof fresh, "NEW%ld", sent);
            tx[n] = {&out[n], make_msg(&out[n], new_nicks ? fresh : names[s], "BOB", id, body),
                     relay};
            sent_at[static_cast<size_t>(s) * 0x8000 + id] = now_us();
            if (!batch) net_send(senders[static_cast<size_t>(s)], tx[n].data, tx[n].len, &relay);
        }
        if (batch && n > 0) net_send_batch(senders[static_cast<size_t>(s)], tx, n);
    };
    long long start = now_us();
    for (int s = 0; s < senders_n; ++s)
        send_from(s, window);

    std::vector<pollfd> p(static_cast<size_t>(senders_n) + 1);
    for (int i = 0; i < senders_n; ++i)
        p[static_cast<size_t>(i)] = {senders[static_cast<size_t>(i)], POLLIN, 0};
    p[static_cast<size_t>(senders_n)] = {bob, POLLIN, 0};
    static char in[NET_BATCH][2048];
    static NetMsg rx[NET_BATCH];
    for (int i = 0; i < NET_BATCH; ++i)
        rx[i].data = in[i];
    long long last = start; // the last datagram received: the wait for lost ones is not counted
    while (receipts < count || delivered < count) {
        // Two seconds without traffic: the rest was lost.
        if (poll(p.data(), p.size(), 2000) <= 0) break;
        for (int i = 0; i <= senders_n; ++i) {
            if (!(p[static_cast<size_t>(i)].revents & POLLIN)) continue;
            int fd = p[static_cast<size_t>(i)].fd;
            int got;
            while ((got = batch
                              ? net_recv_batch(fd, rx, NET_BATCH, sizeof in[0])
                              : (rx[0].len = net_recv(fd, in[0], sizeof in[0], nullptr)) > 0) > 0) {
                last = now_us();
                if (i == senders_n) {
                    delivered += got;
                    continue;
                }
                int answered = 0;
                for (int k = 0; k < got; ++k) {
                    const char* buf = in[k];
                    if (rx[k].len < HEADER_SIZE || buf[3] != KIND_RECEIPT) continue;
                    unsigned id = static_cast<unsigned char>(buf[4]) |
                                  (static_cast<unsigned>(static_cast<unsigned char>(buf[5])) << 8);
                    latency.push_back(last -
                                      sent_at[static_cast<size_t>(i) * 0x8000 + (id & 0x7FFF)]);
                    ++answered;
                }
                receipts += answered;
                send_from(i, answered);
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
