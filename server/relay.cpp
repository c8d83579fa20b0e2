#include "server/relay.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

const char kRelayMark[4] = {'R', 'L', 'Y', '1'};
const char kControlMark[7] = {'K', 'T', 'O', 'P', 'E', 'R', '1'};
const char* const kDropNames[DROP_REASONS] = {
    "short", "oversized", "foreign", "wrong kind", "looped", "rate-limited", "refused control"};

RelayConfig relay_config = {RELAY_DEFAULT_LEASE_S * 1000LL,
                            RELAY_DEFAULT_RATE,
                            RELAY_DEFAULT_RATE* RELAY_BURST_FACTOR,
                            LOG_NORMAL,
                            RELAY_MAX_USERS,
                            RELAY_MAX_USERS};
RelayStats relay_stats;

static RelayUser users[RELAY_MAX_USERS];
static int user_count;
static int heads[RELAY_USER_BUCKETS]; // first user of each chain, plus one

struct Recent {
    NetAddr from;
    unsigned hash;
    long long when;
    int used;
};
static Recent recent[RELAY_RECENT_SETS][RELAY_RECENT_WAYS];
static Recent* last_remembered;

struct Source {
    NetAddr addr;
    long long when;   // last refill
    long long tokens; // thousandths of a datagram
    int used;
};
static Source sources[RELAY_SOURCE_SETS][RELAY_SOURCE_WAYS];

// The operator notice being sent: its datagram and the next user to get it.
static Datagram notice;
static int notice_len;
static int notice_next; // index into users; -1: one target only, in notice_to
static int notice_left; // for one target: 1 until sent
static NetAddr notice_to;

static RelayDrop last_drop;
static long long logged_drops;

void relay_log(int level, const char* format, ...) {
    if (level > relay_config.log_level) return;
    char line[1400];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    std::fprintf(stderr, "keltup-server: %s\n", line);
    std::fflush(stderr);
}

// A text received from the network, fit for a log line: at most size - 1 bytes, anything outside
// printable ASCII as '?'.
static const char* printable(const char* text, int field, char* out, int size) {
    int n = 0;
    for (; n < field && n < size - 1 && text[n] != '\0'; ++n) {
        unsigned char c = static_cast<unsigned char>(text[n]);
        out[n] = (c < 0x20 || c >= 0x7F) ? '?' : static_cast<char>(c);
    }
    out[n] = '\0';
    return out;
}

void relay_reset() {
    std::memset(users, 0, sizeof users);
    user_count = 0;
    std::memset(heads, 0, sizeof heads);
    std::memset(recent, 0, sizeof recent);
    last_remembered = nullptr;
    std::memset(sources, 0, sizeof sources);
    notice_len = 0;
    notice_next = RELAY_MAX_USERS;
    notice_left = 0;
    std::memset(&relay_stats, 0, sizeof relay_stats);
    logged_drops = 0;
}

// --- the directory ----------------------------------------------------------------------------

static int upper(unsigned char c) {
    return (c >= 'a' && c <= 'z') ? c - 'a' + 'A' : c;
}

static int same_nick(const char* a, const char* b) {
    for (int i = 0; i < NICK_SIZE; ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]);
        unsigned char y = static_cast<unsigned char>(b[i]);
        if (upper(x) != upper(y)) return 0;
        if (x == 0) return 1;
    }
    return 1;
}

static unsigned nick_bucket(const char* nick) {
    unsigned h = 2166136261u;
    for (int i = 0; i < NICK_SIZE && nick[i] != '\0'; ++i) {
        h ^= static_cast<unsigned>(upper(static_cast<unsigned char>(nick[i])));
        h *= 16777619u;
    }
    return h % RELAY_USER_BUCKETS;
}

// Copies a nickname into a field, cut to 19 characters, the rest of the field zero.
static void set_nick(char* field, const char* nick) {
    std::memset(field, 0, NICK_SIZE);
    std::memcpy(field, nick, strnlen(nick, NICK_SIZE - 1));
}

static RelayUser* find_user(const char* nick) {
    for (int i = heads[nick_bucket(nick)]; i != 0; i = users[i - 1].next)
        if (same_nick(users[i - 1].nick, nick)) return &users[i - 1];
    return nullptr;
}

const RelayUser* relay_find(const char* nick) {
    return find_user(nick);
}

int relay_user_count() {
    return user_count;
}

