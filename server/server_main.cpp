// keltup-server: the UDP relay the clients talk to, and the operator's way to send them notices.
#include "server/relay.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <unistd.h>

enum { EXIT_OK = 0, EXIT_FAILED = 1, EXIT_USAGE = 2 };

static volatile sig_atomic_t stop_requested;
static volatile sig_atomic_t reload_requested;

static void on_stop(int) {
    stop_requested = 1;
}
static void on_reload(int) {
    reload_requested = 1;
}

static long long now_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

static void usage(FILE* to) {
    std::fprintf(
        to, "usage: keltup-server [--port N] [--bind ADDRESS] [--users FILE] [--lease SECONDS]\n"
            "                     [--rate N] [--max-users N] [--max-users-per-address N]\n"
            "                     [--quiet | --verbose]\n"
            "       keltup-server --notice NICK|--all TEXT [--port N] [--bind ADDRESS]\n"
            "  -p, --port N        UDP port (default 99; 0 lets the system choose)\n"
            "  -b, --bind ADDRESS  IPv4 address to listen on (default 0.0.0.0, every interface)\n"
            "  -u, --users FILE    users file, NICK = host[:port] a line, read again on SIGHUP\n"
            "  --lease SECONDS     a nickname stays with its address while that address was heard\n"
            "                      from this recently (default 600)\n"
            "  --rate N            datagrams per second each source address may send, with bursts\n"
            "                      of twice as many (default 20; 0: no limit)\n"
            "  --max-users N       nicknames the relay can know at once (default 65536); the\n"
            "                      memory for them is taken at start\n"
            "  --max-users-per-address N\n"
            "                      learned nicknames one host address may hold (default 64)\n"
            "  -q, --quiet         log errors only\n"
            "  -v, --verbose       log one line per datagram\n"
            "  --notice NICK TEXT  on the server's machine: have the running relay send TEXT as a\n"
            "                      notice to NICK, or with --all to every nickname it knows\n"
            "  --version           print the program's name and version\n");
}

static int parse_number(const char* text, long low, long high, long* out) {
    char* end = nullptr;
    long v = std::strtol(text, &end, 10);
    if (*text == '\0' || *end != '\0' || v < low || v > high) return 0;
    *out = v;
    return 1;
}

// The operator's side: one control request over loopback, answered by the relay.
static int send_notice(const char* address, int port, const char* nick, const char* text) {
    char err[256];
    int fd = net_open("127.0.0.1", 0, err, sizeof err);
    if (fd < 0) {
        std::fprintf(stderr, "keltup-server: %s\n", err);
        return EXIT_FAILED;
    }
    NetAddr server;
    if (std::strcmp(address, "0.0.0.0") == 0) address = "127.0.0.1";
    if (!net_resolve(address, port, &server)) {
        std::fprintf(stderr, "keltup-server: cannot use address %s\n", address);
        net_close(fd);
        return EXIT_USAGE;
    }
    Datagram req;
    unsigned id = static_cast<unsigned>(getpid()) & 0x7FFF;
    int len = relay_control_request(&req, nick, text, id);
    if (std::strlen(text) > BODY_SIZE - 1)
        std::fprintf(stderr, "keltup-server: the notice is cut to %d characters\n", BODY_SIZE - 1);
    // A lost answer is asked for again; the relay sends the notice once.
    for (int tries = 0; tries < 3; ++tries) {
        net_send(fd, &req, len, &server);
        long long until = now_ms() + 1000;
        long long left;
        while ((left = until - now_ms()) > 0) {
            if (net_wait(fd, static_cast<int>(left)) != 1) continue;
            static char buf[RECORD_SIZE + 1];
            NetAddr from;
            int n = net_recv(fd, buf, RECORD_SIZE, &from);
            if (n < HEADER_SIZE + 1 || n > RECORD_SIZE || !net_equal(&from, &server)) continue;
            Datagram* a = reinterpret_cast<Datagram*>(buf);
            if (std::memcmp(a->magic, "KT1", 3) != 0 || a->kind != KIND_CONTROL ||
                std::memcmp(a->id, req.id, sizeof req.id) != 0)
                continue;
            clean_text(a->body, BODY_SIZE);
            int reached = static_cast<unsigned char>(a->reserved[CONTROL_RESULT_AT]) |
                          static_cast<unsigned char>(a->reserved[CONTROL_RESULT_AT + 1]) << 8;
            std::printf("%s\n", a->body);
            net_close(fd);
            return reached > 0 ? EXIT_OK : EXIT_FAILED;
        }
    }
    std::fprintf(stderr, "keltup-server: no answer from a relay at %s port %d\n", address, port);
    net_close(fd);
    return EXIT_FAILED;
}

