// The operator's channel on Unix: a Unix-domain stream socket beside the relay, served without
// waiting so that a slow operator never holds up the relay; the metrics file; and the
// operator's side of the socket.
#include "server/control.h"

#include "server/relay.h"
#include "server/state_fs.h"

#include <cerrno>
#include <cstddef>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#ifndef SO_PEERGROUPS
#define SO_PEERGROUPS 59
#endif

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

struct Connection {
    int fd; // -1: a free slot
    long long deadline;
    int allowed;
    char why[200]; // the refusal line
    int in_len;
    int writing; // the request is read; the answer goes out
    char in[CONTROL_REQUEST_SIZE + 1];
    ControlAnswer answer;
};

static int listen_fd = -1;
static char listen_path[sizeof(sockaddr_un::sun_path)];
static ino_t listen_ino;
static dev_t listen_dev;
static gid_t listen_gid;
static Connection conns[CONTROL_CLIENTS];
static int polled[1 + CONTROL_CLIENTS]; // what each polled entry is: -1 the socket, else a slot

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
                control_fail(err, err_size, "control socket %s: cannot make the folder %s: %s",
                             path, dir, std::strerror(errno));
                return 0;
            }
        }
    }
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        control_fail(err, err_size, "control socket %s: %s", path, std::strerror(errno));
        return 0;
    }
    struct stat st;
    if (lstat(path, &st) == 0) {
        // Something is there already: a socket no relay answers on is left over and replaced.
        if (!S_ISSOCK(st.st_mode)) {
            control_fail(err, err_size,
                         "control socket %s: a file that is not a socket is in the way", path);
            close(fd);
            return 0;
        }
        int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int live = probe >= 0 && connect(probe, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        int why = errno;
        if (probe >= 0) close(probe);
        if (live || (why != ECONNREFUSED && why != ENOENT)) {
            control_fail(err, err_size, "control socket %s: %s", path,
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
        control_fail(err, err_size, "control socket %s: cannot make it: %s", path,
                     std::strerror(why));
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
        // An answer still to come (a reload) is looked at after every wait instead.
        fds[n].events = c.answer.reload != 0 ? 0 : c.writing ? POLLOUT : POLLIN;
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
        c->writing = 1;
        control_answer(c->in, c->in_len, c->allowed, c->why, &c->answer, udp_fd, now);
        return 1;
    }
}

// Sends what it can; returns 0 when the connection is done or broken.
static int write_answer(Connection* c, long long now) {
    ControlAnswer* a = &c->answer;
    for (;;) {
        int more = a->sent == a->len ? control_answer_more(a, now) : 1;
        if (more == 0) return 0;
        if (more < 0) { // the relay's own work, not the peer's: no deadline meanwhile
            c->deadline = now + CONTROL_IDLE_MS;
            return 1;
        }
        ssize_t n = send(c->fd, a->out + a->sent, static_cast<size_t>(a->len - a->sent),
                         MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n < 0) return errno == EAGAIN || errno == EINTR;
        a->sent += static_cast<int>(n);
        c->deadline = now + CONTROL_IDLE_MS;
    }
}

static void accept_connections(long long now) {
    for (Connection& c : conns) {
        if (c.fd >= 0) continue;
        int fd = accept4(listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;
        std::memset(&c, 0, offsetof(Connection, in));
        c.answer.len = c.answer.sent = 0;
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
    for (Connection& c : conns)
        if (c.fd >= 0 && c.writing && c.answer.reload != 0 && !write_answer(&c, now))
            drop_connection(&c);
    for (Connection& c : conns) {
        if (c.fd >= 0 && now >= c.deadline) {
            relay_log(LOG_NORMAL, "control connection closed: no progress for %d s",
                      CONTROL_IDLE_MS / 1000);
            drop_connection(&c);
        }
    }
}

// --- metrics ---------------------------------------------------------------------------------

// --- the operator's side ---------------------------------------------------------------------

// Sends request to the relay at path and reads the whole answer into *reply. Returns -1 when it
// was had, else the exit code, the reason printed.
int control_ask(const char* path, const std::string& request, std::string* reply) {
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
    return control_reply_code(path, *reply);
}
