// Group delivery benchmark on 127.0.0.1: copies a second that keltup-server sends for a group of
// 1,000 members, against a batched forwarder (recvmmsg/sendmmsg) that sends the same number of
// copies for each message, both pinned to core 0 in turn; and the receipt latency of ordinary
// messages while the group is served, against the same relay without group traffic; and the
// relay's copies a second with its limit per destination host checked for every copy (set so high
// that it never holds one back), against the same relay without the limit.
//   group_load KELTUP-SERVER [MESSAGES] [ROUNDS]
// MESSAGES group messages (default 300) of a 200-character body, WINDOW (4) in flight at once.
#include "protocol/datagram.h"
#include "server/net.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <poll.h>
#include <pthread.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sched.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

enum { MEMBERS = 1000, RECEIVERS = 10, WINDOW = 4, COPIES = MEMBERS - 1 };

long long now_us() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void pin_to(int core) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(core, &set);
    sched_setaffinity(0, sizeof set, &set);
}

int open_socket(NetAddr* addr) {
    char err[128];
    int fd = net_open("127.0.0.1", 0, err, sizeof err);
    if (fd < 0) {
        std::fprintf(stderr, "group_load: %s\n", err);
        std::exit(1);
    }
    int size = 16 << 20; // room for bursts of copies: a slow reader must not lose them
    setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);
    net_local(fd, addr);
    return fd;
}

int receivers[RECEIVERS];
NetAddr receiver_at[RECEIVERS];
std::atomic<long long> copies_seen, last_copy_us;
std::atomic<bool> stop_receiving;

// Counts every datagram arriving at the members' sockets.
void receive_copies() {
    static char buf[NET_BATCH][RECORD_SIZE + 1];
    static NetMsg rx[NET_BATCH];
    for (int i = 0; i < NET_BATCH; ++i)
        rx[i].data = buf[i];
    while (!stop_receiving) {
        int any = 0;
        for (int r = 0; r < RECEIVERS; ++r) {
            int got;
            while ((got = net_recv_batch(receivers[r], rx, NET_BATCH, RECORD_SIZE)) > 0) {
                copies_seen += got;
                any = 1;
            }
        }
        if (any) {
            last_copy_us = now_us();
            continue;
        }
        pollfd fds[RECEIVERS];
        for (int r = 0; r < RECEIVERS; ++r)
            fds[r] = {receivers[r], POLLIN, 0};
        poll(fds, RECEIVERS, 1);
    }
}

// The baseline: every message is answered with a receipt and sent on to each member but the
// first, 64 a system call, in the same order the relay sends its copies.
[[noreturn]] void fanout_forwarder(int fd) {
    static char in[NET_BATCH][2048];
    static NetMsg rx[NET_BATCH], tx[NET_BATCH];
    for (int i = 0; i < NET_BATCH; ++i)
        rx[i].data = in[i];
    for (;;) {
        net_wait(fd, -1);
        int got;
        while ((got = net_recv_batch(fd, rx, NET_BATCH, sizeof in[0])) > 0) {
            for (int i = 0; i < got; ++i) {
                if (rx[i].len < HEADER_SIZE + 1 || rx[i].len > RECORD_SIZE) continue;
                char receipt[HEADER_SIZE + 1];
                std::memcpy(receipt, in[i], sizeof receipt);
                receipt[3] = KIND_RECEIPT;
                net_send(fd, receipt, sizeof receipt, &rx[i].addr);
                in[i][3] = KIND_GREETING;
                for (int m = 1; m <= COPIES;) {
                    int n = 0;
                    for (; n < NET_BATCH && m <= COPIES; ++n, ++m)
                        tx[n] = {in[i], rx[i].len, receiver_at[m % RECEIVERS]};
                    for (int sent = 0; sent < n;)
                        sent += net_send_batch(fd, tx + sent, n - sent) + 1; // a failure skipped
                }
            }
        }
    }
}

struct Target {
    pid_t pid;
    NetAddr addr;
};

Target start_forwarder() {
    NetAddr a;
    int fd = open_socket(&a);
    pid_t pid = fork();
    if (pid == 0) {
        pin_to(0);
        fanout_forwarder(fd);
    }
    net_close(fd);
    return {pid, a};
}