int main(int argc, char** argv) {
    const char* address = "0.0.0.0";
    const char* users_file = nullptr;
    const char* notice_nick = nullptr;
    const char* notice_text = nullptr;
    int notice_all = 0;
    long port = RELAY_DEFAULT_PORT;
    long lease = RELAY_DEFAULT_LEASE_S;
    long rate = RELAY_DEFAULT_RATE;
    long max_users = RELAY_MAX_USERS;
    long per_address = RELAY_DEFAULT_PER_ADDRESS;
    int level = LOG_NORMAL;
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        auto is = [a](const char* s, const char* l) {
            return (s != nullptr && std::strcmp(a, s) == 0) || std::strcmp(a, l) == 0;
        };
        int has_value = i + 1 < argc;
        int ok = 1;
        if (is("-h", "--help")) {
            usage(stdout);
            return EXIT_OK;
        } else if (is(nullptr, "--version")) {
            std::printf("keltup-server %s\n", KELTUP_VERSION);
            return EXIT_OK;
        } else if (is("-q", "--quiet")) {
            level = LOG_QUIET;
        } else if (is("-v", "--verbose")) {
            level = LOG_VERBOSE;
        } else if (is(nullptr, "--all")) {
            notice_all = 1;
        } else if (!has_value) {
            ok = 0;
        } else if (is("-p", "--port")) {
            ok = parse_number(argv[++i], 0, 65535, &port);
        } else if (is("-b", "--bind") || is("-a", "--bind")) {
            address = argv[++i];
        } else if (is("-u", "--users")) {
            users_file = argv[++i];
        } else if (is(nullptr, "--lease")) {
            ok = parse_number(argv[++i], 1, 100L * 24 * 3600, &lease);
        } else if (is(nullptr, "--rate")) {
            ok = parse_number(argv[++i], 0, 1000000000L, &rate);
        } else if (is(nullptr, "--max-users")) {
            ok = parse_number(argv[++i], 1, RELAY_MAX_USERS_LIMIT, &max_users);
        } else if (is(nullptr, "--max-users-per-address")) {
            ok = parse_number(argv[++i], 1, RELAY_MAX_USERS_LIMIT, &per_address);
        } else if (is(nullptr, "--notice")) {
            // --notice NICK TEXT, or --notice --all TEXT
            if (std::strcmp(argv[i + 1], "--all") == 0) {
                notice_all = 1;
                ++i;
            } else {
                notice_nick = argv[++i];
            }
            if (i + 1 < argc)
                notice_text = argv[++i];
            else
                ok = 0;
        } else {
            ok = 0;
        }
        if (!ok) {
            std::fprintf(stderr, "keltup-server: bad argument '%s'\n", a);
            usage(stderr);
            return EXIT_USAGE;
        }
    }
    if (notice_text != nullptr || notice_all) {
        if (notice_text == nullptr || (notice_nick != nullptr && notice_all)) {
            usage(stderr);
            return EXIT_USAGE;
        }
        return send_notice(address, static_cast<int>(port), notice_all ? nullptr : notice_nick,
                           notice_text);
    }

    relay_config.lease_ms = lease * 1000LL;
    relay_config.rate = static_cast<int>(rate);
    relay_config.burst = static_cast<int>(
        rate > 1000000000L / RELAY_BURST_FACTOR ? rate : rate * RELAY_BURST_FACTOR);
    relay_config.log_level = level;
    relay_config.max_users = static_cast<int>(max_users);
    relay_config.max_per_address = static_cast<int>(per_address);
    char err[600];
    if (!relay_init(err, sizeof err)) {
        relay_log(LOG_QUIET, "%s", err);
        return EXIT_FAILED;
    }
    if (users_file != nullptr) {
        int n = relay_users_load(users_file, err, sizeof err);
        if (n < 0) {
            relay_log(LOG_QUIET, "users file %s", err);
            return EXIT_FAILED;
        }
        relay_log(LOG_NORMAL, "%d users listed from %s", n, users_file);
    }

    int fd = net_open(address, static_cast<int>(port), err, sizeof err);
    if (fd < 0) {
        relay_log(LOG_QUIET, "%s (address %s, port %ld)", err, address, port);
        return EXIT_FAILED;
    }
    // The signals are blocked except while waiting, so none slips in between a check and the wait.
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_stop;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    sa.sa_handler = on_reload;
    sigaction(SIGHUP, &sa, nullptr);
    sigset_t blocked, waiting;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGTERM);
    sigaddset(&blocked, SIGINT);
    sigaddset(&blocked, SIGHUP);
    sigprocmask(SIG_BLOCK, &blocked, &waiting);
    sigdelset(&waiting, SIGTERM);
    sigdelset(&waiting, SIGINT);
    sigdelset(&waiting, SIGHUP);

    NetAddr local;
    net_local(fd, &local);
    char where[NET_ADDR_TEXT];
    net_format(&local, where, sizeof where);
    std::printf("keltup-server: listening on %s\n", where);
    std::fflush(stdout);
    relay_log(LOG_NORMAL,
              "started on %s: lease %lds, rate %ld/s, %ld nicknames (%ld per host), %.1f MiB of "
              "tables allocated (directory %.1f MiB, resend memory %.1f MiB)",
              where, lease, rate, max_users, per_address, relay_table_bytes() / 1048576.0,
              relay_directory_bytes() / 1048576.0, relay_resend_bytes() / 1048576.0);

    long long next_stats = now_ms() + RELAY_STATS_MS;
    while (!stop_requested) {
        if (reload_requested) {
            reload_requested = 0;
            if (users_file != nullptr) {
                int n = relay_users_load(users_file, err, sizeof err);
                if (n < 0)
                    relay_log(LOG_QUIET, "users file %s; keeping the old list", err);
                else
                    relay_log(LOG_NORMAL, "%d users listed from %s", n, users_file);
            }
        }
        long long now = now_ms();
        if (now >= next_stats) {
            relay_log_drops(0);
            next_stats = now + RELAY_STATS_MS;
        }
        long long wait = next_stats - now;
        pollfd p;
        p.fd = fd;
        p.events = POLLIN;
        p.revents = 0;
        timespec limit;
        limit.tv_sec = static_cast<time_t>(wait / 1000);
        limit.tv_nsec = static_cast<long>(wait % 1000) * 1000000L;
        int ready = ppoll(&p, 1, &limit, &waiting);
        if (ready > 0) relay_drain(fd, now_ms());
    }
    relay_log_drops(1);
    relay_log(LOG_NORMAL,
              "stopping: %lld delivered, %lld resends, %lld unknown recipients, %lld kept by "
              "their holder, %lld operator notices, %lld sends failed",
              relay_stats.delivered, relay_stats.resent, relay_stats.unknown,
              relay_stats.lease_refused, relay_stats.notices, relay_stats.send_failed);
    net_close(fd);
    return EXIT_OK;
}