// A nickname as a users file may list it: 1 to 19 bytes from 0x21 to 0x7E.
static int valid_nick(const char* nick) {
    int n = 0;
    for (; nick[n] != '\0'; ++n) {
        unsigned char c = static_cast<unsigned char>(nick[n]);
        if (n >= NICK_SIZE - 1 || c <= 0x20 || c >= 0x7F) return 0;
    }
    return n > 0;
}

static void unlink_user(RelayUser* u) {
    int self = static_cast<int>(u - users) + 1;
    int* link = &heads[nick_bucket(u->nick)];
    while (*link != 0 && *link != self)
        link = &users[*link - 1].next;
    if (*link == self) *link = u->next;
    u->next = 0;
}

// A slot for a new user named nick, linked into its chain: a free one, else the ordinary user
// heard from longest ago. nullptr when every user is listed.
static RelayUser* new_user(const char* nick) {
    RelayUser* u = nullptr;
    if (user_count < RELAY_MAX_USERS) {
        u = &users[user_count++];
    } else {
        for (int i = 0; i < user_count; ++i)
            if (!users[i].pinned && (u == nullptr || users[i].seen < u->seen)) u = &users[i];
        if (u == nullptr) return nullptr;
        unlink_user(u);
    }
    std::memset(u, 0, sizeof *u);
    set_nick(u->nick, nick);
    unsigned b = nick_bucket(u->nick);
    u->next = heads[b];
    heads[b] = static_cast<int>(u - users) + 1;
    return u;
}

int relay_pin(const char* nick, const NetAddr* addr) {
    if (!valid_nick(nick)) return 0;
    RelayUser* u = find_user(nick);
    if (u == nullptr) u = new_user(nick);
    if (u == nullptr) return 0;
    set_nick(u->nick, nick);
    u->addr = *addr;
    u->pinned = 1;
    return 1;
}

void relay_unpin_all() {
    for (int i = 0; i < user_count; ++i)
        users[i].pinned = 0;
}

// Records that nick sent from `from`. A new nickname is taken by its first address; a known one
// moves only when it is not listed and its holder has been silent for the lease. Returns 0 when
// the nickname is (now) at `from`, 1 when another address keeps it.
static int learn(const char* nick, const NetAddr* from, long long now) {
    if (nick[0] == '\0') return 0;
    RelayUser* u = find_user(nick);
    if (u == nullptr) {
        u = new_user(nick);
        if (u == nullptr) return 0;
        u->addr = *from;
        u->seen = now;
        return 0;
    }
    if (net_equal(&u->addr, from)) {
        u->seen = now;
        return 0;
    }
    if (u->pinned || now - u->seen < relay_config.lease_ms) return 1;
    char a[NET_ADDR_TEXT], b[NET_ADDR_TEXT], name[NICK_SIZE];
    net_format(&u->addr, a, sizeof a);
    net_format(from, b, sizeof b);
    relay_log(LOG_NORMAL, "%s moved from %s to %s", printable(u->nick, NICK_SIZE, name, NICK_SIZE),
              a, b);
    u->addr = *from;
    u->seen = now;
    return 0;
}

// --- the users file --------------------------------------------------------------------------

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
    if (!valid_nick(name)) return "nickname must be 1 to 19 visible ASCII characters";
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
    set_nick(e->nick, name);
    return nullptr;
}

int relay_users_load(const char* path, char* err, int err_size) {
    FILE* f = std::fopen(path, "r");
    if (f == nullptr) {
        fail(err, err_size, path, 0, "cannot be read");
        return -1;
    }
    int count = 0;
    int line_no = 0;
    char line[512];
    const char* why = nullptr;
    while (why == nullptr) {
        // A line is every byte up to its newline, whatever they are; at most 510 of them.
        int n = 0, c = 0, longer = 0;
        while ((c = std::getc(f)) != EOF && c != '\n') {
            if (n < static_cast<int>(sizeof line) - 2)
                line[n++] = static_cast<char>(c);
            else
                longer = 1;
        }
        if (c == EOF && n == 0) break;
        ++line_no;
        line[n] = '\0';
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
        if (count == RELAY_MAX_USERS) {
            why = "too many users";
            break;
        }
        int empty = 0;
        why = parse_entry(line, &loading[count], &empty);
        if (why != nullptr || empty) continue;
        for (int i = 0; i < count && why == nullptr; ++i)
            if (same_nick(loading[i].nick, loading[count].nick)) why = "nickname listed twice";
        if (why == nullptr) ++count;
    }
    std::fclose(f);
    if (why != nullptr) {
        fail(err, err_size, path, line_no, why);
        return -1;
    }
    relay_unpin_all();
    for (int i = 0; i < count; ++i)
        relay_pin(loading[i].nick, &loading[i].addr);
    return count;
}

