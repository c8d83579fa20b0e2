#include "server/control.h"

#include "server/relay.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <string>
#include <strings.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>
#include <vector>

#ifndef SO_PEERGROUPS
#define SO_PEERGROUPS 59
#endif

// --- what the relay reports ------------------------------------------------------------------

struct CounterInfo {
    const char* label;  // in the status
    const char* metric; // keltup_METRIC_total
    const char* help;
    long long RelayStats::*field;
};

static const CounterInfo kCounters[] = {
    {"delivered", "delivered", "Messages forwarded to their recipient.", &RelayStats::delivered},
    {"resends", "resends", "Resends answered with a receipt and not delivered again.",
     &RelayStats::resent},
    {"unknown recipients", "unknown_recipients", "Messages to a nickname the relay does not know.",
     &RelayStats::unknown},
    {"lease refused", "lease_refused",
     "Messages under a nickname another address holds, the nickname kept.",
     &RelayStats::lease_refused},
    {"notices", "notices", "Operator notices sent.", &RelayStats::notices},
    {"directory full", "directory_full",
     "New nicknames not learned because every directory slot was live.",
     &RelayStats::directory_full},
    {"resend memory full", "resend_memory_full",
     "Messages delivered without being remembered, the resend memory full of young entries.",
     &RelayStats::resend_memory_full},
    {"impersonation refused", "impersonation_refused",
     "Messages not relayed: their sender nickname is held by another host.",
     &RelayStats::impersonation_refused},
    {"send failed", "send_failed", "Datagrams the relay could not send.", &RelayStats::send_failed},
};

// A drop reason as a label value: "wrong kind" -> "wrong_kind".
static void reason_label(const char* name, char* out, int size) {
    int i = 0;
    for (; name[i] != '\0' && i < size - 1; ++i)
        out[i] = (name[i] == ' ' || name[i] == '-') ? '_' : name[i];
    out[i] = '\0';
}

static long long started_ms;

void control_set_start(long long now) {
    started_ms = now;
}

static long long uptime_s(long long now) {
    return (now - started_ms) / 1000;
}

static int pinned_count() {
    int pinned = 0;
    for (int i = 0; i < relay_user_slots(); ++i) {
        const RelayUser* u = relay_user_at(i);
        if (u != nullptr && u->pinned) ++pinned;
    }
    return pinned;
}

// A nickname safe for a tab-separated line: control bytes as '?'.
static void safe_nick(const char* nick, char* out) {
    int i = 0;
    for (; i < NICK_SIZE - 1 && nick[i] != '\0'; ++i) {
        unsigned char c = static_cast<unsigned char>(nick[i]);
        out[i] = c < 0x20 || c >= 0x7F ? '?' : nick[i];
    }
    out[i] = '\0';
}

// --- default place ---------------------------------------------------------------------------

int control_default_path(char* out, int size, int* own_dir, char* err, int err_size) {
    *own_dir = 0;
    const char* runtime = std::getenv("RUNTIME_DIRECTORY");
    const char* xdg = std::getenv("XDG_RUNTIME_DIR");
    int n;
    if (runtime != nullptr && runtime[0] != '\0') {
        // Several folders are separated by colons; the first is the relay's.
        int first = static_cast<int>(std::strcspn(runtime, ":"));
        n = std::snprintf(out, static_cast<size_t>(size), "%.*s/control", first, runtime);
    } else if (geteuid() == 0) {
        n = std::snprintf(out, static_cast<size_t>(size), "/run/keltup-server/control");
        *own_dir = 1;
    } else if (xdg != nullptr && xdg[0] != '\0') {
        n = std::snprintf(out, static_cast<size_t>(size), "%s/keltup-server.control", xdg);
    } else {
        std::snprintf(err, static_cast<size_t>(err_size),
                      "no place for the control socket: XDG_RUNTIME_DIR is not set; give "
                      "--control PATH");
        return 0;
    }
    if (n >= size) {
        std::snprintf(err, static_cast<size_t>(err_size), "the control socket's path is too long");
        return 0;
    }
    return 1;
}

