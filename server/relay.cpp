#include "server/relay.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

const char kRelayMark[4] = {'R', 'L', 'Y', '1'};

RelayStats relay_stats;

static RelayUser users[RELAY_MAX_USERS];
static int user_count;

struct Recent {
    NetAddr from;
    unsigned hash;
    long long when;
    int used;
};
static Recent recent[RELAY_RECENT];
static int recent_next;

struct Notice {
    NetAddr to;
    char nick[NICK_SIZE]; // the unknown recipient
    long long due;
    int used;
};
static Notice notices[RELAY_NOTICES];

void relay_reset() {
    std::memset(users, 0, sizeof users);
    user_count = 0;
    std::memset(recent, 0, sizeof recent);
    recent_next = 0;
    std::memset(notices, 0, sizeof notices);
    std::memset(&relay_stats, 0, sizeof relay_stats);
}

static int same_nick(const char* a, const char* b) {
    for (int i = 0; i < NICK_SIZE; ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]);
        unsigned char y = static_cast<unsigned char>(b[i]);
        if (std::toupper(x) != std::toupper(y)) return 0;
        if (x == 0) return 1;
    }
    return 1;
}

// Copies a nickname into a field, cut to 19 characters, the rest of the field zero.
static void set_nick(char* field, const char* nick) {
    std::memset(field, 0, NICK_SIZE);
    std::memcpy(field, nick, strnlen(nick, NICK_SIZE - 1));
}

static RelayUser* find_user(const char* nick) {
    for (int i = 0; i < user_count; ++i)
        if (same_nick(users[i].nick, nick)) return &users[i];
    return nullptr;
}

const RelayUser* relay_find(const char* nick) {
    return find_user(nick);
}

int relay_user_count() {
    return user_count;
}

// A nickname as a client would send it: 1 to 19 bytes from 0x21 to 0x7E.
static int valid_nick(const char* nick) {
    int n = 0;
    for (; nick[n] != '\0'; ++n) {
        unsigned char c = static_cast<unsigned char>(nick[n]);
        if (n >= NICK_SIZE - 1 || c <= 0x20 || c >= 0x7F) return 0;
    }
    return n > 0;
}

// A slot for a new user: a free one, else the ordinary user heard from longest ago.
static RelayUser* new_user() {
    if (user_count < RELAY_MAX_USERS) return &users[user_count++];
    RelayUser* oldest = nullptr;
    for (int i = 0; i < user_count; ++i)
        if (!users[i].pinned && (oldest == nullptr || users[i].seen < oldest->seen))
            oldest = &users[i];
    return oldest;
}

