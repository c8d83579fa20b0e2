// keltup-send and keltup-server as real processes on a lossy network: every client reaches the
// relay through a proxy in this test that loses a share of the datagrams each way, and the relay
// forwards to a recipient socket here, directly or through a lossy leg of the same kind.
//
// A datagram is lost or not by a hash of the seed, the message, the direction and how many
// datagrams of that message went that way before: the same seed loses the same tries whatever
// order the processes run in. Each test prints its seed; KELTUP_LOSS_SEED=N replays one.
#include "protocol/datagram.h"
#include "server/net.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

enum {
    MAX_MESSAGES = 400, // messages one test sends, numbered from 0
    MAX_CLIENTS = 512,  // client addresses the proxy tells apart
    PARALLEL = 30,      // keltup-send processes at a time
    TRIES = 10,         // the client's tries of one message
    LOSS = 300,         // per mille: 30%
    FLOOD = 50000,      // datagrams of the flood
    FLOOD_CHUNK = 25,   // sent back to back, then a millisecond's pause
    FLOOD_MESSAGES = 100,
};

const char kSink[] = "SINK";     // the recipient's nickname, listed in the users file
const char kMarker[] = "MARKER"; // the sender of the last message, sent after all others

enum Way { UP = 1, DOWN = 2, LEG = 3 };

// What the proxy and the recipient saw of one message.
struct Message {
    int tries;    // datagrams its client sent
    int passed;   // of them, handed on to the relay
    int replies;  // datagrams the relay sent back to its client
    int answered; // of them, handed on to the client
    int forwards; // seen on the leg from the relay to the recipient, before that leg's loss
    int received; // at the recipient
    int exit_code;
};

// A client is its address and its message: a later keltup-send may get an ended one's port.
struct ProxyClient {
    NetAddr addr; // the client's own address
    int fd;       // the proxy's socket for it towards the relay: one source port per client
    int message;  // -1: not one of the numbered messages
};

// The proxy, the recipient and what they counted; process-wide, used by one test at a time. The
// proxy's thread owns it between proxy_start() and proxy_finish().
struct Proxy {
    unsigned seed;
    int loss_up, loss_down, loss_leg; // per mille
    NetAddr relay;
    int front; // clients send here as if it were the relay
    NetAddr front_addr;
    int leg; // lists the recipient here to put the lossy leg between relay and recipient
    NetAddr leg_addr;
    int sink; // the recipient
    NetAddr sink_addr;
    int stop[2];
    ProxyClient clients[MAX_CLIENTS];
    int client_count;
    int table_full; // datagrams from clients beyond the table, dropped
    Message messages[MAX_MESSAGES];
    int marker_passed; // the marker's tries handed on to the relay
    int marker_seen;   // the marker's arrivals at the recipient
    int others;        // other datagrams at the recipient (the flood's)
    int corrupt;       // numbered messages at the recipient whose text is not what was sent
    int notices;       // notices the relay sent to numbered messages' clients
};
Proxy proxy;

// splitmix64 of the datagram's coordinates.
bool lost(Way way, int message, int nth, int per_mille) {
    if (per_mille <= 0 || message < 0) return false;
    uint64_t x = (static_cast<uint64_t>(proxy.seed) << 32) ^ (static_cast<uint64_t>(way) << 56) ^
                 (static_cast<uint64_t>(message) << 16) ^ static_cast<uint64_t>(nth);
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    x ^= x >> 31;
    return static_cast<int>(x % 1000) < per_mille;
}

std::string sender_nick(int m) {
    char nick[NICK_SIZE];
    std::snprintf(nick, sizeof nick, "N%03d", m);
    return nick;
}

std::string message_text(int m) {
    return "message " + std::to_string(m) + " through the lossy proxy";
}

// The number of the message a datagram belongs to by its sender nickname, else -1.
int message_of(const char* buf, int len) {
    if (len < HEADER_SIZE || std::memcmp(buf, "KT1", 3) != 0) return -1;
    const char* s = reinterpret_cast<const Datagram*>(buf)->sender;
    if (s[0] != 'N' || s[4] != '\0') return -1;
    int m = 0;
    for (int i = 1; i <= 3; ++i) {
        if (s[i] < '0' || s[i] > '9') return -1;
        m = m * 10 + (s[i] - '0');
    }
    return m < MAX_MESSAGES ? m : -1;
}