static int make_address(const char* path, sockaddr_un* a, char* err, int err_size) {
    std::memset(a, 0, sizeof *a);
    a->sun_family = AF_UNIX;
    if (path[0] == '\0' || std::strlen(path) >= sizeof a->sun_path) {
        std::snprintf(err, static_cast<size_t>(err_size),
                      "control socket '%s': the path must have 1 to %d bytes", path,
                      static_cast<int>(sizeof a->sun_path) - 1);
        return 0;
    }
    std::memcpy(a->sun_path, path, std::strlen(path));
    return 1;
}

// --- the relay's side ------------------------------------------------------------------------

enum { ANSWER_SIZE = 16384, LINE_ROOM = 128 };

struct Connection {
    int fd; // -1: a free slot
    long long deadline;
    int allowed;
    char why[200]; // the refusal line
    int in_len;
    int writing; // the request is read; the answer goes out
    int out_len, out_sent;
    int walk; // the next directory slot to list, -1 when the answer has no more to add
    char in[CONTROL_REQUEST_SIZE + 1];
    char out[ANSWER_SIZE];
};

static int listen_fd = -1;
static char listen_path[sizeof(sockaddr_un::sun_path)];
static ino_t listen_ino;
static dev_t listen_dev;
static gid_t listen_gid;
static Connection conns[CONTROL_CLIENTS];
static int polled[1 + CONTROL_CLIENTS]; // what each polled entry is: -1 the socket, else a slot