// keltup-server on core 0 with the users file, its port read from its first line; dest_rate is
// its --dest-rate and --dest-burst ("0": no limit per destination).
Target start_relay(const char* program, const std::string& users, const std::string& control,
                   const char* dest_rate = "0") {
    int out[2];
    if (pipe(out) != 0) std::exit(1);
    pid_t pid = fork();
    if (pid == 0) {
        pin_to(0);
        dup2(out[1], 1);
        close(out[0]);
        close(out[1]);
        execl(program, program, "--bind", "127.0.0.1", "--port", "0", "--users", users.c_str(),
              "--control", control.c_str(), "--rate", "0", "--group-rate", "0", "--dest-rate",
              dest_rate, "--dest-burst", dest_rate[0] == '0' ? "1" : dest_rate, "--quiet",
              static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    std::string line;
    char ch;
    while (read(out[0], &ch, 1) == 1 && ch != '\n')
        line += ch;
    close(out[0]);
    size_t colon = line.rfind(':');
    if (line.find("listening on") == std::string::npos || colon == std::string::npos) {
        std::fprintf(stderr, "group_load: the relay did not start: %s\n", line.c_str());
        std::exit(1);
    }
    return {pid, {0x7F000001u, static_cast<uint16_t>(std::atoi(line.c_str() + colon + 1))}};
}

void stop(Target* t) {
    kill(t->pid, SIGTERM);
    waitpid(t->pid, nullptr, 0);
}

int make_message(Datagram* d, const char* from, const char* to, unsigned id, int body) {
    std::memset(d, 0, sizeof *d);
    std::memset(d->body, 'a' + static_cast<int>(id % 26), static_cast<size_t>(body));
    std::snprintf(d->body, 16, "%010u", id);
    d->body[10] = ' ';
    std::strcpy(d->recipient, to);
    char nick[NICK_SIZE] = {};
    std::strcpy(nick, from);
    datagram_complete(d, nick, id);
    return datagram_send_length(d);
}

// Sends `messages` group messages from fd, at most WINDOW of them not yet wholly received; returns
// copies a second from the first send to the last copy seen (0 when none came).
double group_run(int fd, const NetAddr& to, int messages, long long* lost) {
    copies_seen = 0;
    last_copy_us = now_us();
    const long long want = 1LL * messages * COPIES;
    Datagram d;
    long long start = now_us();
    char drain[RECORD_SIZE];
    for (int m = 0; m < messages; ++m) {
        // Sleeps rather than spins: the talker shares this core and must not wait for it.
        while ((m - copies_seen / COPIES) >= WINDOW && now_us() - last_copy_us < 1000000)
            usleep(100);
        int len = make_message(&d, "M0000", "ALL", static_cast<unsigned>(m), 200);
        net_send(fd, &d, len, &to);
        while (net_recv(fd, drain, sizeof drain, nullptr) >= 0) {
        }
    }
    long long waited = now_us();
    while (copies_seen < want && now_us() - std::max(waited, last_copy_us.load()) < 1000000)
        usleep(100);
    *lost = want - copies_seen;
    long long elapsed = last_copy_us - start;
    return elapsed > 0 ? copies_seen * 1e6 / static_cast<double>(elapsed) : 0;
}

std::atomic<bool> talking;

// Ordinary messages X -> Y, one at a time, each timed from its send to its receipt.
void talk(const NetAddr& relay, int x, int y, std::vector<long long>* samples) {
    // Ahead of the copy counter on this core (where allowed), so that its wait is the relay's.
    sched_param first = {};
    first.sched_priority = 1;
    pthread_setschedparam(pthread_self(), SCHED_FIFO, &first);
    Datagram d, r;
    unsigned id = 0;
    while (talking) {
        int len = make_message(&d, "X", "Y", ++id & 0x7FFF, 200);
        long long t0 = now_us();
        net_send(x, &d, len, &relay);
        for (;;) {
            if (net_wait(x, 1000) != 1) break; // lost: not counted
            if (net_recv(x, &r, sizeof r, nullptr) >= HEADER_SIZE && r.kind == KIND_RECEIPT &&
                datagram_id(&r) == (id & 0x7FFF)) {
                samples->push_back(now_us() - t0);
                break;
            }
        }
        char drain[RECORD_SIZE];
        while (net_recv(y, drain, sizeof drain, nullptr) >= 0) {
        }
    }
}

double p99(std::vector<long long> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return static_cast<double>(v[(v.size() * 99) / 100]);
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: group_load KELTUP-SERVER [MESSAGES] [ROUNDS]\n");
        return 2;
    }
    const char* relay_program = argv[1];
    int messages = argc > 2 ? std::atoi(argv[2]) : 300;
    int rounds = argc > 3 ? std::atoi(argv[3]) : 3;
    pin_to(1);
    for (int r = 0; r < RECEIVERS; ++r)
        receivers[r] = open_socket(&receiver_at[r]);
    NetAddr s_addr, x_addr, y_addr;
    int s = open_socket(&s_addr), x = open_socket(&x_addr), y = open_socket(&y_addr);

    // The users file: M0000 at the sender's socket, the other members spread over the receivers.
    char dir[] = "/tmp/keltup-group-bench-XXXXXX";
    if (mkdtemp(dir) == nullptr) return 1;
    std::string users = std::string(dir) + "/users", control = std::string(dir) + "/control";
    FILE* f = std::fopen(users.c_str(), "w");
    std::fprintf(f, "X = 127.0.0.1:%u\nY = 127.0.0.1:%u\nM0000 = 127.0.0.1:%u\n", x_addr.port,
                 y_addr.port, s_addr.port);
    std::string group = "group ALL = M0000";
    for (int m = 1; m < MEMBERS; ++m) {
        std::fprintf(f, "M%04d = 127.0.0.1:%u\n", m, receiver_at[m % RECEIVERS].port);
        char name[8];
        std::snprintf(name, sizeof name, " M%04d", m);
        group += name;
    }
    std::fprintf(f, "%s\n", group.c_str());
    std::fclose(f);

    std::thread counter(receive_copies);
    std::vector<double> base_rate, relay_rate, alone_p99, busy_p99, limit_ratio;
    long long lost_base = 0, lost_relay = 0, pings_alone = 0, pings_busy = 0;
    for (int round = 1; round <= rounds; ++round) {
        long long lost = 0;
        Target fw = start_forwarder();
        base_rate.push_back(group_run(s, fw.addr, messages, &lost));
        lost_base += lost;
        stop(&fw);

        Target relay = start_relay(relay_program, users, control);
        relay_rate.push_back(group_run(s, relay.addr, messages, &lost));
        lost_relay += lost;

        // Receipt latency of X's messages without, then with, group traffic.
        std::vector<long long> alone, busy;
        talking = true;
        std::thread t(talk, relay.addr, x, y, &alone);
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));
        talking = false;
        t.join();
        talking = true;
        std::thread u(talk, relay.addr, x, y, &busy);
        group_run(s, relay.addr, messages, &lost);
        talking = false;
        u.join();
        stop(&relay);

        // Fresh relays with and without the limit per destination checked for each copy, which
        // goes first taking turns, so that neither gains from coming second.
        double with_limit = 0, without = 0;
        for (int k = 0; k < 2; ++k) {
            int limited = (k + round) % 2;
            Target t = start_relay(relay_program, users, control, limited ? "1000000" : "0");
            (limited ? with_limit : without) = group_run(s, t.addr, messages, &lost);
            lost_relay += lost;
            stop(&t);
        }
        limit_ratio.push_back(without > 0 ? with_limit / without : 0);
        alone_p99.push_back(p99(alone));
        busy_p99.push_back(p99(busy));
        pings_alone += static_cast<long long>(alone.size());
        pings_busy += static_cast<long long>(busy.size());
        std::printf("round %d: copies/s batched forwarder %.0f, keltup-server %.0f; receipt p99 "
                    "%.0f us alone (%zu), %.0f us beside the group (%zu); limit per destination "
                    "checked %.0f, not %.0f\n",
                    round, base_rate.back(), relay_rate.back(), alone_p99.back(), alone.size(),
                    busy_p99.back(), busy.size(), with_limit, without);
        std::fflush(stdout);
    }
    stop_receiving = true;
    counter.join();
    unlink(users.c_str());
    rmdir(dir);
    double b = median(base_rate), r = median(relay_rate);
    double a = median(alone_p99), g = median(busy_p99);
    std::printf("group of %d: %d messages of %d copies a round, %d rounds; copies lost: forwarder "
                "%lld, relay %lld\n",
                MEMBERS, messages, COPIES, rounds, lost_base, lost_relay);
    std::printf("median copies/s: batched forwarder %.0f  keltup-server %.0f  ratio %.2f\n", b, r,
                b > 0 ? r / b : 0);
    // The load of a shared machine drifts from round to round: each round's ratio, then their
    // median, compares runs made moments apart.
    std::vector<double> copy_ratio, latency_ratio;
    for (size_t i = 0; i < base_rate.size(); ++i) {
        copy_ratio.push_back(base_rate[i] > 0 ? relay_rate[i] / base_rate[i] : 0);
        latency_ratio.push_back(alone_p99[i] > 0 ? busy_p99[i] / alone_p99[i] : 0);
    }
    std::printf("median receipt p99 of other users: %.0f us alone, %.0f us while the group is "
                "served, ratio %.2f (%lld and %lld receipts)\n",
                a, g, a > 0 ? g / a : 0, pings_alone, pings_busy);
    std::printf("median of the rounds' ratios: copies/s %.2f, receipt p99 %.2f, copies/s with the "
                "limit per destination checked ÷ without %.3f\n",
                median(copy_ratio), median(latency_ratio), median(limit_ratio));
    return 0;
}