int is_marker(const char* buf, int len) {
    return len >= HEADER_SIZE &&
           std::strcmp(reinterpret_cast<const Datagram*>(buf)->sender, kMarker) == 0;
}

// Opens the proxy's and the recipient's sockets; their ports are known from here on.
bool proxy_open(unsigned seed, int loss_up, int loss_down, int loss_leg) {
    proxy = Proxy();
    proxy.seed = seed;
    proxy.loss_up = loss_up;
    proxy.loss_down = loss_down;
    proxy.loss_leg = loss_leg;
    char err[128];
    proxy.front = net_open("127.0.0.1", 0, err, sizeof err);
    proxy.leg = net_open("127.0.0.1", 0, err, sizeof err);
    proxy.sink = net_open("127.0.0.1", 0, err, sizeof err);
    if (pipe(proxy.stop) != 0) return false;
    return net_local(proxy.front, &proxy.front_addr) && net_local(proxy.leg, &proxy.leg_addr) &&
           net_local(proxy.sink, &proxy.sink_addr);
}

ProxyClient* client_for(const NetAddr* from, int message) {
    for (int i = 0; i < proxy.client_count; ++i)
        if (net_equal(&proxy.clients[i].addr, from) && proxy.clients[i].message == message)
            return &proxy.clients[i];
    if (proxy.client_count == MAX_CLIENTS) return nullptr;
    char err[128];
    int fd = net_open("127.0.0.1", 0, err, sizeof err);
    if (fd < 0) return nullptr;
    ProxyClient* c = &proxy.clients[proxy.client_count++];
    c->addr = *from;
    c->fd = fd;
    c->message = message;
    return c;
}

// Handles every datagram waiting on fd; returns how many there were.
int proxy_drain(int fd, ProxyClient* c) {
    char buf[RECORD_SIZE + 64];
    NetAddr from;
    int count = 0;
    for (int len; count < 100000 && (len = net_recv(fd, buf, sizeof buf, &from)) >= 0; ++count) {
        if (len > static_cast<int>(sizeof buf)) len = sizeof buf;
        int m = message_of(buf, len);
        Message* msg = m >= 0 ? &proxy.messages[m] : nullptr;
        if (fd == proxy.front) { // a client's try, on to the relay
            ProxyClient* up = client_for(&from, m);
            if (up == nullptr) {
                ++proxy.table_full;
                continue;
            }
            if (msg != nullptr && lost(UP, m, msg->tries++, proxy.loss_up)) continue;
            if (msg != nullptr) ++msg->passed;
            if (is_marker(buf, len)) ++proxy.marker_passed;
            net_send(up->fd, buf, len, &proxy.relay);
        } else if (c != nullptr) { // the relay's answer, back to the client
            msg = c->message >= 0 ? &proxy.messages[c->message] : nullptr;
            if (msg != nullptr && len > 3 && buf[3] == KIND_NOTICE) ++proxy.notices;
            if (msg != nullptr && lost(DOWN, c->message, msg->replies++, proxy.loss_down)) continue;
            if (msg != nullptr) ++msg->answered;
            net_send(proxy.front, buf, len, &c->addr);
        } else if (fd == proxy.leg) { // a forward, on to the recipient
            if (msg != nullptr && lost(LEG, m, msg->forwards++, proxy.loss_leg)) continue;
            net_send(proxy.leg, buf, len, &proxy.sink_addr);
        } else { // the recipient
            if (is_marker(buf, len)) {
                ++proxy.marker_seen;
            } else if (msg == nullptr) {
                ++proxy.others;
            } else {
                ++msg->received;
                buf[len < static_cast<int>(sizeof buf) ? len : len - 1] = '\0';
                if (message_text(m) != reinterpret_cast<Datagram*>(buf)->body) ++proxy.corrupt;
            }
        }
    }
    return count;
}

// Every socket drained once more.
void proxy_sweep(const pollfd* fds, int n) {
    for (int i = 1; i < n; ++i)
        proxy_drain(fds[i].fd, i >= 4 ? &proxy.clients[i - 4] : nullptr);
}