static void fail(char* err, int err_size, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
static void fail(char* err, int err_size, const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(err, static_cast<size_t>(err_size), format, args);
    va_end(args);
}

int control_listen(const char* path, int make_dir, char* err, int err_size) {
    for (Connection& c : conns)
        c.fd = -1;
    sockaddr_un a;
    if (!make_address(path, &a, err, err_size)) return 0;
    if (make_dir) {
        char dir[sizeof a.sun_path];
        std::snprintf(dir, sizeof dir, "%s", path);
        char* slash = std::strrchr(dir, '/');
        if (slash != nullptr && slash != dir) {
            *slash = '\0';
            if (mkdir(dir, 0755) != 0 && errno != EEXIST) {
                fail(err, err_size, "control socket %s: cannot make the folder %s: %s", path, dir,
                     std::strerror(errno));
                return 0;
            }
        }
    }
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        fail(err, err_size, "control socket %s: %s", path, std::strerror(errno));
        return 0;
    }
    struct stat st;
    if (lstat(path, &st) == 0) {
        // Something is there already: a socket no relay answers on is left over and replaced.
        if (!S_ISSOCK(st.st_mode)) {
            fail(err, err_size, "control socket %s: a file that is not a socket is in the way",
                 path);
            close(fd);
            return 0;
        }
        int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int live = probe >= 0 && connect(probe, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        int why = errno;
        if (probe >= 0) close(probe);
        if (live || (why != ECONNREFUSED && why != ENOENT)) {
            fail(err, err_size, "control socket %s: %s", path,
                 live ? "another relay is listening on it" : std::strerror(why));
            close(fd);
            return 0;
        }
        unlink(path);
    }
    // Created with no more than its final permissions, so nobody can connect in between.
    mode_t old = umask(0177);
    int bound = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    int why = errno;
    umask(old);
    if (bound != 0 || chmod(path, CONTROL_MODE) != 0 || listen(fd, 16) != 0 ||
        lstat(path, &st) != 0) {
        if (bound == 0) {
            why = errno;
            unlink(path);
        }
        fail(err, err_size, "control socket %s: cannot make it: %s", path, std::strerror(why));
        close(fd);
        return 0;
    }
    listen_fd = fd;
    std::snprintf(listen_path, sizeof listen_path, "%s", path);
    listen_ino = st.st_ino;
    listen_dev = st.st_dev;
    listen_gid = st.st_gid;
    return 1;
}

static void drop_connection(Connection* c) {
    close(c->fd);
    c->fd = -1;
}

void control_close() {
    for (Connection& c : conns)
        if (c.fd >= 0) drop_connection(&c);
    if (listen_fd < 0) return;
    close(listen_fd);
    listen_fd = -1;
    struct stat st;
    if (lstat(listen_path, &st) == 0 && st.st_ino == listen_ino && st.st_dev == listen_dev)
        unlink(listen_path);
}

int control_poll_fds(pollfd* fds, int room) {
    int n = 0;
    int free_slot = 0;
    for (int i = 0; i < CONTROL_CLIENTS; ++i) {
        const Connection& c = conns[i];
        if (c.fd < 0) {
            free_slot = 1;
            continue;
        }
        if (n >= room) break;
        fds[n].fd = c.fd;
        fds[n].events = c.writing ? POLLOUT : POLLIN;
        fds[n].revents = 0;
        polled[n++] = i;
    }
    // A new connection only when there is a slot for it; the others wait in the backlog.
    if (listen_fd >= 0 && free_slot && n < room) {
        fds[n].fd = listen_fd;
        fds[n].events = POLLIN;
        fds[n].revents = 0;
        polled[n++] = -1;
    }
    return n;
}

long long control_next_wake() {
    long long wake = -1;
    for (const Connection& c : conns)
        if (c.fd >= 0 && (wake < 0 || c.deadline < wake)) wake = c.deadline;
    return wake;
}

// Whether the peer may control the relay: root, the relay's own user, or in the socket's group
// (as the socket is now, so a chgrp after the start counts). Fills c->why otherwise.
static void check_peer(Connection* c) {
    ucred cred;
    socklen_t len = sizeof cred;
    c->allowed = 0;
    if (getsockopt(c->fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) {
        std::snprintf(c->why, sizeof c->why,
                      "not allowed to control this relay: its credentials are unknown");
        return;
    }
    struct stat st;
    gid_t group = lstat(listen_path, &st) == 0 && st.st_ino == listen_ino ? st.st_gid : listen_gid;
    int member = cred.gid == group;
    static gid_t groups[1024];
    socklen_t glen = sizeof groups;
    if (!member && getsockopt(c->fd, SOL_SOCKET, SO_PEERGROUPS, groups, &glen) == 0)
        for (socklen_t i = 0; i < glen / sizeof groups[0]; ++i)
            if (groups[i] == group) member = 1;
    if (cred.uid == 0 || cred.uid == geteuid() || member) {
        c->allowed = 1;
        return;
    }
    std::snprintf(c->why, sizeof c->why,
                  "not allowed to control this relay: uid %u is not root, the relay's user (uid "
                  "%u) or in the control socket's group (gid %u)",
                  static_cast<unsigned>(cred.uid), static_cast<unsigned>(geteuid()),
                  static_cast<unsigned>(group));
    relay_log(LOG_NORMAL, "control request from uid %u (process %d) refused",
              static_cast<unsigned>(cred.uid), static_cast<int>(cred.pid));
}

static void answer(Connection* c, const char* format, ...) __attribute__((format(printf, 2, 3)));
static void answer(Connection* c, const char* format, ...) {
    int room = ANSWER_SIZE - c->out_len;
    if (room <= 1) return;
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(c->out + c->out_len, static_cast<size_t>(room), format, args);
    va_end(args);
    c->out_len += n < room ? n : room - 1;
}

// Adds directory lines while they fit; walk goes to -1 at the end of the directory.
static void add_users(Connection* c, long long now) {
    while (c->walk >= 0 && ANSWER_SIZE - c->out_len > LINE_ROOM) {
        if (c->walk >= relay_user_slots()) {
            c->walk = -1;
            break;
        }
        const RelayUser* u = relay_user_at(c->walk++);
        if (u == nullptr) continue;
        char nick[NICK_SIZE], where[NET_ADDR_TEXT], heard[24] = "-";
        safe_nick(u->nick, nick);
        net_format(&u->addr, where, sizeof where);
        if (u->seen > 0)
            std::snprintf(heard, sizeof heard, "%lld", (now > u->seen ? now - u->seen : 0) / 1000);
        answer(c, "user\t%s\t%s\t%s\t%s\n", nick, where, u->pinned ? "pinned" : "learned", heard);
    }
}

static void status_answer(Connection* c, long long now) {
    answer(c, "ok 0\nuptime\t%lld\nslots\t%d\t%d\n", uptime_s(now), relay_user_count(),
           relay_config.max_users);
    for (const CounterInfo& k : kCounters)
        answer(c, "counter\t%s\t%lld\n", k.label, relay_stats.*k.field);
    for (int i = 0; i < DROP_REASONS; ++i)
        answer(c, "counter\tdropped (%s)\t%lld\n", kDropNames[i], relay_stats.dropped[i]);
    c->walk = 0;
    add_users(c, now);
}

static void notice_answer(Connection* c, const char* nick, const char* text, int udp_fd) {
    char body[BODY_SIZE];
    std::memset(body, 0, sizeof body);
    std::strncpy(body, text, sizeof body - 1);
    clean_text(body, BODY_SIZE);
    char line[200];
    int reached = relay_operator_notice(nick, body, line, sizeof line);
    RelayOut out;
    while (relay_notice_next(&out))
        if (net_send(udp_fd, out.data, out.len, &out.to) < 0) ++relay_stats.send_failed;
    answer(c, "ok %d\n%s\n", reached, line);
}

// The request is in: the answer is made (its first part, for a long status).
static void handle_request(Connection* c, int udp_fd, long long now) {
    c->writing = 1;
    c->walk = -1;
    if (!c->allowed) {
        answer(c, "refused\n%s\n", c->why);
        return;
    }
    c->in[c->in_len] = '\0';
    char* arg = std::strchr(c->in, '\n');
    if (arg != nullptr) *arg++ = '\0';
    if (c->in_len > CONTROL_REQUEST_SIZE) {
        answer(c, "error\nthe request is too long\n");
    } else if (std::strcmp(c->in, "status") == 0) {
        relay_log(LOG_VERBOSE, "control: status");
        status_answer(c, now);
    } else if (std::strcmp(c->in, "notice-all") == 0 && arg != nullptr) {
        notice_answer(c, nullptr, arg, udp_fd);
    } else if (std::strcmp(c->in, "notice") == 0 && arg != nullptr &&
               std::strchr(arg, '\n') != nullptr && arg[0] != '\n') {
        char* text = std::strchr(arg, '\n');
        *text++ = '\0';
        notice_answer(c, arg, text, udp_fd);
    } else {
        answer(c, "error\nnot a request this relay knows\n");
    }
}

// Reads what has come; returns 0 when the connection is to be closed.
static int read_request(Connection* c, int udp_fd, long long now) {
    for (;;) {
        // One byte more than a request may have tells a long one.
        ssize_t n = recv(c->fd, c->in + c->in_len,
                         static_cast<size_t>(CONTROL_REQUEST_SIZE + 1 - c->in_len), MSG_DONTWAIT);
        if (n > 0) {
            c->in_len += static_cast<int>(n);
            c->deadline = now + CONTROL_IDLE_MS;
            if (c->in_len <= CONTROL_REQUEST_SIZE) continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            return 1;
        } else if (n < 0) {
            return 0;
        }
        handle_request(c, udp_fd, now);
        return 1;
    }
}

// Sends what it can; returns 0 when the connection is done or broken.
static int write_answer(Connection* c, long long now) {
    for (;;) {
        if (c->out_sent == c->out_len) {
            if (c->walk < 0) return 0;
            c->out_len = c->out_sent = 0;
            add_users(c, now);
            if (c->out_len == 0) return 0;
        }
        ssize_t n = send(c->fd, c->out + c->out_sent, static_cast<size_t>(c->out_len - c->out_sent),
                         MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n < 0) return errno == EAGAIN || errno == EINTR;
        c->out_sent += static_cast<int>(n);
        c->deadline = now + CONTROL_IDLE_MS;
    }
}

static void accept_connections(long long now) {
    for (Connection& c : conns) {
        if (c.fd >= 0) continue;
        int fd = accept4(listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;
        std::memset(&c, 0, offsetof(Connection, in));
        c.fd = fd;
        c.deadline = now + CONTROL_IDLE_MS;
        check_peer(&c);
    }
}

void control_service(const pollfd* fds, int count, int udp_fd, long long now) {
    for (int i = 0; i < count; ++i) {
        if (fds[i].revents == 0) continue;
        if (polled[i] < 0) {
            accept_connections(now);
            continue;
        }
        Connection* c = &conns[polled[i]];
        if (c->fd != fds[i].fd) continue;
        int keep = c->writing ? 1 : read_request(c, udp_fd, now);
        if (keep && c->writing) keep = write_answer(c, now);
        if (!keep) drop_connection(c);
    }
    for (Connection& c : conns) {
        if (c.fd >= 0 && now >= c.deadline) {
            relay_log(LOG_NORMAL, "control connection closed: no progress for %d s",
                      CONTROL_IDLE_MS / 1000);
            drop_connection(&c);
        }
    }
}

// --- metrics ---------------------------------------------------------------------------------

static int metric(char* out, int used, int size, const char* name, const char* type,
                  const char* help, long long value) {
    if (used >= size) return used;
    return used + std::snprintf(out + used, static_cast<size_t>(size - used),
                                "# HELP keltup_%s %s\n# TYPE keltup_%s %s\nkeltup_%s %lld\n", name,
                                help, name, type, name, value);
}

int metrics_write(const char* path, long long now, char* err, int err_size) {
    static char text[8192];
    int size = static_cast<int>(sizeof text);
    int used = 0;
    used = metric(text, used, size, "uptime_seconds", "gauge", "Seconds since the relay started.",
                  uptime_s(now));
    used = metric(text, used, size, "users", "gauge", "Nicknames the relay knows.",
                  relay_user_count());
    used = metric(text, used, size, "users_pinned", "gauge", "Nicknames listed in the users file.",
                  pinned_count());
    used = metric(text, used, size, "directory_slots", "gauge",
                  "Nicknames the relay can know at once.", relay_config.max_users);
    char name[64];
    for (const CounterInfo& k : kCounters) {
        std::snprintf(name, sizeof name, "%s_total", k.metric);
        used = metric(text, used, size, name, "counter", k.help, relay_stats.*k.field);
    }
    if (used < size)
        used += std::snprintf(text + used, static_cast<size_t>(size - used),
                              "# HELP keltup_dropped_total Datagrams dropped, by reason.\n"
                              "# TYPE keltup_dropped_total counter\n");
    for (int i = 0; i < DROP_REASONS && used < size; ++i) {
        reason_label(kDropNames[i], name, sizeof name);
        used += std::snprintf(text + used, static_cast<size_t>(size - used),
                              "keltup_dropped_total{reason=\"%s\"} %lld\n", name,
                              relay_stats.dropped[i]);
    }
    if (used >= size) used = size - 1;

    static char tmp[4200];
    if (std::snprintf(tmp, sizeof tmp, "%s.tmp", path) >= static_cast<int>(sizeof tmp)) {
        fail(err, err_size, "metrics file %s: the path is too long", path);
        return 0;
    }
    int fd = open(tmp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        fail(err, err_size, "metrics file %s: cannot write %s: %s", path, tmp,
             std::strerror(errno));
        return 0;
    }
    // Readable by the collector whatever the umask.
    int ok = fchmod(fd, 0644) == 0 && write(fd, text, static_cast<size_t>(used)) == used;
    int why = errno;
    if (close(fd) != 0 && ok) {
        ok = 0;
        why = errno;
    }
    if (ok && rename(tmp, path) != 0) {
        ok = 0;
        why = errno;
    }
    if (!ok) {
        unlink(tmp);
        fail(err, err_size, "metrics file %s: cannot write it: %s", path, std::strerror(why));
    }
    return ok;
}

// --- the operator's side ---------------------------------------------------------------------

// Sends request to the relay at path and reads the whole answer into *reply. Returns -1 when it
// was had, else the exit code, the reason printed.
static int ask(const char* path, const std::string& request, std::string* reply) {
    char err[300];
    sockaddr_un a;
    if (!make_address(path, &a, err, sizeof err)) {
        std::fprintf(stderr, "keltup-server: %s\n", err);
        return CONTROL_EXIT_NONE;
    }
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    // A relay whose backlog is full would keep connect() and send() waiting: bounded.
    timeval limit = {CONTROL_ANSWER_MS / 1000, 0};
    if (fd >= 0) setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        int why = errno;
        if (fd >= 0) close(fd);
        if (why == EACCES || why == EPERM) {
            std::fprintf(stderr, "keltup-server: not allowed to control this relay (%s: %s)\n",
                         path, std::strerror(why));
            return CONTROL_EXIT_REFUSED;
        }
        std::fprintf(stderr, "keltup-server: no relay is listening on %s (%s)\n", path,
                     std::strerror(why));
        return CONTROL_EXIT_NONE;
    }
    size_t sent = 0;
    while (sent < request.size()) {
        ssize_t n = send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += static_cast<size_t>(n);
    }
    shutdown(fd, SHUT_WR);
    reply->clear();
    char buf[4096];
    for (;;) {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, CONTROL_ANSWER_MS) != 1) {
            std::fprintf(stderr, "keltup-server: the relay on %s did not answer\n", path);
            close(fd);
            return CONTROL_EXIT_NONE;
        }
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break; // the end, or a reset after the answer
        reply->append(buf, static_cast<size_t>(n));
    }
    close(fd);
    if (reply->compare(0, 3, "ok ") == 0) return -1;
    size_t eol = reply->find('\n');
    std::string why = eol == std::string::npos ? "" : reply->substr(eol + 1);
    while (!why.empty() && why.back() == '\n')
        why.pop_back();
    if (reply->compare(0, 8, "refused\n") == 0) {
        std::fprintf(stderr, "keltup-server: %s\n", why.c_str());
        return CONTROL_EXIT_REFUSED;
    }
    std::fprintf(stderr, "keltup-server: the relay on %s: %s\n", path,
                 why.empty() ? "no answer (busy or stopping?)" : why.c_str());
    return CONTROL_EXIT_NONE;
}

