// keltup-server's loop on Unix: the UDP socket and the control socket in one ppoll, SIGTERM and
// SIGINT to stop, SIGHUP to read the users file again.
#include "server/control.h"
#include "server/relay.h"
#include "server/serve.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <poll.h>

const char* const kServeControlHelp =
    "  --control PATH      the operator's socket (default $RUNTIME_DIRECTORY/control under\n"
    "                      systemd, /run/keltup-server/control for root, else\n"
    "                      $XDG_RUNTIME_DIR/keltup-server.control)\n";
const char* const kServeStateHelp =
    "  --state FILE        keep the learned nicknames in FILE across restarts (default\n"
    "                      $STATE_DIRECTORY/directory under systemd,\n"
    "                      /var/lib/keltup-server/directory for root, else\n"
    "                      $XDG_STATE_HOME/keltup-server/directory); none: keep no file\n";
const char* const kServeOptionsHelp = "";

int serve_option(int, char**, int*, int*) {
    return 0;
}

int serve_main(int, char**, int (*start_relay)()) {
    return start_relay();
}

void serve_starting() {}

static volatile sig_atomic_t stop_requested;
static volatile sig_atomic_t reload_requested;

static void on_stop(int) {
    stop_requested = 1;
}
static void on_reload(int) {
    reload_requested = 1;
}

long long server_now_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int serve_control_path(const char* given, char* out, int size, int* own_dir) {
    *own_dir = 0;
    if (given != nullptr) {
        std::snprintf(out, static_cast<size_t>(size), "%s", given);
        return 1;
    }
    char err[300];
    if (control_default_path(out, size, own_dir, err, sizeof err)) return 1;
    relay_log(LOG_QUIET, "%s", err);
    return 0;
}

// The relay's loop until SIGTERM or SIGINT: datagrams, operator connections, the users file on
// SIGHUP, drop counts once a minute and the metrics file.
static void loop(int fd) {
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

    while (!stop_requested) {
        if (reload_requested) {
            reload_requested = 0;
            server_reload();
        }
        long long now = server_now_ms();
        long long wake = server_tick(now);
        long long control_wake = control_next_wake();
        if (control_wake >= 0 && control_wake < wake) wake = control_wake;
        // Copies and notices to send: no wait; ones the socket had no room for: until it has.
        int pending = relay_drain_pending();
        long long wait = wake > now && pending != DRAIN_NOW ? wake - now : 0;

        pollfd fds[2 + CONTROL_CLIENTS];
        fds[0].fd = fd;
        fds[0].events = static_cast<short>(POLLIN | (pending == DRAIN_BLOCKED ? POLLOUT : 0));
        fds[0].revents = 0;
        int count = 1 + control_poll_fds(fds + 1, 1 + CONTROL_CLIENTS);
        timespec limit;
        limit.tv_sec = static_cast<time_t>(wait / 1000);
        limit.tv_nsec = static_cast<long>(wait % 1000) * 1000000L;
        int ready = ppoll(fds, static_cast<nfds_t>(count), &limit, &waiting);
        now = server_now_ms();
        if ((ready > 0 && fds[0].revents != 0) || relay_drain_pending() == DRAIN_NOW)
            relay_drain(fd, now);
        control_service(fds + 1, ready > 0 ? count - 1 : 0, fd, now);
    }
}

int serve() {
    const ServerOptions& o = server_options;
    char err[600] = "", control[4200];
    int own_dir = 0;
    int fd = net_open(o.address, static_cast<int>(o.port), err, sizeof err);
    if (fd < 0) {
        relay_log(LOG_QUIET, "%s (address %s, port %ld)", err, o.address, o.port);
        return EXIT_FAILED;
    }
    control_set_start(server_now_ms());
    if (!serve_control_path(o.control, control, sizeof control, &own_dir) ||
        !control_listen(control, own_dir, err, sizeof err)) {
        if (err[0] != '\0') relay_log(LOG_QUIET, "%s", err);
        net_close(fd);
        return EXIT_FAILED;
    }
    if (!server_started(fd, control)) {
        control_close();
        net_close(fd);
        return EXIT_FAILED;
    }
    loop(fd);
    server_stopping();
    control_close();
    net_close(fd);
    return EXIT_OK;
}