// The proxy's thread: until told to stop and the marker has reached the recipient (or nothing
// has come for five seconds after that).
void proxy_loop() {
    static pollfd fds[4 + MAX_CLIENTS];
    int stopping = 0;
    int idle = 0;
    for (long round = 0; round < 10000000L && idle < 50; ++round) {
        int n = 0;
        for (int fd : {proxy.stop[0], proxy.front, proxy.leg, proxy.sink})
            fds[n++] = {fd, POLLIN, 0};
        for (int i = 0; i < proxy.client_count; ++i)
            fds[n++] = {proxy.clients[i].fd, POLLIN, 0};
        int ready = poll(fds, static_cast<nfds_t>(n), 100);
        if (ready <= 0) {
            idle += stopping;
            continue;
        }
        char byte;
        if (fds[0].revents != 0 && read(proxy.stop[0], &byte, 1) == 1) stopping = 1;
        for (int i = 1; i < n; ++i)
            if (fds[i].revents != 0)
                proxy_drain(fds[i].fd, i >= 4 ? &proxy.clients[i - 4] : nullptr);
        if (stopping && proxy.marker_seen > 0) {
            // The relay answered every try before it forwarded the marker: all is queued by now.
            proxy_sweep(fds, n);
            proxy_sweep(fds, n);
            break;
        }
    }
}

std::thread proxy_thread;

void proxy_start(const NetAddr& relay) {
    proxy.relay = relay;
    proxy_thread = std::thread(proxy_loop);
}

// Sends the marker through the proxy after every client has ended, so the relay handles it after
// all their tries, and waits for the proxy to see it at the recipient.
void proxy_finish() {
    char err[128];
    int fd = net_open("127.0.0.1", 0, err, sizeof err);
    Datagram d;
    std::memset(&d, 0, sizeof d);
    std::strcpy(d.recipient, kSink);
    std::strcpy(d.body, "the last one");
    char self[NICK_SIZE] = {};
    std::strcpy(self, kMarker);
    datagram_complete(&d, self, 1);
    for (int i = 0; i < TRIES; ++i) {
        net_send(fd, &d, datagram_send_length(&d), &proxy.front_addr);
        if (net_wait(fd, 1000) == 1) break;
    }
    net_close(fd);
    if (write(proxy.stop[1], "x", 1) != 1) {
    }
    proxy_thread.join();
    for (int i = 0; i < proxy.client_count; ++i)
        net_close(proxy.clients[i].fd);
    for (int fd2 : {proxy.front, proxy.leg, proxy.sink, proxy.stop[0], proxy.stop[1]})
        close(fd2);
}

unsigned loss_seed() {
    const char* env = std::getenv("KELTUP_LOSS_SEED");
    if (env != nullptr && *env != '\0') return static_cast<unsigned>(std::strtoul(env, nullptr, 0));
    return static_cast<unsigned>(std::time(nullptr)) ^ (static_cast<unsigned>(getpid()) << 12);
}

// Runs argv with standard input and output on /dev/null and standard error appended to err_path
// (standard output to out_fd when it is not -1). posix_spawn: safe beside the proxy's thread.
pid_t spawn(const std::vector<std::string>& args, const std::string& err_path, int out_fd = -1) {
    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (out_fd >= 0)
        posix_spawn_file_actions_adddup2(&actions, out_fd, 1);
    else
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                     0600);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

std::string temp_path(const char* what) {
    return ::testing::TempDir() + "keltup_loss_" + what + "_" + std::to_string(getpid());
}

std::string read_file(const std::string& path) {
    std::string text;
    FILE* f = std::fopen(path.c_str(), "r");
    if (f == nullptr) return text;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        text.append(buf, n);
    std::fclose(f);
    return text;
}