int control_notice(const char* path, const char* nick_or_null, const char* text) {
    std::string request = nick_or_null != nullptr ? "notice\n" : "notice-all\n";
    if (nick_or_null != nullptr) {
        std::string nick(nick_or_null, strnlen(nick_or_null, NICK_SIZE - 1));
        request += nick.substr(0, nick.find('\n')) + "\n";
    }
    size_t length = std::strlen(text);
    if (length > BODY_SIZE - 1) {
        std::fprintf(stderr, "keltup-server: the notice is cut to %d characters\n", BODY_SIZE - 1);
        length = BODY_SIZE - 1;
    }
    request.append(text, length);
    std::string reply;
    int code = ask(path, request, &reply);
    if (code >= 0) return code;
    long reached = std::strtol(reply.c_str() + 3, nullptr, 10);
    size_t eol = reply.find('\n');
    if (eol != std::string::npos) std::fputs(reply.c_str() + eol + 1, stdout);
    return reached > 0 ? CONTROL_EXIT_OK : CONTROL_EXIT_NONE;
}

static std::vector<std::string> split(const std::string& line) {
    std::vector<std::string> fields;
    size_t start = 0;
    for (;;) {
        size_t tab = line.find('\t', start);
        fields.push_back(line.substr(start, tab - start));
        if (tab == std::string::npos) return fields;
        start = tab + 1;
    }
}

