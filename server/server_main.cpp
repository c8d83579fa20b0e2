// keltup-server: the UDP relay the clients talk to.
#include "server/relay.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <poll.h>

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

static void usage() {
    std::fprintf(stderr, "usage: keltup-server [-a ADDRESS] [-p PORT] [-u USERS-FILE] [-v]\n"
                         "  -a ADDRESS  IPv4 address to listen on (default 0.0.0.0)\n"
                         "  -p PORT     UDP port (default 99; 0 lets the system choose)\n"
                         "  -u FILE     users file (NICK ADDRESS PORT a line), read again on "
                         "SIGHUP\n"
                         "  -v          one line per datagram on standard error\n");
}

static int parse_port(const char* text, int* port) {
    char* end = nullptr;
    long v = std::strtol(text, &end, 10);
    if (*text == '\0' || *end != '\0' || v < 0 || v > 65535) return 0;
    *port = static_cast<int>(v);
    return 1;
}

int main(int argc, char** argv) {
    const char* address = "0.0.0.0";
    const char* users_file = nullptr;
    int port = 99;
    int verbose = 0;
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        int has_value = i + 1 < argc;
        if (std::strcmp(a, "-a") == 0 && has_value) {
            address = argv[++i];
        } else if (std::strcmp(a, "-p") == 0 && has_value) {
            if (!parse_port(argv[++i], &port)) {
                std::fprintf(stderr, "keltup-server: bad port '%s'\n", argv[i]);
                return 2;
            }
        } else if (std::strcmp(a, "-u") == 0 && has_value) {
            users_file = argv[++i];
        } else if (std::strcmp(a, "-v") == 0) {
            verbose = 1;
        } else if (std::strcmp(a, "-h") == 0 || std::strcmp(a, "--help") == 0) {
            usage();
            return 0;
        } else {
            usage();
            return 2;
        }
    }

    relay_reset();
    char err[600];
    if (users_file != nullptr) {
        int n = relay_users_load(users_file, err, sizeof err);
        if (n < 0) {
            std::fprintf(stderr, "keltup-server: users file %s\n", err);
            return 1;
        }
        std::fprintf(stderr, "keltup-server: %d users listed\n", n);
    }

    int fd = net_open(address, port, err, sizeof err);
    if (fd < 0) {
        std::fprintf(stderr, "keltup-server: %s (address %s, port %d)\n", err, address, port);
        return 1;
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

    while (!stop_requested) {
        if (reload_requested) {
            reload_requested = 0;
            if (users_file != nullptr) {
                int n = relay_users_load(users_file, err, sizeof err);
                if (n < 0)
                    std::fprintf(stderr, "keltup-server: users file %s; keeping the old list\n",
                                 err);
                else
                    std::fprintf(stderr, "keltup-server: %d users listed\n", n);
            }
        }
        pollfd p;
        p.fd = fd;
        p.events = POLLIN;
        p.revents = 0;
        int wait = relay_next_notice(now_ms());
        timespec limit;
        limit.tv_sec = wait / 1000;
        limit.tv_nsec = static_cast<long>(wait % 1000) * 1000000L;
        int ready = ppoll(&p, 1, wait < 0 ? nullptr : &limit, &waiting);
        if (ready >= 0) relay_drain(fd, now_ms(), verbose);
    }
    std::fprintf(stderr,
                 "keltup-server: stopping; %lld delivered, %lld resends, %lld unknown recipients, "
                 "%lld ignored, %lld notices\n",
                 relay_stats.delivered, relay_stats.resent, relay_stats.unknown,
                 relay_stats.ignored, relay_stats.notices);
    net_close(fd);
    return 0;
}
