// The users file: the nicknames an operator lists at fixed addresses and its groups (groups.cpp),
// read at start and again on request, all or nothing.
#include "server/relay_internal.h"
#include "server/thread.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

struct UsersEntry {
    char nick[NICK_SIZE];
    NetAddr addr;
    int line;
};
static UsersEntry loading[RELAY_MAX_USERS];
static int by_name[RELAY_MAX_USERS]; // loading's entries sorted by nickname, then line
// loading's nicknames by hash, open addressing: entry + 1 (0: free).
enum { LISTED_SLOTS = 2 * RELAY_MAX_USERS };
static int listed[LISTED_SLOTS];

static void fail(char* err, int size, const char* path, int line, const char* why) {
    if (err != nullptr && size > 0)
        std::snprintf(err, static_cast<size_t>(size), "%s:%d: %s", path, line, why);
}

// The text between begin and end without the spaces and tabs around it, in place.
static char* trim(char* begin, char* end) {
    while (begin < end && (*begin == ' ' || *begin == '\t'))
        ++begin;
    while (end > begin && (end[-1] == ' ' || end[-1] == '\t' || end[-1] == '\r' || end[-1] == '\n'))
        --end;
    *end = '\0';
    return begin;
}

// One line of a users file, without its comment: "" for nothing, else the entry or a reason.
static const char* parse_entry(char* line, UsersEntry* e, int* empty) {
    char* end = line + std::strlen(line);
    *empty = 0;
    if (*trim(line, end) == '\0') {
        *empty = 1;
        return nullptr;
    }
    char* eq = std::strchr(line, '=');
    if (eq == nullptr) return "expected NICK = host[:port]";
    char* name = trim(line, eq);
    char* where = trim(eq + 1, end);
    if (!directory_valid_nick(name)) return "nickname must be 1 to 19 visible ASCII characters";
    long port = RELAY_DEFAULT_PORT;
    char* colon = std::strrchr(where, ':');
    if (colon != nullptr) {
        *colon = '\0';
        char* stop = nullptr;
        port = std::strtol(colon + 1, &stop, 10);
        if (colon[1] == '\0' || *stop != '\0' || port < 1 || port > 65535)
            return "port must be 1 to 65535";
    }
    if (*where == '\0' || std::strpbrk(where, " \t") != nullptr) return "expected one host";
    if (!net_resolve(where, static_cast<int>(port), &e->addr)) return "address not found";
    directory_set_nick(e->nick, name);
    return nullptr;
}

static int upper(unsigned char c) {
    return c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c;
}

static bool name_before(int a, int b) {
    const char* x = loading[a].nick;
    const char* y = loading[b].nick;
    for (int i = 0; i < NICK_SIZE; ++i) {
        int cx = upper(static_cast<unsigned char>(x[i])),
            cy = upper(static_cast<unsigned char>(y[i]));
        if (cx != cy) return cx < cy;
        if (cx == 0) break;
    }
    return loading[a].line < loading[b].line;
}

static unsigned nick_hash(const char* nick) {
    unsigned h = 2166136261u;
    for (int i = 0; i < NICK_SIZE && nick[i] != '\0'; ++i) {
        h ^= static_cast<unsigned>(upper(static_cast<unsigned char>(nick[i])));
        h *= 16777619u;
    }
    return (h ^ (h >> 16)) & (LISTED_SLOTS - 1);
}

static void index_listed(int count) {
    std::memset(listed, 0, sizeof listed);
    for (int i = 0; i < count; ++i) {
        unsigned k = nick_hash(loading[i].nick);
        while (listed[k] != 0)
            k = (k + 1) & (LISTED_SLOTS - 1);
        listed[k] = i + 1;
    }
}

static int is_listed(const char* nick) {
    for (unsigned k = nick_hash(nick); listed[k] != 0; k = (k + 1) & (LISTED_SLOTS - 1))
        if (directory_same_nick(loading[listed[k] - 1].nick, nick)) return 1;
    return 0;
}

// The first line (in the file's order) whose nickname an earlier line listed, or 0.
static int listed_twice(int count) {
    for (int i = 0; i < count; ++i)
        by_name[i] = i;
    std::sort(by_name, by_name + count, name_before);
    int first = 0;
    for (int i = 1; i < count; ++i) {
        const UsersEntry* e = &loading[by_name[i]];
        if (directory_same_nick(loading[by_name[i - 1]].nick, e->nick) &&
            (first == 0 || e->line < first))
            first = e->line;
    }
    return first;
}

