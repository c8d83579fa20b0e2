// keltup-server: the UDP relay the clients talk to, and the operator's way to reach it (notices,
// status) over its control channel. The options, the start and the periodic work; the loop is
// per platform.
#include "server/control.h"
#include "server/relay.h"
#include "server/serve.h"
#include "server/state.h"
#include "server/state_fs.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

ServerOptions server_options = {"0.0.0.0",
                                RELAY_DEFAULT_PORT,
                                nullptr,
                                nullptr,
                                nullptr,
                                RELAY_DEFAULT_LEASE_S,
                                RELAY_DEFAULT_RATE,
                                RELAY_MAX_USERS,
                                RELAY_DEFAULT_PER_ADDRESS,
                                nullptr};

static long long next_stats, next_metrics;
static char state_path[FS_PATH_SIZE];
static int make_folders; // the default place's folders are the relay's to make
static int metrics_failing;

static void usage(FILE* to) {
    std::fprintf(
        to,
        "usage: keltup-server [--port N] [--bind ADDRESS] [--users FILE] [--lease SECONDS]\n"
        "                     [--rate N] [--max-users N] [--max-users-per-address N]\n"
        "                     [--control PATH] [--metrics FILE] [--state FILE|none]\n"
        "                     [--quiet | --verbose]\n"
        "       keltup-server --notice NICK|--all TEXT [--control PATH]\n"
        "       keltup-server --status [--control PATH]\n"
        "  -p, --port N        UDP port (default 99; 0 lets the system choose)\n"
        "  -b, --bind ADDRESS  IPv4 address to listen on (default 0.0.0.0, every interface)\n"
        "  -u, --users FILE    users file, NICK = host[:port] a line, read again on SIGHUP\n"
        "  --lease SECONDS     a nickname stays with its address while messages came from or\n"
        "                      went to it this recently (default 600)\n"
        "  --rate N            datagrams per second each source address may send, with bursts\n"
        "                      of twice as many (default 20; 0: no limit)\n"
        "  --max-users N       nicknames the directory holds (default 65536); the memory for\n"
        "                      them is taken at start\n"
        "  --max-users-per-address N\n"
        "                      learned nicknames one host address may hold (default 64)\n"
        "  --control PATH      the operator's socket (default $RUNTIME_DIRECTORY/control under\n"
        "                      systemd, /run/keltup-server/control for root, else\n"
        "                      $XDG_RUNTIME_DIR/keltup-server.control)\n"
        "  --metrics FILE      write the counters every 15 s to FILE, Prometheus text format\n"
        "  --state FILE        keep the learned nicknames in FILE across restarts (default\n"
        "                      $STATE_DIRECTORY/directory under systemd,\n"
        "                      /var/lib/keltup-server/directory for root, else\n"
        "                      $XDG_STATE_HOME/keltup-server/directory); none: keep no file\n"
        "  -q, --quiet         log errors only\n"
        "  -v, --verbose       log one line per datagram\n"
        "  --notice NICK TEXT  have the running relay send TEXT as a notice to NICK, or with\n"
        "                      --all to every nickname it knows\n"
        "  --status            print the running relay's uptime, counters and directory\n"
        "  --version           print the program's name and version\n"
        "Exit codes: 0 done, 1 failed (or no nickname reached, no relay), 2 bad command line,\n"
        "3 not allowed to control the relay.\n");
}

static int parse_number(const char* text, long low, long high, long* out) {
    char* end = nullptr;
    long v = std::strtol(text, &end, 10);
    if (*text == '\0' || *end != '\0' || v < low || v > high) return 0;
    *out = v;
    return 1;
}

long long server_tick(long long now) {
    char err[600];
    if (now >= next_stats) {
        relay_log_drops(0);
        next_stats = now + RELAY_STATS_MS;
    }
    long long wake = next_stats;
    if (server_options.metrics_file != nullptr) {
        if (now >= next_metrics) {
            // A failure is logged once, and so is the recovery.
            int ok = metrics_write(server_options.metrics_file, now, err, sizeof err);
            if (!ok) ++metrics_write_errors;
            if (!ok && !metrics_failing) relay_log(LOG_QUIET, "%s", err);
            if (ok && metrics_failing) relay_log(LOG_NORMAL, "metrics file written again");
            metrics_failing = !ok;
            next_metrics = now + METRICS_EVERY_MS;
        }
        if (next_metrics < wake) wake = next_metrics;
    }
    long long state_wake = state_tick(now);
    return state_wake < wake ? state_wake : wake;
}

void server_reload() {
    // The state file is rewritten whole, so that it can be copied as it is now.
    state_compact_now(server_now_ms());
    const char* users_file = server_options.users_file;
    if (users_file == nullptr) return;
    char err[600];
    int n = relay_users_load(users_file, err, sizeof err);
    if (n < 0)
        relay_log(LOG_QUIET, "users file %s; keeping the old list", err);
    else
        relay_log(LOG_NORMAL, "%d users listed from %s", n, users_file);
}