// --- resends and sources -----------------------------------------------------------------------

static unsigned fnv1a(const char* data, int len) {
    unsigned h = 2166136261u;
    for (int i = 0; i < len; ++i) {
        h ^= static_cast<unsigned char>(data[i]);
        h *= 16777619u;
    }
    return h;
}

static unsigned addr_mix(const NetAddr* a) {
    unsigned h = a->ip * 2654435761u;
    return h ^ (static_cast<unsigned>(a->port) * 40503u) ^ (h >> 15);
}

static Recent* recent_set(const NetAddr* from, unsigned hash) {
    return recent[(hash ^ addr_mix(from)) % RELAY_RECENT_SETS];
}

static int fresh(const Recent* r, long long now) {
    return r->used && now >= r->when && now - r->when <= RELAY_RESEND_MS;
}

static Recent* find_recent(const NetAddr* from, unsigned hash, long long now) {
    Recent* set = recent_set(from, hash);
    for (int i = 0; i < RELAY_RECENT_WAYS; ++i)
        if (fresh(&set[i], now) && set[i].hash == hash && net_equal(&set[i].from, from))
            return &set[i];
    return nullptr;
}

static void remember(const NetAddr* from, unsigned hash, long long now) {
    Recent* set = recent_set(from, hash);
    Recent* r = &set[0];
    for (int i = 0; i < RELAY_RECENT_WAYS; ++i) {
        if (!fresh(&set[i], now)) {
            r = &set[i];
            break;
        }
        if (set[i].when < r->when) r = &set[i];
    }
    r->from = *from;
    r->hash = hash;
    r->when = now;
    r->used = 1;
    last_remembered = r;
}

// Takes one token from the source's bucket; 0 when it is empty.
static int source_allow(const NetAddr* from, long long now) {
    if (relay_config.rate <= 0) return 1;
    Source* set = sources[addr_mix(from) % RELAY_SOURCE_SETS];
    Source* s = nullptr;
    for (int i = 0; i < RELAY_SOURCE_WAYS && s == nullptr; ++i)
        if (set[i].used && net_equal(&set[i].addr, from)) s = &set[i];
    long long full = 1000LL * relay_config.burst;
    if (s == nullptr) {
        s = &set[0];
        for (int i = 0; i < RELAY_SOURCE_WAYS; ++i) {
            if (!set[i].used) {
                s = &set[i];
                break;
            }
            if (set[i].when < s->when) s = &set[i];
        }
        s->used = 1;
        s->addr = *from;
        s->when = now;
        s->tokens = full;
    }
    if (now > s->when) {
        s->tokens += (now - s->when) * relay_config.rate;
        if (s->tokens > full) s->tokens = full;
    }
    s->when = now;
    if (s->tokens < 1000) return 0;
    s->tokens -= 1000;
    return 1;
}

// --- relaying --------------------------------------------------------------------------------

static Datagram* record(RelayOut* o) {
    return reinterpret_cast<Datagram*>(o->data);
}

static void start_record(Datagram* d, char kind) {
    std::memset(d, 0, HEADER_SIZE + 1);
    std::memcpy(d->magic, "KT1", 3);
    d->kind = kind;
    std::memcpy(d->reserved, kRelayMark, sizeof kRelayMark);
}

// The receipt for msg (whose fields are clean) to `to`.
static void make_receipt(const Datagram* msg, const NetAddr* to, RelayOut* out) {
    Datagram* r = record(out);
    start_record(r, KIND_RECEIPT);
    std::memcpy(r->id, msg->id, sizeof r->id);
    std::memcpy(r->sender, msg->recipient, NICK_SIZE);
    std::memcpy(r->recipient, msg->sender, NICK_SIZE);
    out->to = *to;
    out->len = HEADER_SIZE + 1;
}