// Reads and checks the file into `loading` and the groups' loading table, names resolved:
// returns the number of users, or -1 with the fault in err. Touches nothing the relay uses
// meanwhile, so it may run beside the loop.
static int read_users(const char* path, char* err, int err_size) {
    FILE* f = std::fopen(path, "rb"); // the same bytes on every system
    if (f == nullptr) {
        fail(err, err_size, path, 0, "cannot be read");
        return -1;
    }
    // Notepad starts a UTF-8 file with a byte-order mark (and ends its lines with CR LF, which
    // the trimming takes).
    unsigned char mark[3] = {0, 0, 0};
    if (std::fread(mark, 1, 3, f) != 3 || mark[0] != 0xEF || mark[1] != 0xBB || mark[2] != 0xBF)
        std::rewind(f);
    int count = 0;
    int line_no = 0;
    // A user's line has at most 510 bytes; a group's room for its largest member list.
    enum { USER_LINE = 510, GROUP_LINE = RELAY_GROUP_SIZE_LIMIT * NICK_SIZE + USER_LINE };
    static char line[GROUP_LINE + 2];
    const char* why = nullptr;
    groups_load_begin();
    while (why == nullptr) {
        // A line is every byte up to its newline, whatever they are.
        int n = 0, c = 0, longer = 0;
        while ((c = std::getc(f)) != EOF && c != '\n') {
            if (n < GROUP_LINE)
                line[n++] = static_cast<char>(c);
            else
                longer = 1;
        }
        if (c == EOF && n == 0) break;
        ++line_no;
        line[n] = '\0';
        const int whole = n;
        if (longer) {
            why = "line too long";
            break;
        }
        char* hash = static_cast<char*>(std::memchr(line, '#', static_cast<size_t>(n)));
        if (hash != nullptr) {
            *hash = '\0';
            n = static_cast<int>(hash - line);
        }
        if (std::memchr(line, '\0', static_cast<size_t>(n)) != nullptr) {
            why = "a NUL byte outside a comment";
            break;
        }
        int group = 0;
        why = groups_load_line(line, line_no, &group);
        if (why != nullptr || group) continue;
        if (whole > USER_LINE) {
            why = "line too long";
            break;
        }
        int empty = 0;
        UsersEntry entry;
        why = parse_entry(line, &entry, &empty);
        if (why != nullptr || empty) continue;
        if (count == RELAY_MAX_USERS || count >= relay_config.max_users) {
            why = "more users than the directory holds (--max-users)";
            break;
        }
        entry.line = line_no;
        loading[count++] = entry;
    }
    std::fclose(f);
    // Every line before a fault was read: one listed twice among them comes before it.
    if (int twice = listed_twice(count)) {
        why = "nickname listed twice";
        line_no = twice;
    }
    for (int i = 0; i < count && why == nullptr; ++i)
        if (int at = groups_load_named(loading[i].nick)) {
            why = "a group named like a listed user";
            line_no = at;
        }
    if (why == nullptr) why = groups_load_check(&line_no);
    if (why != nullptr) {
        fail(err, err_size, path, line_no, why);
        return -1;
    }
    index_listed(count);
    return count;
}

// The users read take the place of the listed ones, up to `part` slots and entries at a call:
// first the listed users the file leaves out become learned ones, then its entries are listed,
// then its groups come into force. Returns count when done, else RELAY_USERS_LISTING.
static int committing, commit_slot, commit_entry;
static int commit_users(int count, int part) {
    if (!committing) {
        committing = 1;
        commit_slot = commit_entry = 0;
    }
    // The slots the listing itself adds hold listed users: they are passed over.
    while (part > 0 && (commit_slot < relay_user_slots() || commit_entry < count)) {
        for (; part > 0 && commit_slot < relay_user_slots(); --part, ++commit_slot) {
            const RelayUser* u = relay_user_at(commit_slot);
            if (u->pinned && !is_listed(u->nick)) relay_unpin_at(commit_slot);
        }
        for (; part > 0 && commit_entry < count; --part, ++commit_entry)
            relay_pin(loading[commit_entry].nick, &loading[commit_entry].addr);
    }
    if (commit_entry < count || commit_slot < relay_user_slots()) return RELAY_USERS_LISTING;
    committing = 0;
    groups_load_commit();
    return count;
}

int relay_users_load(const char* path, char* err, int err_size) {
    int n = read_users(path, err, err_size);
    committing = 0;
    return n < 0 ? n : commit_users(n, INT_MAX);
}

// --- beside the loop ---

enum {
    PATH_SIZE = 4200,
    COMMIT_PART = 2048, // slots and entries listed at a call: a few hundred microseconds
};
static char load_path[PATH_SIZE];
static long long loader = THREAD_NONE;
static int load_started;
// Under thread_lock():
static int load_done, load_count;
static char load_err[600];

static void load_run() {
    static char err[sizeof load_err];
    int n = read_users(load_path, err, sizeof err);
    thread_lock();
    load_count = n;
    std::snprintf(load_err, sizeof load_err, "%s", err);
    load_done = 1;
    thread_unlock();
}

// A part of the listing; the reading is over when it is done.
static int finish_listing() {
    int n = commit_users(load_count, COMMIT_PART);
    if (n != RELAY_USERS_LISTING) load_started = 0;
    return n;
}

int relay_users_load_start(const char* path) {
    if (load_started) return 0;
    std::snprintf(load_path, sizeof load_path, "%s", path);
    load_started = 1;
    load_done = 0;
    loader = thread_start(load_run);
    if (loader == THREAD_NONE) load_run(); // no thread to be had: here, then
    return 1;
}

int relay_users_load_finish(char* err, int err_size) {
    if (!load_started) return RELAY_USERS_READING;
    if (committing) return finish_listing();
    thread_lock();
    int done = load_done, n = load_count;
    if (done) std::snprintf(err, static_cast<size_t>(err_size), "%s", load_err);
    thread_unlock();
    if (!done) return RELAY_USERS_READING;
    thread_join(loader);
    loader = THREAD_NONE;
    if (n < 0) {
        load_started = 0;
        return n;
    }
    return finish_listing();
}