int count_of(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

// The number written just before `what` in text ("12 rate-limited"), or -1.
long long figure_before(const std::string& text, const std::string& what) {
    size_t at = text.find(what);
    if (at == std::string::npos) return -1;
    size_t start = at;
    while (start > 0 && text[start - 1] >= '0' && text[start - 1] <= '9')
        --start;
    return start < at ? std::stoll(text.substr(start, at - start)) : -1;
}

struct Relay {
    pid_t pid = -1;
    NetAddr addr = {0x7F000001u, 0};
    std::string users = temp_path("users");
    std::string log = temp_path("relay_log");
    std::string control = temp_path("control"); // its own, so relays of other tests do not meet
    std::string text;                           // its log, after stop()

    // Starts keltup-server with the recipient listed at `sink` and learns the port it chose.
    bool start(const NetAddr& sink) {
        FILE* f = std::fopen(users.c_str(), "w");
        if (f == nullptr) return false;
        std::fprintf(f, "%s = 127.0.0.1:%u\n", kSink, sink.port);
        std::fclose(f);
        std::remove(log.c_str());
        int out[2];
        if (pipe(out) != 0) return false;
        pid = spawn({KELTUP_SERVER, "--bind", "127.0.0.1", "--port", "0", "--users", users,
                     "--control", control, "--state", "none"},
                    log, out[1]);
        close(out[1]);
        std::string line;
        char ch;
        while (read(out[0], &ch, 1) == 1 && ch != '\n')
            line += ch;
        close(out[0]);
        size_t colon = line.rfind(':');
        if (pid < 0 || line.find("listening on 127.0.0.1:") == std::string::npos) return false;
        addr.port = static_cast<uint16_t>(std::stoi(line.substr(colon + 1)));
        return true;
    }
    int stop() {
        if (pid < 0) return -1;
        kill(pid, SIGTERM);
        int status = 0;
        pid_t ended = waitpid(pid, &status, 0);
        pid = -1;
        text = read_file(log);
        std::remove(log.c_str());
        std::remove(users.c_str());
        return ended > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    ~Relay() {
        if (pid <= 0) return;
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
};

struct Senders {
    pid_t pids[MAX_MESSAGES];
    int next = 0;    // the next message to send
    int running = 0; // processes not yet reaped
    std::string err = temp_path("send_err");

    // Starts keltup-send for message next, through the proxy's front.
    void launch() {
        int m = next++;
        pids[m] = spawn({KELTUP_SEND, "--server", "127.0.0.1", "--port",
                         std::to_string(proxy.front_addr.port), "--from", sender_nick(m), kSink,
                         message_text(m)},
                        err);
        proxy.messages[m].exit_code = -1;
        if (pids[m] > 0) ++running;
    }
    // Reaps one ended process (flags: 0 or WNOHANG); returns 0 when none was.
    int reap(int flags) {
        int status = 0;
        pid_t p = waitpid(-1, &status, flags);
        if (p <= 0) return 0;
        for (int m = 0; m < next; ++m)
            if (pids[m] == p) {
                proxy.messages[m].exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
                --running;
            }
        return 1;
    }
    // Sends messages [0, count), PARALLEL at a time, and waits for every one.
    void all(int count) {
        for (int step = 0; step < 2 * count + 1 && (next < count || running > 0); ++step) {
            if (next < count && running < PARALLEL)
                launch();
            else if (!reap(0))
                break;
        }
    }
};

// What one test measured, printed for the record.
struct Figures {
    int sent = 0, confirmed = 0, reached = 0, received = 0, duplicates = 0, tries = 0;
    int by_tries[TRIES + 1] = {};
    int wrong_exit = 0, unconfirmed_short = 0;
};

Figures figures(int count) {
    Figures f;
    f.sent = count;
    for (int m = 0; m < count; ++m) {
        const Message& msg = proxy.messages[m];
        f.confirmed += msg.exit_code == 0;
        f.wrong_exit += msg.exit_code != 0 && msg.exit_code != 1;
        f.reached += msg.passed > 0;
        f.received += msg.received > 0;
        f.duplicates += msg.received > 1 ? msg.received - 1 : 0;
        f.tries += msg.tries;
        if (msg.tries >= 1 && msg.tries <= TRIES) ++f.by_tries[msg.tries];
        // A client gives up only after its last try.
        f.unconfirmed_short += msg.exit_code == 1 && msg.tries != TRIES;
    }
    return f;
}

void print(const char* what, const Figures& f) {
    std::printf("%s: seed %u (KELTUP_LOSS_SEED=%u replays it)\n", what, proxy.seed, proxy.seed);
    std::printf("  %d messages, %d confirmed (%.1f%%), %d reached the relay, %d received, "
                "%d duplicates\n",
                f.sent, f.confirmed, 100.0 * f.confirmed / f.sent, f.reached, f.received,
                f.duplicates);
    std::printf("  tries per message:");
    for (int t = 1; t <= TRIES; ++t)
        std::printf(" %d:%d", t, f.by_tries[t]);
    std::printf(" (%d in all, %.2f a message)\n", f.tries, static_cast<double>(f.tries) / f.sent);
    std::fflush(stdout);
}

// The relay's own totals agree with what the proxy handed it: one delivery per message that
// reached it (and the marker), every other try a resend, nothing unknown.
void expect_relay_totals(const Relay& relay, int count, const Figures& f) {
    int passed = 0;
    for (int m = 0; m < count; ++m)
        passed += proxy.messages[m].passed;
    EXPECT_EQ(f.reached + 1, figure_before(relay.text, " delivered,")) << relay.text;
    EXPECT_EQ(passed - f.reached + proxy.marker_passed - 1, figure_before(relay.text, " resends,"))
        << relay.text;
    EXPECT_EQ(0, figure_before(relay.text, " unknown recipients")) << relay.text;
}

// keltup-send's standard error: no sanitizer report, no receipt for another message.
void expect_clean_senders(const Senders& s) {
    std::string err = read_file(s.err);
    std::remove(s.err.c_str());
    EXPECT_EQ(std::string::npos, err.find("Sanitizer")) << err;
    EXPECT_EQ(std::string::npos, err.find("runtime error")) << err;
    EXPECT_EQ(0, count_of(err, "Wrong message!")) << err;
}

// count messages from distinct nicknames and ports, 30% lost each way between clients and relay,
// and loss_leg per mille between relay and recipient.
Figures lossy_run(const char* what, int count, int loss_leg, Relay* relay) {
    Senders senders;
    Figures f;
    EXPECT_TRUE(proxy_open(loss_seed(), LOSS, LOSS, loss_leg));
    if (!relay->start(loss_leg > 0 ? proxy.leg_addr : proxy.sink_addr)) {
        ADD_FAILURE() << "keltup-server did not start";
        return f;
    }
    proxy_start(relay->addr);
    senders.all(count);
    proxy_finish();
    EXPECT_EQ(0, relay->stop());
    f = figures(count);
    print(what, f);
    EXPECT_EQ(1, proxy.marker_seen);
    EXPECT_EQ(0, proxy.table_full);
    EXPECT_EQ(0, proxy.corrupt);
    EXPECT_EQ(0, proxy.others);
    EXPECT_EQ(0, proxy.notices);
    EXPECT_EQ(0, f.wrong_exit);
    EXPECT_EQ(0, f.unconfirmed_short);
    EXPECT_GE(f.confirmed * 100, count * 98) << "seed " << proxy.seed;
    expect_relay_totals(*relay, count, f);
    expect_clean_senders(senders);
    for (int m = 0; m < count; ++m) {
        const Message& msg = proxy.messages[m];
        // The relay answers every try that reaches it, the first and the resends alike.
        EXPECT_EQ(msg.passed, msg.replies) << "message " << m << ", seed " << proxy.seed;
        if (msg.exit_code == 0) {
            EXPECT_GT(msg.answered, 0) << "message " << m;
        }
    }
    return f;
}

TEST(LossyNetwork, NearlyEveryMessageIsConfirmedAndEachOneThatReachedTheRelayArrivesOnce) {
    Relay relay;
    const int count = 300;
    Figures f = lossy_run("30% lost each way between clients and relay", count, 0, &relay);
    EXPECT_EQ(0, f.duplicates) << "seed " << proxy.seed;
    EXPECT_EQ(f.reached, f.received) << "seed " << proxy.seed;
    for (int m = 0; m < count; ++m) {
        const Message& msg = proxy.messages[m];
        EXPECT_EQ(msg.passed > 0 ? 1 : 0, msg.received)
            << "message " << m << ", seed " << proxy.seed;
    }
}

TEST(LossyNetwork, WhatIsLostBetweenRelayAndRecipientStaysLost) {
    Relay relay;
    const int count = 300;
    Figures f =
        lossy_run("30% lost each way, and between relay and recipient", count, LOSS, &relay);
    int resent = 0;
    for (int m = 0; m < count; ++m) {
        const Message& msg = proxy.messages[m];
        // The relay forwards a message once, whatever its resends; nothing recovers a lost one.
        EXPECT_EQ(msg.passed > 0 ? 1 : 0, msg.forwards)
            << "message " << m << ", seed " << proxy.seed;
        EXPECT_LE(msg.received, 1) << "message " << m;
        resent += msg.forwards > 0 && msg.received == 0 && msg.passed > 1;
    }
    int missed = f.reached - f.received;
    std::printf("  the recipient missed %d of the %d that reached the relay (%.1f%%); %d of those "
                "were sent again by their client and still not forwarded again\n",
                missed, f.reached, f.reached > 0 ? 100.0 * missed / f.reached : 0.0, resent);
    std::fflush(stdout);
    EXPECT_EQ(0, f.duplicates);
    EXPECT_GT(missed, 0);
    EXPECT_LT(missed, f.reached / 2);
}

TEST(LossyNetwork, AFloodFromOneSourceDoesNotStopAnotherClient) {
    Senders senders;
    Relay relay;
    ASSERT_TRUE(proxy_open(loss_seed(), 0, 0, 0));
    ASSERT_TRUE(relay.start(proxy.sink_addr));
    char err[128];
    int flood = net_open("127.0.0.1", 0, err, sizeof err);
    ASSERT_GE(flood, 0) << err;
    proxy_start(relay.addr);
    Datagram d;
    char flood_nick[NICK_SIZE] = "FLOOD";
    char sink[NICK_SIZE] = {};
    std::strcpy(sink, kSink);

    // The messages start in the flood's first half, each a keltup-send of its own as before; the
    // flood goes on meanwhile, a millisecond's pause after each chunk.
    int chunks = FLOOD / FLOOD_CHUNK;
    int flood_failed = 0;
    int ended_during = 0;
    char junk[1024];
    for (int chunk = 0; chunk < chunks; ++chunk) {
        for (int i = 0; i < FLOOD_CHUNK; ++i) {
            std::memset(&d, 0, sizeof d);
            std::memcpy(d.recipient, sink, NICK_SIZE);
            std::snprintf(d.body, sizeof d.body, "flood %d", chunk * FLOOD_CHUNK + i);
            datagram_complete(&d, flood_nick, static_cast<unsigned>(i));
            if (net_send(flood, &d, datagram_send_length(&d), &relay.addr) < 0) ++flood_failed;
        }
        while (net_recv(flood, junk, sizeof junk, nullptr) >= 0) {
        }
        if (senders.next < FLOOD_MESSAGES && senders.running < PARALLEL &&
            chunk >= senders.next * chunks / (2 * FLOOD_MESSAGES))
            senders.launch();
        while (senders.reap(WNOHANG))
            ++ended_during;
        poll(nullptr, 0, 1);
    }
    net_close(flood);
    senders.all(FLOOD_MESSAGES);
    proxy_finish();
    ASSERT_EQ(0, relay.stop());

    Figures f = figures(FLOOD_MESSAGES);
    print("a flood of 50000 datagrams from one source beside 100 messages", f);
    long long rate_limited = figure_before(relay.text, " rate-limited");
    std::printf("  %d messages ended during the flood; the relay dropped %lld of the flood as "
                "rate-limited and forwarded %d; %d flood datagrams could not be sent\n",
                ended_during, rate_limited, proxy.others, flood_failed);
    std::fflush(stdout);
    EXPECT_EQ(FLOOD_MESSAGES, f.confirmed) << "seed " << proxy.seed;
    EXPECT_EQ(FLOOD_MESSAGES, f.received);
    EXPECT_EQ(0, f.duplicates);
    EXPECT_EQ(0, proxy.corrupt);
    EXPECT_GT(rate_limited, 0) << relay.text;
    EXPECT_LT(proxy.others, FLOOD / 10);
    expect_clean_senders(senders);
}

} // namespace