// The notice that msg's recipient is unknown, its text cut so the datagram is at most room bytes.
// Returns 0 when not even a short text fits.
static int make_unknown_notice(const Datagram* msg, const NetAddr* to, int room, RelayOut* out) {
    int text_room = room - HEADER_SIZE; // with the NUL
    if (text_room < 16) return 0;
    Datagram* d = record(out);
    start_record(d, KIND_NOTICE);
    std::memcpy(d->recipient, msg->sender, NICK_SIZE);
    char text[BODY_SIZE];
    if (msg->recipient[0] == '\0')
        std::snprintf(text, sizeof text, "A message without a recipient cannot be delivered.");
    else
        std::snprintf(text, sizeof text, "Nobody called %s is known to the server.",
                      msg->recipient);
    int n = static_cast<int>(std::strlen(text));
    if (n > text_room - 1) n = text_room - 1;
    std::memcpy(d->body, text, static_cast<size_t>(n));
    d->body[n] = '\0';
    out->to = *to;
    out->len = HEADER_SIZE + n + 1;
    return 1;
}

static RelayOutcome drop(RelayDrop why) {
    last_drop = why;
    ++relay_stats.dropped[why];
    return RELAY_DROPPED;
}

RelayDrop relay_last_drop() {
    return last_drop;
}

static int is_loopback(const NetAddr* a) {
    return (a->ip >> 24) == 127;
}

int relay_control_request(Datagram* d, const char* nick_or_null, const char* text, unsigned id) {
    std::memset(d, 0, sizeof *d);
    std::memcpy(d->magic, "KT1", 3);
    d->kind = KIND_CONTROL;
    d->id[0] = static_cast<unsigned char>(id & 0xFF);
    d->id[1] = static_cast<unsigned char>((id >> 8) & 0xFF);
    std::memcpy(d->reserved, kControlMark, sizeof kControlMark);
    d->reserved[CONTROL_SCOPE_AT] = nick_or_null != nullptr ? CONTROL_ONE : CONTROL_ALL;
    if (nick_or_null != nullptr) set_nick(d->recipient, nick_or_null);
    std::snprintf(d->body, BODY_SIZE, "%s", text);
    return HEADER_SIZE + static_cast<int>(std::strlen(d->body)) + 1;
}

static void control_answer(const Datagram* req, const NetAddr* to, int reached, const char* text,
                           RelayOut* out) {
    Datagram* a = record(out);
    start_record(a, KIND_CONTROL);
    std::memcpy(a->id, req->id, sizeof a->id);
    a->reserved[CONTROL_RESULT_AT] = static_cast<char>(reached & 0xFF);
    a->reserved[CONTROL_RESULT_AT + 1] = static_cast<char>((reached >> 8) & 0xFF);
    std::snprintf(a->body, BODY_SIZE, "%s", text);
    out->to = *to;
    out->len = HEADER_SIZE + static_cast<int>(std::strlen(a->body)) + 1;
}

static RelayOutcome handle_control(const char* buf, int len, const NetAddr* from, long long now,
                                   RelayOut out[2], int* out_count) {
    char where[NET_ADDR_TEXT];
    if (!is_loopback(from)) {
        net_format(from, where, sizeof where);
        relay_log(LOG_NORMAL, "control datagram from %s refused: not from this machine", where);
        return drop(DROP_CONTROL);
    }
    Datagram* req = reinterpret_cast<Datagram*>(out[1].data);
    std::memset(req, 0, sizeof *req);
    std::memcpy(req, buf, static_cast<size_t>(len));
    char scope = req->reserved[CONTROL_SCOPE_AT];
    if (std::memcmp(req->reserved, kControlMark, sizeof kControlMark) != 0 ||
        (scope != CONTROL_ONE && scope != CONTROL_ALL))
        return drop(DROP_CONTROL);
    clean_text(req->recipient, NICK_SIZE);
    clean_text(req->body, BODY_SIZE);
    if (scope == CONTROL_ONE && req->recipient[0] == '\0') return drop(DROP_CONTROL);

    // A repeated request (its answer got lost) is answered again but sent out once.
    unsigned hash = fnv1a(buf, len);
    int again = find_recent(from, hash, now) != nullptr;
    char text[200];
    int reached = relay_operator_notice(scope == CONTROL_ONE ? req->recipient : nullptr, req->body,
                                        text, sizeof text);
    if (again) {
        notice_left = 0;
        notice_next = RELAY_MAX_USERS;
    } else {
        remember(from, hash, now);
    }
    control_answer(req, from, reached, text, &out[0]);
    *out_count = 1;
    return RELAY_CONTROL;
}