int control_status(const char* path) {
    std::string reply;
    int code = ask(path, "status\n", &reply);
    if (code >= 0) return code;
    std::vector<std::vector<std::string>> users;
    std::vector<std::string> slots = {"slots", "?", "?"};
    size_t at = reply.find('\n');
    while (at != std::string::npos && at + 1 < reply.size()) {
        size_t eol = reply.find('\n', at + 1);
        std::vector<std::string> f = split(reply.substr(at + 1, eol - at - 1));
        at = eol;
        if (f[0] == "uptime" && f.size() == 2) {
            long long s = std::atoll(f[1].c_str());
            std::printf("up %lldd %02lldh %02lldm %02llds (%lld s)\n", s / 86400, s / 3600 % 24,
                        s / 60 % 60, s % 60, s);
        } else if (f[0] == "slots" && f.size() == 3) {
            slots = f;
        } else if (f[0] == "counter" && f.size() == 3) {
            std::printf("%-28s %12s\n", f[1].c_str(), f[2].c_str());
        } else if (f[0] == "user" && f.size() == 5) {
            users.push_back(f);
        }
    }
    std::sort(users.begin(), users.end(), [](const auto& a, const auto& b) {
        int c = strcasecmp(a[1].c_str(), b[1].c_str());
        return c != 0 ? c < 0 : a[1] < b[1];
    });
    std::printf("directory: %s nicknames (room for %s)\n", slots[1].c_str(), slots[2].c_str());
    std::printf("%-19s  %-21s  %-7s  %s\n", "nickname", "address", "kind", "last heard");
    for (const auto& u : users)
        std::printf("%-19s  %-21s  %-7s  %s\n", u[1].c_str(), u[2].c_str(), u[3].c_str(),
                    u[4] == "-" ? "never" : (u[4] + " s ago").c_str());
    return CONTROL_EXIT_OK;
}