void server_started(int fd, const char* control_where) {
    const ServerOptions& o = server_options;
    NetAddr local;
    net_local(fd, &local);
    char where[NET_ADDR_TEXT];
    net_format(&local, where, sizeof where);
    std::printf("keltup-server: listening on %s\n", where);
    std::fflush(stdout);
    relay_log(LOG_NORMAL,
              "started on %s: lease %lds, rate %ld/s, %ld nicknames (%ld per host), %.1f MiB of "
              "tables allocated (directory %.1f MiB, resend memory %.1f MiB)",
              where, o.lease, o.rate, o.max_users, o.per_address, relay_table_bytes() / 1048576.0,
              relay_directory_bytes() / 1048576.0, relay_resend_bytes() / 1048576.0);
    relay_log(LOG_NORMAL, "control socket %s%s%s", control_where,
              o.metrics_file ? ", metrics to " : "", o.metrics_file ? o.metrics_file : "");
    // The learned directory is back before the first datagram is read; only now that this
    // relay holds its socket, so that one started by mistake beside it leaves its file alone.
    if (make_folders && !fs_make_folders_for(state_path)) {
        relay_log(LOG_QUIET,
                  "no state file: %s: %s; the learned nicknames are kept in memory only (give "
                  "--state FILE)",
                  state_path, fs_error());
        state_path[0] = '\0';
    }
    state_open(state_path[0] != '\0' ? state_path : nullptr, server_now_ms());
    long long now = server_now_ms();
    next_stats = now + RELAY_STATS_MS;
    next_metrics = now + METRICS_EVERY_MS;
}

void server_stopping() {
    state_close(server_now_ms());
    relay_log_drops(1);
    relay_log(LOG_NORMAL,
              "stopping: %lld delivered, %lld resends, %lld unknown recipients, %lld kept by "
              "their holder, %lld operator notices, %lld sends failed, %lld impersonations "
              "refused, %lld nicknames not learned for want of a free slot, %lld over their host's "
              "share, "
              "%lld not remembered (resend memory full)",
              relay_stats.delivered, relay_stats.resent, relay_stats.unknown,
              relay_stats.lease_refused, relay_stats.notices, relay_stats.send_failed,
              relay_stats.impersonation_refused, relay_stats.directory_full,
              relay_stats.address_full, relay_stats.resend_memory_full);
}

int main(int argc, char** argv) {
    ServerOptions& o = server_options;
    const char* notice_nick = nullptr;
    const char* notice_text = nullptr;
    int notice_all = 0;
    int status = 0;
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
        } else if (is(nullptr, "--status")) {
            status = 1;
        } else if (!has_value) {
            ok = 0;
        } else if (is("-p", "--port")) {
            ok = parse_number(argv[++i], 0, 65535, &o.port);
        } else if (is("-b", "--bind") || is("-a", "--bind")) {
            o.address = argv[++i];
        } else if (is("-u", "--users")) {
            o.users_file = argv[++i];
        } else if (is(nullptr, "--lease")) {
            ok = parse_number(argv[++i], 1, 100L * 24 * 3600, &o.lease);
        } else if (is(nullptr, "--rate")) {
            ok = parse_number(argv[++i], 0, 1000000000L, &o.rate);
        } else if (is(nullptr, "--control")) {
            o.control = argv[++i];
        } else if (is(nullptr, "--state")) {
            o.state_file = argv[++i];
            ok = o.state_file[0] != '\0';
        } else if (is(nullptr, "--metrics")) {
            o.metrics_file = argv[++i];
        } else if (is(nullptr, "--max-users")) {
            ok = parse_number(argv[++i], 1, RELAY_MAX_USERS_LIMIT, &o.max_users);
        } else if (is(nullptr, "--max-users-per-address")) {
            ok = parse_number(argv[++i], 1, RELAY_MAX_USERS_LIMIT, &o.per_address);
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
    relay_config.log_level = level;
    char control[4200];
    int own_dir = 0;

    // The operator's commands talk to the running relay over its control socket.
    if (notice_text != nullptr || notice_all || status) {
        if ((status && (notice_text != nullptr || notice_all)) ||
            (!status && (notice_text == nullptr || (notice_nick != nullptr && notice_all)))) {
            usage(stderr);
            return EXIT_USAGE;
        }
        if (!serve_control_path(o.control, control, sizeof control, &own_dir)) return EXIT_FAILED;
        if (status) return control_status(control);
        return control_notice(control, notice_all ? nullptr : notice_nick, notice_text);
    }

    relay_config.lease_ms = o.lease * 1000LL;
    relay_config.rate = static_cast<int>(o.rate);
    relay_config.burst = static_cast<int>(
        o.rate > 1000000000L / RELAY_BURST_FACTOR ? o.rate : o.rate * RELAY_BURST_FACTOR);
    relay_config.max_users = static_cast<int>(o.max_users);
    relay_config.max_per_address = static_cast<int>(o.per_address);
    char err[600];
    if (!relay_init(err, sizeof err)) {
        relay_log(LOG_QUIET, "%s", err);
        return EXIT_FAILED;
    }
    if (o.users_file != nullptr) {
        int n = relay_users_load(o.users_file, err, sizeof err);
        if (n < 0) {
            relay_log(LOG_QUIET, "users file %s", err);
            return EXIT_FAILED;
        }
        relay_log(LOG_NORMAL, "%d users listed from %s", n, o.users_file);
    }

    // The learned directory is back before the first datagram is read.
    if (o.state_file == nullptr) {
        if (!state_default_path(state_path, sizeof state_path, err, sizeof err)) {
            relay_log(LOG_QUIET, "%s; the learned nicknames are kept in memory only", err);
            state_path[0] = '\0';
        } else {
            make_folders = 1;
        }
    } else if (std::strcmp(o.state_file, "none") != 0) {
        std::snprintf(state_path, sizeof state_path, "%s", o.state_file);
    }
    return serve();
}
