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
                                nullptr,
                                RELAY_DEFAULT_GROUP_SIZE,
                                RELAY_DEFAULT_GROUP_RATE,
                                RELAY_DEFAULT_GROUP_BURST,
                                RELAY_DEFAULT_DEST_RATE,
                                RELAY_DEFAULT_DEST_BURST};

static long long next_stats, next_metrics;
static char state_path[FS_PATH_SIZE];
static int make_folders; // the default place's folders are the relay's to make
static int metrics_failing;

static void usage(FILE* to) {
    std::fprintf(
        to,
        "usage: keltup-server [--port N] [--bind ADDRESS] [--users FILE] [--lease SECONDS]\n"
        "                     [--rate N] [--max-users N] [--max-users-per-address N]\n"
        "                     [--max-group-size N] [--group-rate N] [--group-burst N]\n"
        "                     [--dest-rate N] [--dest-burst N]\n"
        "                     [--control PATH] [--metrics FILE] [--state FILE|none]\n"
        "                     [--quiet | --verbose]\n"
        "       keltup-server --notice NICK|GROUP|--all TEXT [--control PATH]\n"
        "       keltup-server --status|--reload [--control PATH]\n"
        "  -p, --port N        UDP port (default 99; 0 lets the system choose)\n"
        "  -b, --bind ADDRESS  IPv4 address to listen on (default 0.0.0.0, every interface)\n"
        "  -u, --users FILE    users file, NICK = host[:port] a line, and groups,\n"
        "                      [open] group NAME = NICK NICK ...; read again on --reload\n"
        "                      (and on SIGHUP where there are signals)\n"
        "  --lease SECONDS     a nickname stays with its address while messages came from or\n"
        "                      went to it this recently (default 600)\n"
        "  --rate N            datagrams per second each source address may send, with bursts\n"
        "                      of twice as many (default 20; 0: no limit)\n"
        "  --max-users N       nicknames the directory holds (default 65536); the memory for\n"
        "                      them is taken at start\n"
        "  --max-users-per-address N\n"
        "                      learned nicknames one host address may hold (default 64)\n"
        "  --max-group-size N  members a group of the users file may have (default 1000,\n"
        "                      at most 10000)\n"
        "  --group-rate N      messages to groups per second each source host may send\n"
        "                      (default 1; 0: no limit), with bursts of --group-burst N\n"
        "                      (default 5; a host not heard from lately starts with 1)\n"
        "  --dest-rate N       group copies and operator notices per second toward any one\n"
        "                      host address (default 100; 0: no limit), with bursts of\n"
        "                      --dest-burst N (default 64)\n"
        "%s"
        "  --metrics FILE      write the counters every 15 s to FILE, Prometheus text format\n"
        "%s"
        "  -q, --quiet         log errors only\n"
        "  -v, --verbose       log one line per datagram\n"
        "  --notice NICK TEXT  have the running relay send TEXT as a notice to NICK, to the\n"
        "                      members of the group NICK, or with --all to every nickname\n"
        "                      it knows\n"
        "  --status            print the running relay's uptime, counters, directory and\n"
        "                      groups\n"
        "  --reload            have the running relay read its users file again\n"
        "%s"
        "  --version           print the program's name and version\n"
        "Exit codes: 0 done, 1 failed (or no nickname reached, no relay), 2 bad command line,\n"
        "3 not allowed to control the relay.\n",
        kServeControlHelp, kServeStateHelp, kServeOptionsHelp);
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

// The users file read again, logged and said in line; 0 when the old list is kept.
static int reload_users(char* line, int size) {
    // The state file is rewritten whole, so that it can be copied as it is now.
    state_compact_now(server_now_ms());
    const char* users_file = server_options.users_file;
    if (users_file == nullptr) {
        std::snprintf(line, static_cast<size_t>(size), "the relay has no users file (--users)");
        return 0;
    }
    char err[600];
    int n = relay_users_load(users_file, err, sizeof err);
    if (n < 0) {
        std::snprintf(line, static_cast<size_t>(size), "users file %s; keeping the old list", err);
        relay_log(LOG_QUIET, "%s", line);
        return 0;
    }
    std::snprintf(line, static_cast<size_t>(size), "%d users listed from %s", n, users_file);
    relay_log(LOG_NORMAL, "%s", line);
    return 1;
}

void server_reload() {
    char line[700];
    reload_users(line, sizeof line);
}

// After the options: the tables, the users file, then the platform's loop.
static int start_relay() {
    const ServerOptions& o = server_options;
    relay_config.lease_ms = o.lease * 1000LL;
    relay_config.rate = static_cast<int>(o.rate);
    relay_config.burst = static_cast<int>(
        o.rate > 1000000000L / RELAY_BURST_FACTOR ? o.rate : o.rate * RELAY_BURST_FACTOR);
    relay_config.max_users = static_cast<int>(o.max_users);
    relay_config.max_per_address = static_cast<int>(o.per_address);
    relay_config.max_group_size = static_cast<int>(o.max_group_size);
    relay_config.group_rate = static_cast<int>(o.group_rate);
    relay_config.group_burst = static_cast<int>(o.group_burst);
    relay_config.dest_rate = static_cast<int>(o.dest_rate);
    relay_config.dest_burst = static_cast<int>(o.dest_burst);
    char err[600];
    if (!relay_init(err, sizeof err)) {
        relay_log(LOG_QUIET, "%s", err);
        return EXIT_FAILED;
    }
    serve_starting();
    if (o.users_file != nullptr) {
        int n = relay_users_load(o.users_file, err, sizeof err);
        if (n < 0) {
            relay_log(LOG_QUIET, "users file %s", err);
            return EXIT_FAILED;
        }
        relay_log(LOG_NORMAL, "%d users listed from %s", n, o.users_file);
    }
    serve_starting();

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
    control_reload = reload_users;
    return serve();
}

int server_started(int fd, const char* control_where) {
    const ServerOptions& o = server_options;
    char err[600];
    // The first metrics file is written before the start is announced: one that can't be is a
    // failed start.
    if (o.metrics_file != nullptr &&
        !metrics_write(o.metrics_file, server_now_ms(), err, sizeof err)) {
        relay_log(LOG_QUIET, "%s", err);
        return 0;
    }
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
    return 1;
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
    int status = 0, reload = 0;
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
        } else if (is(nullptr, "--reload")) {
            reload = 1;
        } else if (serve_option(argc, argv, &i, &ok)) {
            // this platform's own
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
        } else if (is(nullptr, "--max-group-size")) {
            ok = parse_number(argv[++i], 1, RELAY_GROUP_SIZE_LIMIT, &o.max_group_size);
        } else if (is(nullptr, "--group-rate")) {
            ok = parse_number(argv[++i], 0, 1000000, &o.group_rate);
        } else if (is(nullptr, "--group-burst")) {
            ok = parse_number(argv[++i], 1, 1000000, &o.group_burst);
        } else if (is(nullptr, "--dest-rate")) {
            ok = parse_number(argv[++i], 0, 1000000, &o.dest_rate);
        } else if (is(nullptr, "--dest-burst")) {
            ok = parse_number(argv[++i], 1, 1000000, &o.dest_burst);
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

    // The operator's commands talk to the running relay over its control channel.
    if (notice_text != nullptr || notice_all || status || reload) {
        int commands = (notice_text != nullptr || notice_all) + status + reload;
        if (commands > 1 || (!status && !reload &&
                             (notice_text == nullptr || (notice_nick != nullptr && notice_all)))) {
            usage(stderr);
            return EXIT_USAGE;
        }
        if (!serve_control_path(o.control, control, sizeof control, &own_dir)) return EXIT_FAILED;
        if (status) return control_status(control);
        if (reload) return control_reload_users(control);
        return control_notice(control, notice_all ? nullptr : notice_nick, notice_text);
    }
    return serve_main(argc, argv, start_relay);
}
