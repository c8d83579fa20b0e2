// The users file: the nicknames an operator lists at fixed addresses and its groups (groups.cpp),
// read at start and again on request, all or nothing.
#include "server/relay_internal.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

struct UsersEntry {
    char nick[NICK_SIZE];
    NetAddr addr;
};
static UsersEntry loading[RELAY_MAX_USERS];

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

int relay_users_load(const char* path, char* err, int err_size) {
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
        for (int i = 0; i < count && why == nullptr; ++i)
            if (directory_same_nick(loading[i].nick, entry.nick)) why = "nickname listed twice";
        if (why == nullptr) loading[count++] = entry;
    }
    std::fclose(f);
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
    relay_unpin_all();
    for (int i = 0; i < count; ++i)
        relay_pin(loading[i].nick, &loading[i].addr);
    groups_load_commit();
    return count;
}