int relay_pin(const char* nick, const NetAddr* addr) {
    if (!valid_nick(nick)) return 0;
    RelayUser* u = find_user(nick);
    if (u == nullptr) u = new_user();
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

// Any nickname a client can send is learned, spaces and control characters included.
static void learn(const char* nick, const NetAddr* from, long long now) {
    if (nick[0] == '\0') return;
    RelayUser* u = find_user(nick);
    if (u == nullptr) {
        u = new_user();
        if (u == nullptr) return;
        std::memset(u, 0, sizeof *u);
        set_nick(u->nick, nick);
        u->addr = *from;
    }
    if (!u->pinned) u->addr = *from;
    u->seen = now;
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

int relay_users_load(const char* path, char* err, int err_size) {
    FILE* f = std::fopen(path, "r");
    if (f == nullptr) {
        fail(err, err_size, path, 0, "cannot be read");
        return -1;
    }
    int count = 0;
    int line_no = 0;
    char line[512];
    int result = 0;
    while (result == 0 && std::fgets(line, sizeof line, f) != nullptr) {
        ++line_no;
        size_t n = std::strlen(line);
        if (n == sizeof line - 1 && line[n - 1] != '\n' && !std::feof(f)) {
            fail(err, err_size, path, line_no, "line too long");
            result = -1;
            break;
        }
        char* hash = std::strchr(line, '#');
        if (hash != nullptr) *hash = '\0';
        char nick[64], host[256], port_text[16], extra[2];
        int fields = std::sscanf(line, "%63s %255s %15s %1s", nick, host, port_text, extra);
        if (fields <= 0) continue;
        if (fields != 3) {
            fail(err, err_size, path, line_no, "expected NICK ADDRESS PORT");
            result = -1;
            break;
        }
        if (!valid_nick(nick)) {
            fail(err, err_size, path, line_no, "nickname must be 1 to 19 visible ASCII characters");
            result = -1;
            break;
        }
        char* end = nullptr;
        long port = std::strtol(port_text, &end, 10);
        if (*end != '\0' || port < 1 || port > 65535) {
            fail(err, err_size, path, line_no, "port must be 1 to 65535");
            result = -1;
            break;
        }
        for (int i = 0; i < count; ++i)
            if (same_nick(loading[i].nick, nick)) {
                fail(err, err_size, path, line_no, "nickname listed twice");
                result = -1;
            }
        if (result != 0) break;
        if (count == RELAY_MAX_USERS) {
            fail(err, err_size, path, line_no, "too many users");
            result = -1;
            break;
        }
        UsersEntry* e = &loading[count];
        if (!net_resolve(host, static_cast<int>(port), &e->addr)) {
            fail(err, err_size, path, line_no, "address not found");
            result = -1;
            break;
        }
        set_nick(e->nick, nick);
        ++count;
    }
    std::fclose(f);
    if (result != 0) return -1;

    relay_unpin_all();
    for (int i = 0; i < count; ++i)
        relay_pin(loading[i].nick, &loading[i].addr);
    return count;
}

// --- relaying --------------------------------------------------------------------------------

static unsigned fnv1a(const char* data, int len) {
    unsigned h = 2166136261u;
    for (int i = 0; i < len; ++i) {
        h ^= static_cast<unsigned char>(data[i]);
        h *= 16777619u;
    }
    return h;
}

static Recent* find_recent(const NetAddr* from, unsigned hash, long long now) {
    for (int i = 0; i < RELAY_RECENT; ++i) {
        Recent* r = &recent[i];
        if (r->used && r->hash == hash && net_equal(&r->from, from) &&
            now - r->when <= RELAY_RESEND_MS && now >= r->when)
            return r;
    }
    return nullptr;
}

static void remember(const NetAddr* from, unsigned hash, long long now) {
    Recent* r = &recent[recent_next];
    recent_next = (recent_next + 1) % RELAY_RECENT;
    r->from = *from;
    r->hash = hash;
    r->when = now;
    r->used = 1;
}

static void forget_last() {
    recent_next = (recent_next + RELAY_RECENT - 1) % RELAY_RECENT;
    recent[recent_next].used = 0;
}

static void make_receipt(const Datagram* msg, const NetAddr* to, RelayOut* out) {
    // msg may live in out itself: take what the receipt needs before clearing it.
    unsigned char id[2] = {msg->id[0], msg->id[1]};
    char author[NICK_SIZE], addressee[NICK_SIZE];
    std::memcpy(author, msg->sender, NICK_SIZE);
    std::memcpy(addressee, msg->recipient, NICK_SIZE);
    Datagram* r = reinterpret_cast<Datagram*>(out->data);
    std::memset(r, 0, sizeof *r);
    std::memcpy(r->magic, "KT1", 3);
    r->kind = KIND_RECEIPT;
    std::memcpy(r->id, id, sizeof r->id);
    std::memcpy(r->sender, addressee, NICK_SIZE);
    std::memcpy(r->recipient, author, NICK_SIZE);
    std::memcpy(r->reserved, kRelayMark, sizeof kRelayMark);
    out->to = *to;
    out->len = HEADER_SIZE + 1;
}

// Each try of the same sender for the same nickname moves its notice later; when the table is
// full the notice due first is given up.
static void plan_notice(const NetAddr* to, const char* nick, long long now) {
    Notice* slot = nullptr;
    for (int i = 0; i < RELAY_NOTICES && slot == nullptr; ++i)
        if (notices[i].used && net_equal(&notices[i].to, to) && same_nick(notices[i].nick, nick))
            slot = &notices[i];
    for (int i = 0; i < RELAY_NOTICES && slot == nullptr; ++i)
        if (!notices[i].used) slot = &notices[i];
    if (slot == nullptr) {
        slot = &notices[0];
        for (int i = 1; i < RELAY_NOTICES; ++i)
            if (notices[i].due < slot->due) slot = &notices[i];
    }
    slot->used = 1;
    slot->to = *to;
    set_nick(slot->nick, nick);
    slot->due = now + RELAY_NOTICE_DELAY_MS;
}

// A later message from the same sender that reached the nickname makes the notice untrue.
static void cancel_notice(const NetAddr* to, const char* nick) {
    for (int i = 0; i < RELAY_NOTICES; ++i)
        if (notices[i].used && net_equal(&notices[i].to, to) && same_nick(notices[i].nick, nick))
            notices[i].used = 0;
}

int relay_due_notice(long long now, RelayOut* out) {
    for (int i = 0; i < RELAY_NOTICES; ++i) {
        Notice* n = &notices[i];
        if (!n->used || n->due > now) continue;
        n->used = 0;
        Datagram* d = reinterpret_cast<Datagram*>(out->data);
        std::memset(d, 0, sizeof *d);
        std::memcpy(d->magic, "KT1", 3);
        d->kind = KIND_NOTICE;
        std::memcpy(d->reserved, kRelayMark, sizeof kRelayMark);
        if (n->nick[0] == '\0')
            std::snprintf(d->body, BODY_SIZE, "A message without a recipient was not delivered.");
        else
            std::snprintf(d->body, BODY_SIZE,
                          "Nobody called %s is known to the server: the message was not "
                          "delivered.",
                          n->nick);
        out->to = n->to;
        out->len = HEADER_SIZE + static_cast<int>(std::strlen(d->body)) + 1;
        ++relay_stats.notices;
        return 1;
    }
    return 0;
}

int relay_next_notice(long long now) {
    long long next = -1;
    for (int i = 0; i < RELAY_NOTICES; ++i)
        if (notices[i].used && (next < 0 || notices[i].due < next)) next = notices[i].due;
    if (next < 0) return -1;
    if (next <= now) return 0;
    long long wait = next - now;
    return wait > RELAY_NOTICE_DELAY_MS ? RELAY_NOTICE_DELAY_MS : static_cast<int>(wait);
}

RelayOutcome relay_handle(const char* buf, int len, const NetAddr* from, long long now,
                          RelayOut out[2], int* out_count) {
    *out_count = 0;
    if (len < HEADER_SIZE || len > RECORD_SIZE || std::memcmp(buf, "KT1", 3) != 0 ||
        buf[3] != KIND_MESSAGE ||
        std::memcmp(buf + HEADER_SIZE - sizeof(Datagram::reserved), kRelayMark,
                    sizeof kRelayMark) == 0) {
        ++relay_stats.ignored;
        return RELAY_IGNORED;
    }

    // The forwarded copy: every text field ends inside its field, the reserved field carries
    // the relay's mark and nothing else.
    Datagram* msg = reinterpret_cast<Datagram*>(out[0].data);
    std::memset(msg, 0, sizeof *msg);
    std::memcpy(msg, buf, static_cast<size_t>(len));
    clean_text(msg->sender, NICK_SIZE);
    clean_text(msg->recipient, NICK_SIZE);
    clean_text(msg->body, BODY_SIZE);
    std::memset(msg->reserved, 0, sizeof msg->reserved);
    std::memcpy(msg->reserved, kRelayMark, sizeof kRelayMark);

    unsigned hash = fnv1a(buf, len);
    if (find_recent(from, hash, now) != nullptr) {
        make_receipt(msg, from, &out[0]);
        *out_count = 1;
        ++relay_stats.resent;
        return RELAY_RESENT;
    }

    learn(msg->sender, from, now);
    const RelayUser* to = find_user(msg->recipient);
    if (to == nullptr || msg->recipient[0] == '\0') {
        ++relay_stats.unknown;
        plan_notice(from, msg->recipient, now);
        return RELAY_UNKNOWN;
    }
    out[0].to = to->addr;
    out[0].len = HEADER_SIZE + static_cast<int>(std::strlen(msg->body)) + 1;
    make_receipt(msg, from, &out[1]);
    *out_count = 2;
    cancel_notice(from, msg->recipient);
    remember(from, hash, now);
    ++relay_stats.delivered;
    return RELAY_DELIVERED;
}

int relay_drain(int fd, long long now, int verbose) {
    static char buf[RECORD_SIZE + 1];
    static RelayOut out[2];
    int count = 0;
    // A bounded batch, so that a flood cannot keep signals and due notices waiting.
    while (count < RELAY_BATCH) {
        NetAddr from;
        int len = net_recv(fd, buf, RECORD_SIZE, &from);
        if (len < 0) break;
        ++count;
        int n = 0;
        RelayOutcome what = relay_handle(buf, len, &from, now, out, &n);
        for (int i = 0; i < n; ++i) {
            if (net_send(fd, out[i].data, out[i].len, &out[i].to) < 0) {
                // No receipt for a message that did not leave; the sender will resend.
                ++relay_stats.send_failed;
                if (what == RELAY_DELIVERED && i == 0) {
                    --relay_stats.delivered;
                    forget_last();
                }
                break;
            }
        }
        if (verbose) {
            char a[NET_ADDR_TEXT];
            net_format(&from, a, sizeof a);
            const Datagram* d = reinterpret_cast<const Datagram*>(out[0].data);
            static const char* const names[] = {"", "delivered", "resend", "unknown recipient",
                                                "ignored"};
            if (what == RELAY_IGNORED)
                std::fprintf(stderr, "%s: %d bytes ignored\n", a, len);
            else
                std::fprintf(stderr, "%s: %s -> %s: %s\n", a,
                             d->kind == KIND_RECEIPT ? d->recipient : d->sender,
                             d->kind == KIND_RECEIPT ? d->sender : d->recipient, names[what]);
        }
    }
    while (relay_due_notice(now, &out[0])) {
        if (net_send(fd, out[0].data, out[0].len, &out[0].to) < 0) ++relay_stats.send_failed;
        if (verbose) {
            char a[NET_ADDR_TEXT];
            net_format(&out[0].to, a, sizeof a);
            std::fprintf(stderr, "%s: notice: %s\n", a,
                         reinterpret_cast<Datagram*>(out[0].data)->body);
        }
    }
    return count;
}