int relay_operator_notice(const char* nick_or_null, const char* text, char* line, int line_size) {
    char name[NICK_SIZE];
    int reached = 0;
    notice_left = 0;
    notice_next = RELAY_MAX_USERS;
    if (nick_or_null != nullptr) {
        const RelayUser* u = find_user(nick_or_null);
        printable(nick_or_null, NICK_SIZE, name, sizeof name);
        if (u == nullptr) {
            std::snprintf(line, static_cast<size_t>(line_size),
                          "Nobody called %s is known to the server.", name);
        } else {
            reached = 1;
            notice_to = u->addr;
            notice_left = 1;
            notice_next = -1;
            std::snprintf(line, static_cast<size_t>(line_size), "Notice sent to %s.", name);
        }
    } else {
        reached = user_count;
        notice_next = 0;
        std::snprintf(line, static_cast<size_t>(line_size), "Notice sent to %d nickname%s.",
                      reached, reached == 1 ? "" : "s");
    }
    Datagram* n = &notice;
    start_record(n, KIND_NOTICE);
    int body = static_cast<int>(strnlen(text, BODY_SIZE - 1));
    std::memcpy(n->body, text, static_cast<size_t>(body));
    n->body[body] = '\0';
    notice_len = HEADER_SIZE + body + 1;
    relay_log(LOG_NORMAL, "operator notice: %s", line);
    return reached;
}

int relay_init(char*, int) {
    relay_reset();
    return 1;
}

long long relay_table_bytes() {
    return static_cast<long long>(sizeof users + sizeof heads + sizeof recent);
}

int relay_user_slots() {
    return user_count;
}

const RelayUser* relay_user_at(int i) {
    return i >= 0 && i < user_count ? &users[i] : nullptr;
}

int relay_notice_next(RelayOut* out) {
    Datagram* d = record(out);
    if (notice_next < 0) {
        if (!notice_left) return 0;
        notice_left = 0;
        notice_next = RELAY_MAX_USERS;
        out->to = notice_to;
    } else {
        if (notice_next >= user_count) return 0;
        const RelayUser* u = &users[notice_next++];
        out->to = u->addr;
    }
    std::memcpy(d, &notice, static_cast<size_t>(notice_len));
    out->len = notice_len;
    ++relay_stats.notices;
    return 1;
}

RelayOutcome relay_handle(const char* buf, int len, const NetAddr* from, long long now,
                          RelayOut out[2], int* out_count) {
    *out_count = 0;
    if (!source_allow(from, now)) return drop(DROP_RATE);
    if (len < HEADER_SIZE) return drop(DROP_SHORT);
    if (len > RECORD_SIZE) return drop(DROP_OVERSIZED);
    if (std::memcmp(buf, "KT1", 3) != 0) return drop(DROP_FOREIGN);
    if (buf[3] == KIND_CONTROL) return handle_control(buf, len, from, now, out, out_count);
    if (buf[3] != KIND_MESSAGE) return drop(DROP_KIND);
    if (std::memcmp(buf + HEADER_SIZE - sizeof(Datagram::reserved), kRelayMark,
                    sizeof kRelayMark) == 0)
        return drop(DROP_LOOP);

    // The forwarded copy: every text field ends inside its field, the reserved field carries
    // the relay's mark and nothing else.
    Datagram* msg = record(&out[0]);
    std::memset(msg, 0, sizeof *msg);
    std::memcpy(msg, buf, static_cast<size_t>(len));
    clean_text(msg->sender, NICK_SIZE);
    clean_text(msg->recipient, NICK_SIZE);
    clean_text(msg->body, BODY_SIZE);
    std::memset(msg->reserved, 0, sizeof msg->reserved);
    std::memcpy(msg->reserved, kRelayMark, sizeof kRelayMark);

    unsigned hash = fnv1a(buf, len);
    if (find_recent(from, hash, now) != nullptr) {
        make_receipt(msg, from, &out[1]);
        out[0] = out[1];
        *out_count = 1;
        ++relay_stats.resent;
        return RELAY_RESENT;
    }
    remember(from, hash, now);

    if (learn(msg->sender, from, now)) {
        ++relay_stats.lease_refused;
        const RelayUser* holder = find_user(msg->sender);
        char a[NET_ADDR_TEXT], b[NET_ADDR_TEXT], name[NICK_SIZE];
        net_format(&holder->addr, a, sizeof a);
        net_format(from, b, sizeof b);
        relay_log(LOG_NORMAL, "%s stays at %s (%s): a message under that name from %s relayed",
                  printable(msg->sender, NICK_SIZE, name, sizeof name), a,
                  holder->pinned ? "listed" : "leased", b);
    }
    const RelayUser* to = msg->recipient[0] == '\0' ? nullptr : find_user(msg->recipient);
    if (to == nullptr) {
        // Receipt, then the notice, together within the bound on what goes back.
        make_receipt(msg, from, &out[1]);
        int room = RELAY_AMPLIFICATION * len - out[1].len;
        if (room > RECORD_SIZE) room = RECORD_SIZE;
        RelayOut receipt_first = out[1];
        *out_count = 1;
        if (make_unknown_notice(msg, from, room, &out[1])) *out_count = 2;
        out[0] = receipt_first;
        ++relay_stats.unknown;
        return RELAY_UNKNOWN;
    }
    out[0].to = to->addr;
    out[0].len = HEADER_SIZE + static_cast<int>(std::strlen(msg->body)) + 1;
    make_receipt(msg, from, &out[1]);
    *out_count = 2;
    ++relay_stats.delivered;
    return RELAY_DELIVERED;
}

long long relay_dropped_total() {
    long long total = 0;
    for (int i = 0; i < DROP_REASONS; ++i)
        total += relay_stats.dropped[i];
    return total;
}

void relay_log_drops(int final) {
    long long total = relay_dropped_total();
    if (!final && total == logged_drops) return;
    logged_drops = total;
    char line[400];
    int used = std::snprintf(line, sizeof line, "%lld dropped in all", total);
    for (int i = 0; i < DROP_REASONS; ++i)
        if (relay_stats.dropped[i] != 0 && used < static_cast<int>(sizeof line))
            used += std::snprintf(line + used, sizeof line - static_cast<size_t>(used), ", %lld %s",
                                  relay_stats.dropped[i], kDropNames[i]);
    relay_log(LOG_NORMAL, "%s", line);
}

// The verbose line for one datagram.
static void log_datagram(const NetAddr* from, int len, RelayOutcome what, const RelayOut* first) {
    if (relay_config.log_level < LOG_VERBOSE) return;
    char a[NET_ADDR_TEXT];
    net_format(from, a, sizeof a);
    if (what == RELAY_DROPPED) {
        relay_log(LOG_VERBOSE, "%s: %d bytes dropped (%s)", a, len, kDropNames[last_drop]);
        return;
    }
    if (what == RELAY_CONTROL) {
        relay_log(LOG_VERBOSE, "%s: control request", a);
        return;
    }
    // The receipt names both: its recipient is the author.
    const Datagram* d = reinterpret_cast<const Datagram*>(first->data);
    char s[NICK_SIZE], r[NICK_SIZE];
    if (d->kind == KIND_RECEIPT) {
        printable(d->recipient, NICK_SIZE, s, sizeof s);
        printable(d->sender, NICK_SIZE, r, sizeof r);
    } else {
        printable(d->sender, NICK_SIZE, s, sizeof s);
        printable(d->recipient, NICK_SIZE, r, sizeof r);
    }
    static const char* const names[] = {"", "delivered", "resend", "unknown recipient"};
    relay_log(LOG_VERBOSE, "%s: %s -> %s: %s", a, s, r, names[what]);
}

int relay_drain(int fd, long long now) {
    static char buf[RECORD_SIZE + 1];
    static RelayOut out[2];
    int count = 0;
    // A bounded batch, so that a flood cannot keep signals waiting.
    while (count < RELAY_BATCH) {
        NetAddr from;
        int len = net_recv(fd, buf, RECORD_SIZE, &from);
        if (len < 0) break;
        ++count;
        int n = 0;
        RelayOutcome what = relay_handle(buf, len, &from, now, out, &n);
        log_datagram(&from, len, what, &out[0]);
        for (int i = 0; i < n; ++i) {
            if (net_send(fd, out[i].data, out[i].len, &out[i].to) < 0) {
                // No receipt for a message that did not leave; the sender will resend.
                ++relay_stats.send_failed;
                if (what == RELAY_DELIVERED && i == 0) {
                    --relay_stats.delivered;
                    if (last_remembered != nullptr) last_remembered->used = 0;
                }
                break;
            }
        }
        if (what == RELAY_CONTROL) {
            while (relay_notice_next(&out[0]))
                if (net_send(fd, out[0].data, out[0].len, &out[0].to) < 0)
                    ++relay_stats.send_failed;
        }
    }
    return count;
}
