#include "server/relay.h"

#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/mman.h>

const char kRelayMark[4] = {'R', 'L', 'Y', '1'};
const char* const kDropNames[DROP_REASONS] = {
    "short", "oversized", "foreign", "wrong kind", "looped", "rate-limited", "refused control"};

RelayConfig relay_config = {RELAY_DEFAULT_LEASE_S * 1000LL,
                            RELAY_DEFAULT_RATE,
                            RELAY_DEFAULT_RATE* RELAY_BURST_FACTOR,
                            LOG_NORMAL,
                            RELAY_MAX_USERS,
                            RELAY_DEFAULT_PER_ADDRESS};
RelayStats relay_stats;

// The directory: slots, hash chains over them by nickname, and the learned users in the order
// they were last heard (pinned users are not in that list: they are never reused).
static RelayUser* users;
static int slots; // allocated
static int user_count;
static int* heads; // first user of each chain, plus one
static unsigned head_mask;
static int oldest, newest; // ends of the list by last heard, plus one (0: empty)

// Learned nicknames per host address (IPv4 address without port): open addressing, linear
// probing, at most half full since no more hosts than slots hold a nickname.
struct HostCount {
    uint32_t ip;
    uint32_t count; // 0: a free entry
};
static HostCount* hosts;
static unsigned host_mask;

// The resend memory: a ring of records in arrival order, each a Remembered and the message's
// three texts, found through hash chains that lead from newer to older records. Positions count
// bytes since the start modulo 2^32; a position refers to a record while it lies between the
// ring's head (the oldest record) and tail.
struct Remembered {
    long long when; // LLONG_MIN: filler up to the end of the ring
    uint32_t ip;
    uint16_t port;
    uint16_t size; // of the record with its texts, a multiple of 8
    uint32_t hash;
    uint32_t next; // the next older record in its chain
    unsigned char state, sender_len, recipient_len, id0, id1, spare;
    uint16_t body_len;
};
static_assert(sizeof(Remembered) == 32, "Remembered is laid out without padding");
enum : uint32_t { NO_RECORD = 0xFFFFFFFFu }; // never a record's position: those are multiples of 8
enum { FORGOTTEN = 0, HANDLED = 1, REFUSED = 2 };
static unsigned char* ring;
static uint32_t ring_mask; // its size, a power of two, less one
static uint32_t ring_head, ring_tail;
static uint32_t* chains; // newest record of each chain
static uint32_t chain_mask;
static uint32_t last_remembered; // the record relay_handle made for its datagram, or NO_RECORD

// One batch of the drain: what came in, what was made of it, what goes out.
static char batch_in[NET_BATCH][RECORD_SIZE + 1];
static NetMsg batch_rx[NET_BATCH];
static RelayOut batch_out[NET_BATCH][2];
static NetMsg batch_tx[2 * NET_BATCH];
static int batch_of[2 * NET_BATCH];
static RelayOutcome batch_what[NET_BATCH];
static uint32_t batch_kept[NET_BATCH];

static long long table_bytes, directory_bytes, resend_bytes;
static int sized_for; // relay_config.max_users the tables were made for

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
static int notice_left; // 1 while notices are to be sent
static NetAddr notice_to;

static RelayDrop last_drop;
static long long logged_drops;
static long long full_logged, crowded_logged; // when the last such line was logged

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

// --- the tables ------------------------------------------------------------------------------

static unsigned power_of_two_at_least(unsigned long long n) {
    unsigned p = 1;
    while (p < n)
        p <<= 1;
    return p;
}

// A zeroed table, resident from now on rather than on first use, so the relay's size is known
// from its start. Large ones in huge pages where the system has them: the lookups land anywhere
// in them, and with small pages nearly each would miss the address translation cache.
static void* table(size_t bytes, int* failed) {
    const size_t huge = 2u << 20;
    void* p = nullptr;
    if (bytes >= huge) {
        size_t whole = (bytes + huge - 1) / huge * huge;
        p = std::aligned_alloc(huge, whole);
#ifdef MADV_HUGEPAGE
        if (p != nullptr) madvise(p, whole, MADV_HUGEPAGE);
#endif
    } else {
        p = std::malloc(bytes);
    }
    if (p == nullptr) {
        *failed = 1;
        return nullptr;
    }
    std::memset(p, 0, bytes);
    return p;
}

static void free_tables() {
    std::free(users);
    std::free(heads);
    std::free(hosts);
    std::free(ring);
    std::free(chains);
    users = nullptr;
    heads = nullptr;
    hosts = nullptr;
    ring = nullptr;
    chains = nullptr;
    slots = 0;
    sized_for = 0;
    table_bytes = directory_bytes = resend_bytes = 0;
}

static void clear_tables() {
    user_count = 0;
    std::memset(heads, 0, sizeof(int) * (head_mask + 1));
    oldest = newest = 0;
    std::memset(hosts, 0, sizeof(HostCount) * (host_mask + 1));
    ring_head = ring_tail = 0;
    std::memset(chains, 0xFF, sizeof(uint32_t) * (chain_mask + 1));
    last_remembered = NO_RECORD;
}

int relay_init(char* err, int err_size) {
    int n = relay_config.max_users;
    if (n < 1 || n > RELAY_MAX_USERS_LIMIT) {
        if (err != nullptr && err_size > 0)
            std::snprintf(err, static_cast<size_t>(err_size),
                          "the directory must have 1 to %d slots, not %d", RELAY_MAX_USERS_LIMIT,
                          n);
        return 0;
    }
    if (sized_for != n) {
        free_tables();
        unsigned nheads = power_of_two_at_least(static_cast<unsigned>(n));
        unsigned nhosts = power_of_two_at_least(2ULL * static_cast<unsigned>(n));
        unsigned long long resend_want =
            1ULL * static_cast<unsigned>(n) * RELAY_RESEND_BYTES_PER_USER;
        unsigned ring_size = power_of_two_at_least(resend_want < 4096 ? 4096 : resend_want);
        // About one chain in two holds a record at 200-character bodies, so that a lookup seldom
        // reads more than the record fetched ahead for it.
        unsigned nchains = ring_size / 128;
        int failed = 0;
        users = static_cast<RelayUser*>(table(sizeof(RelayUser) * static_cast<size_t>(n), &failed));
        heads = static_cast<int*>(table(sizeof(int) * nheads, &failed));
        hosts = static_cast<HostCount*>(table(sizeof(HostCount) * nhosts, &failed));
        ring = static_cast<unsigned char*>(table(ring_size, &failed));
        chains = static_cast<uint32_t*>(table(sizeof(uint32_t) * nchains, &failed));
        if (failed) {
            free_tables();
            if (err != nullptr && err_size > 0)
                std::snprintf(err, static_cast<size_t>(err_size),
                              "cannot allocate the tables for %d nicknames (%llu MiB)", n,
                              (sizeof(RelayUser) * static_cast<unsigned long long>(n) +
                               sizeof(int) * 1ULL * nheads + sizeof(HostCount) * 1ULL * nhosts +
                               ring_size + sizeof(uint32_t) * 1ULL * nchains) >>
                                  20);
            return 0;
        }
        slots = n;
        head_mask = nheads - 1;
        host_mask = nhosts - 1;
        ring_mask = ring_size - 1;
        chain_mask = nchains - 1;
        directory_bytes = static_cast<long long>(sizeof(RelayUser)) * n + 4LL * nheads;
        resend_bytes = static_cast<long long>(ring_size) + 4LL * nchains;
        table_bytes =
            directory_bytes + resend_bytes + static_cast<long long>(sizeof(HostCount)) * nhosts;
        sized_for = n;
    }
    // The drain's buffers too, so that a first burst does not add to the resident size.
    std::memset(batch_in, 0, sizeof batch_in);
    std::memset(batch_out, 0, sizeof batch_out);
    relay_reset();
    return 1;
}

long long relay_table_bytes() {
    return table_bytes;
}

long long relay_directory_bytes() {
    return directory_bytes;
}

long long relay_resend_bytes() {
    return resend_bytes;
}

void relay_reset() {
    if (sized_for != relay_config.max_users) {
        char err[200];
        if (!relay_init(err, sizeof err)) {
            relay_log(LOG_QUIET, "%s", err);
            std::abort();
        }
        return; // relay_init came back here with the tables made
    }
    clear_tables();
    std::memset(sources, 0, sizeof sources);
    notice_len = 0;
    notice_next = 0;
    notice_left = 0;
    std::memset(&relay_stats, 0, sizeof relay_stats);
    logged_drops = 0;
    full_logged = crowded_logged = LLONG_MIN / 2;
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
    return (h ^ (h >> 16)) & head_mask;
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

static int index_of(const RelayUser* u) {
    return static_cast<int>(u - users) + 1;
}

static void unlink_user(RelayUser* u) {
    int self = index_of(u);
    int* link = &heads[nick_bucket(u->nick)];
    while (*link != 0 && *link != self)
        link = &users[*link - 1].next;
    if (*link == self) *link = u->next;
    u->next = 0;
}

// The list of learned users by last heard.
static void list_remove(RelayUser* u) {
    if (u->older != 0)
        users[u->older - 1].newer = u->newer;
    else if (oldest == index_of(u))
        oldest = u->newer;
    if (u->newer != 0)
        users[u->newer - 1].older = u->older;
    else if (newest == index_of(u))
        newest = u->older;
    u->older = u->newer = 0;
}

static void list_append(RelayUser* u) {
    u->older = newest;
    u->newer = 0;
    if (newest != 0)
        users[newest - 1].newer = index_of(u);
    else
        oldest = index_of(u);
    newest = index_of(u);
}

// The nickname was heard from, or a message delivered to it.
static void heard(RelayUser* u, long long now) {
    u->seen = now;
    if (u->pinned) return;
    list_remove(u);
    list_append(u);
}

// --- learned nicknames per host --------------------------------------------------------------

static unsigned host_hash(uint32_t ip) {
    uint32_t x = ip;
    x ^= x >> 16;
    x *= 0x85EBCA6Bu;
    x ^= x >> 13;
    x *= 0xC2B2AE35u;
    x ^= x >> 16;
    return x & host_mask;
}

static HostCount* host_entry(uint32_t ip) {
    unsigned i = host_hash(ip);
    while (hosts[i].count != 0 && hosts[i].ip != ip)
        i = (i + 1) & host_mask;
    return &hosts[i];
}

static int host_count(uint32_t ip) {
    return static_cast<int>(host_entry(ip)->count);
}

static void host_add(uint32_t ip) {
    HostCount* h = host_entry(ip);
    h->ip = ip;
    ++h->count;
}

// One nickname fewer for ip; an entry that reaches zero is taken out, the ones after it in its
// run moved up so that no search stops short of them.
static void host_remove(uint32_t ip) {
    HostCount* h = host_entry(ip);
    if (h->count == 0 || --h->count != 0) return;
    unsigned hole = static_cast<unsigned>(h - hosts);
    for (unsigned j = (hole + 1) & host_mask; hosts[j].count != 0; j = (j + 1) & host_mask) {
        unsigned home = host_hash(hosts[j].ip);
        // j stays when its home lies cyclically in (hole, j].
        if (((j - home) & host_mask) < ((j - hole) & host_mask)) continue;
        hosts[hole] = hosts[j];
        hosts[j].count = 0;
        hole = j;
    }
}

// --- slots -----------------------------------------------------------------------------------

// A slot for a new user named nick, linked into its chain: a free one, else the learned user heard
// least recently, when its lease has run out or `any` is set. nullptr when there is none.
static RelayUser* new_user(const char* nick, long long now, int any) {
    RelayUser* u = nullptr;
    if (user_count < slots) {
        u = &users[user_count++];
    } else {
        if (oldest == 0) return nullptr;
        u = &users[oldest - 1];
        if (!any && now - u->seen < relay_config.lease_ms) return nullptr;
        char name[NICK_SIZE];
        relay_log(LOG_VERBOSE, "%s forgotten to make room",
                  printable(u->nick, NICK_SIZE, name, sizeof name));
        unlink_user(u);
        list_remove(u);
        host_remove(u->addr.ip);
    }
    std::memset(u, 0, sizeof *u);
    set_nick(u->nick, nick);
    unsigned b = nick_bucket(u->nick);
    u->next = heads[b];
    heads[b] = index_of(u);
    return u;
}

int relay_pin(const char* nick, const NetAddr* addr) {
    if (!valid_nick(nick)) return 0;
    RelayUser* u = find_user(nick);
    if (u == nullptr) {
        u = new_user(nick, 0, 1);
        if (u == nullptr) return 0;
    } else if (!u->pinned) {
        list_remove(u);
        host_remove(u->addr.ip);
    }
    set_nick(u->nick, nick);
    u->addr = *addr;
    u->pinned = 1;
    return 1;
}

// Listed users become learned ones at their listed address, heard as recently as they were:
// newest in the list, which errs towards keeping them.
void relay_unpin_all() {
    for (int i = 0; i < user_count; ++i) {
        RelayUser* u = &users[i];
        if (!u->pinned) continue;
        u->pinned = 0;
        list_append(u);
        host_add(u->addr.ip);
    }
}

// What learn() found.
enum { AT_SENDER = 0, HELD_BY_PORT = 1, HELD_BY_HOST = 2 };

// Records that nick sent from `from`. A new nickname is taken by its first address while that
// host holds fewer than max_per_address and a slot can be had; a known one moves only when it is
// not listed and its holder has been silent for the lease. HELD_BY_PORT: another port of the same
// host keeps it; HELD_BY_HOST: another host does.
static int learn(const char* nick, const NetAddr* from, long long now) {
    if (nick[0] == '\0') return AT_SENDER;
    RelayUser* u = find_user(nick);
    char name[NICK_SIZE], a[NET_ADDR_TEXT], b[NET_ADDR_TEXT];
    if (u != nullptr && net_equal(&u->addr, from)) {
        heard(u, now);
        return AT_SENDER;
    }
    if (u != nullptr && (u->pinned || now - u->seen < relay_config.lease_ms))
        return u->addr.ip == from->ip ? HELD_BY_PORT : HELD_BY_HOST;
    if ((u == nullptr || u->addr.ip != from->ip) &&
        host_count(from->ip) >= relay_config.max_per_address) {
        ++relay_stats.address_full;
        if (now - crowded_logged >= RELAY_WARN_MS) {
            crowded_logged = now;
            net_format(from, b, sizeof b);
            *std::strrchr(b, ':') = '\0';
            relay_log(LOG_NORMAL, "%s not learned: host %s holds %d nicknames already",
                      printable(nick, NICK_SIZE, name, sizeof name), b,
                      relay_config.max_per_address);
        }
        return AT_SENDER;
    }
    if (u == nullptr) {
        u = new_user(nick, now, 0);
        if (u == nullptr) {
            ++relay_stats.directory_full;
            if (now - full_logged >= RELAY_WARN_MS) {
                full_logged = now;
                relay_log(LOG_NORMAL,
                          "directory full: %d nicknames all heard within the lease; %s not "
                          "learned",
                          slots, printable(nick, NICK_SIZE, name, sizeof name));
            }
            return AT_SENDER;
        }
        u->addr = *from;
        host_add(from->ip);
        heard(u, now);
        return AT_SENDER;
    }
    net_format(&u->addr, a, sizeof a);
    net_format(from, b, sizeof b);
    relay_log(LOG_NORMAL, "%s moved from %s to %s", printable(u->nick, NICK_SIZE, name, NICK_SIZE),
              a, b);
    host_remove(u->addr.ip);
    host_add(from->ip);
    u->addr = *from;
    heard(u, now);
    return AT_SENDER;
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
        int empty = 0;
        UsersEntry entry;
        why = parse_entry(line, &entry, &empty);
        if (why != nullptr || empty) continue;
        if (count == RELAY_MAX_USERS || count >= relay_config.max_users) {
            why = "more users than the directory holds (--max-users)";
            break;
        }
        for (int i = 0; i < count && why == nullptr; ++i)
            if (same_nick(loading[i].nick, entry.nick)) why = "nickname listed twice";
        if (why == nullptr) loading[count++] = entry;
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

static unsigned addr_mix(const NetAddr* a) {
    unsigned h = a->ip * 2654435761u;
    return h ^ (static_cast<unsigned>(a->port) * 40503u) ^ (h >> 15);
}

// A message as the resend memory knows it: where it came from and its cleaned texts.
struct MessageKey {
    const NetAddr* from;
    const Datagram* msg; // id and the three texts, each ending inside its field
    int sender_len, recipient_len, body_len;
    uint32_t hash;
};

// clean_text() for a long field, eight bytes at a time; returns the text's length.
static int clean_long_text(char* field, int size) {
    const uint64_t ones = 0x0101010101010101ull, highs = 0x8080808080808080ull;
    int n = 0;
    for (; n + 8 <= size - 1; n += 8) {
        uint64_t w;
        std::memcpy(&w, field + n, 8);
        if (((w - ones) & ~w & highs) != 0 || (w & highs) != 0) break; // a NUL or a high byte
    }
    while (n < size - 1 && field[n] != '\0' && static_cast<unsigned char>(field[n]) < 0x80)
        ++n;
    field[n] = '\0';
    return n;
}

// Where a text field ends once cleaned (clean_text), without cleaning it.
static int clean_length(const char* field, int size) {
    int n = 0;
    while (n < size - 1 && field[n] != '\0' && static_cast<unsigned char>(field[n]) < 0x80)
        ++n;
    return n;
}

static uint64_t mix_bytes(uint64_t h, const char* p, int n) {
    for (; n >= 8; p += 8, n -= 8) {
        uint64_t w;
        std::memcpy(&w, p, 8);
        h = (h ^ w) * 0x9E3779B97F4A7C15ull;
        h ^= h >> 29;
    }
    uint64_t w = 0;
    std::memcpy(&w, p, static_cast<size_t>(n));
    h = (h ^ w ^ static_cast<uint64_t>(n) << 56) * 0x9E3779B97F4A7C15ull;
    return h ^ (h >> 32);
}

// The chain a message goes in, from its source, id and nicknames: the hash only picks a chain,
// the records on it are compared in full, body and all. It leaves the body out so that it is
// cheap to find before the message is cleaned.
static uint32_t key_hash(const NetAddr* from, const unsigned char* id, const char* sender,
                         int sender_len, const char* recipient, int recipient_len) {
    uint64_t h = (static_cast<uint64_t>(from->ip) << 32 | static_cast<uint64_t>(from->port) << 16 |
                  static_cast<uint64_t>(id[0]) << 8 | id[1]) *
                 0xFF51AFD7ED558CCDull;
    h = mix_bytes(h, sender, sender_len);
    h = mix_bytes(h, recipient, recipient_len);
    return static_cast<uint32_t>(h);
}

static void make_key(const Datagram* msg, const NetAddr* from, MessageKey* k) {
    k->from = from;
    k->msg = msg;
    k->sender_len = static_cast<int>(strnlen(msg->sender, NICK_SIZE));
    k->recipient_len = static_cast<int>(strnlen(msg->recipient, NICK_SIZE));
    k->body_len = static_cast<int>(strnlen(msg->body, BODY_SIZE));
    k->hash = key_hash(from, msg->id, msg->sender, k->sender_len, msg->recipient, k->recipient_len);
}

static Remembered* record_at(uint32_t pos) {
    return reinterpret_cast<Remembered*>(ring + (pos & ring_mask));
}

// Whether pos is where a record starts that is still in the ring.
static int kept(uint32_t pos) {
    return (pos & 7) == 0 && pos - ring_head < ring_tail - ring_head;
}

static int young(const Remembered* r, long long now) {
    return now >= r->when && now - r->when <= RELAY_RESEND_MS;
}

static const char* texts(const Remembered* r) {
    return reinterpret_cast<const char*>(r + 1);
}

static int same_message(const Remembered* r, const MessageKey* k) {
    const char* t = texts(r);
    return r->hash == k->hash && r->ip == k->from->ip && r->port == k->from->port &&
           r->id0 == k->msg->id[0] && r->id1 == k->msg->id[1] && r->sender_len == k->sender_len &&
           r->recipient_len == k->recipient_len && r->body_len == k->body_len &&
           std::memcmp(t, k->msg->sender, static_cast<size_t>(k->sender_len)) == 0 &&
           std::memcmp(t + k->sender_len, k->msg->recipient,
                       static_cast<size_t>(k->recipient_len)) == 0 &&
           std::memcmp(t + k->sender_len + k->recipient_len, k->msg->body,
                       static_cast<size_t>(k->body_len)) == 0;
}

// The record of the same message handled within the resend window, or nullptr.
static Remembered* find_message(const MessageKey* k, long long now) {
    for (uint32_t p = chains[k->hash & chain_mask]; kept(p); p = record_at(p)->next) {
        Remembered* r = record_at(p);
        if (r->state != FORGOTTEN && young(r, now) && same_message(r, k)) return r;
    }
    return nullptr;
}

// Frees the oldest record unless it is younger than the resend window. Returns 0 when it is.
static int free_oldest(long long now) {
    uint32_t at = ring_head & ring_mask;
    if (ring_mask + 1 - at < sizeof(Remembered)) { // too little left before the end for a record
        ring_head += ring_mask + 1 - at;
        return 1;
    }
    Remembered* r = record_at(ring_head);
    if (r->when != LLONG_MIN) {
        if (now < r->when || now - r->when <= RELAY_RESEND_MS) return 0;
        uint32_t* chain = &chains[r->hash & chain_mask];
        if (*chain == ring_head) *chain = NO_RECORD; // the oldest of its chain: the chain is empty
    }
    ring_head += r->size;
    return 1;
}

// A new record for `texts` bytes at the ring's tail, linked into the chain of hash; nullptr when
// the ring is full of records younger than the resend window.
static Remembered* new_record(uint32_t hash, int text_bytes, long long now) {
    uint32_t size = (sizeof(Remembered) + static_cast<uint32_t>(text_bytes) + 7) & ~7u;
    uint32_t ring_size = ring_mask + 1;
    if (size > ring_size) return nullptr;
    uint32_t at = ring_tail & ring_mask;
    uint32_t filler = at + size > ring_size ? ring_size - at : 0;
    while (ring_size - (ring_tail - ring_head) < filler + size) {
        if (ring_head == ring_tail) { // empty, the record just too long for the end: start over
            ring_tail += filler;
            ring_head = ring_tail;
            filler = 0;
            break;
        }
        if (!free_oldest(now)) return nullptr;
    }
    if (filler >= sizeof(Remembered)) {
        Remembered* f = record_at(ring_tail);
        f->when = LLONG_MIN;
        f->size = static_cast<uint16_t>(filler);
    }
    ring_tail += filler;
    uint32_t pos = ring_tail;
    Remembered* r = record_at(pos);
    std::memset(r, 0, sizeof *r);
    r->when = now;
    r->size = static_cast<uint16_t>(size);
    r->hash = hash;
    uint32_t* chain = &chains[hash & chain_mask];
    r->next = *chain;
    *chain = pos;
    ring_tail += size;
    last_remembered = pos;
    return r;
}

// Remembers the message with the state a resend of it is answered by. Returns 0 when the memory
// is full of young records: the message is handled but a resend of it will not be known.
static int remember_message(const MessageKey* k, int state, long long now) {
    Remembered* r = new_record(k->hash, k->sender_len + k->recipient_len + k->body_len, now);
    if (r == nullptr) return 0;
    r->ip = k->from->ip;
    r->port = k->from->port;
    r->state = static_cast<unsigned char>(state);
    r->id0 = k->msg->id[0];
    r->id1 = k->msg->id[1];
    r->sender_len = static_cast<unsigned char>(k->sender_len);
    r->recipient_len = static_cast<unsigned char>(k->recipient_len);
    r->body_len = static_cast<uint16_t>(k->body_len);
    char* t = reinterpret_cast<char*>(r + 1);
    std::memcpy(t, k->msg->sender, static_cast<size_t>(k->sender_len));
    std::memcpy(t + k->sender_len, k->msg->recipient, static_cast<size_t>(k->recipient_len));
    std::memcpy(t + k->sender_len + k->recipient_len, k->msg->body,
                static_cast<size_t>(k->body_len));
    return 1;
}

// A message whose forward could not be sent: its resend is a new message.
static void forget(uint32_t pos) {
    if (kept(pos)) record_at(pos)->state = FORGOTTEN;
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

// A notice to msg's sender with text, cut so the datagram is at most room bytes. Returns 0 when
// not even a short text fits.
static int make_notice(const Datagram* msg, const NetAddr* to, int room, const char* text,
                       RelayOut* out) {
    int text_room = room - HEADER_SIZE; // with the NUL
    if (text_room < 16) return 0;
    Datagram* d = record(out);
    start_record(d, KIND_NOTICE);
    std::memcpy(d->recipient, msg->sender, NICK_SIZE);
    int n = static_cast<int>(std::strlen(text));
    if (n > text_room - 1) n = text_room - 1;
    std::memcpy(d->body, text, static_cast<size_t>(n));
    d->body[n] = '\0';
    out->to = *to;
    out->len = HEADER_SIZE + n + 1;
    return 1;
}

// The notice that msg's recipient is unknown.
static int make_unknown_notice(const Datagram* msg, const NetAddr* to, int room, RelayOut* out) {
    char text[BODY_SIZE];
    if (msg->recipient[0] == '\0')
        std::snprintf(text, sizeof text, "A message without a recipient cannot be delivered.");
    else
        std::snprintf(text, sizeof text, "Nobody called %s is known to the server.",
                      msg->recipient);
    return make_notice(msg, to, room, text, out);
}

static RelayOutcome drop(RelayDrop why) {
    last_drop = why;
    ++relay_stats.dropped[why];
    return RELAY_DROPPED;
}

RelayDrop relay_last_drop() {
    return last_drop;
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
        notice_left = reached > 0;
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

int relay_user_slots() {
    return user_count;
}

const RelayUser* relay_user_at(int i) {
    return i >= 0 && i < user_count ? &users[i] : nullptr;
}

int relay_notice_next(RelayOut* out) {
    Datagram* d = record(out);
    if (!notice_left) return 0;
    if (notice_next < 0) {
        notice_left = 0;
        out->to = notice_to;
    } else {
        if (notice_next >= user_count) {
            notice_left = 0;
            return 0;
        }
        const RelayUser* u = &users[notice_next++];
        out->to = u->addr;
    }
    std::memcpy(d, &notice, static_cast<size_t>(notice_len));
    out->len = notice_len;
    ++relay_stats.notices;
    return 1;
}

// A message under a nickname another host holds: not relayed; its source is told once.
static RelayOutcome refuse(const Datagram* msg, const MessageKey* key, const NetAddr* from, int len,
                           long long now, RelayOut out[2], int* out_count) {
    ++relay_stats.impersonation_refused;
    remember_message(key, REFUSED, now);
    RelayUser* holder = find_user(msg->sender);
    char name[NICK_SIZE], text[BODY_SIZE];
    printable(msg->sender, NICK_SIZE, name, sizeof name);
    long long s = now / 1000 + 1;
    if (holder->warned_s == 0 || s - holder->warned_s >= RELAY_WARN_MS / 1000) {
        holder->warned_s = static_cast<int>(s);
        char a[NET_ADDR_TEXT], b[NET_ADDR_TEXT];
        net_format(&holder->addr, a, sizeof a);
        net_format(from, b, sizeof b);
        relay_log(LOG_NORMAL, "%s is at %s (%s): a message under that name from %s not relayed",
                  name, a, holder->pinned ? "listed" : "leased", b);
    }
    std::snprintf(text, sizeof text,
                  "%s is in use from another address; your messages are not delivered.", name);
    int room = RELAY_AMPLIFICATION * len;
    if (room > RECORD_SIZE) room = RECORD_SIZE;
    RelayOut notice_out;
    *out_count = make_notice(msg, from, room, text, &notice_out);
    out[0] = notice_out;
    return RELAY_REFUSED;
}

RelayOutcome relay_handle(const char* buf, int len, const NetAddr* from, long long now,
                          RelayOut out[2], int* out_count) {
    *out_count = 0;
    last_remembered = NO_RECORD;
    if (!source_allow(from, now)) return drop(DROP_RATE);
    if (len < HEADER_SIZE) return drop(DROP_SHORT);
    if (len > RECORD_SIZE) return drop(DROP_OVERSIZED);
    if (std::memcmp(buf, "KT1", 3) != 0) return drop(DROP_FOREIGN);
    if (buf[3] == KIND_CONTROL) return drop(DROP_CONTROL);
    if (buf[3] != KIND_MESSAGE) return drop(DROP_KIND);
    if (std::memcmp(buf + HEADER_SIZE - sizeof(Datagram::reserved), kRelayMark,
                    sizeof kRelayMark) == 0)
        return drop(DROP_LOOP);

    // The forwarded copy: every text field ends inside its field, the reserved field carries
    // the relay's mark and nothing else.
    Datagram* msg = record(&out[0]);
    std::memcpy(msg, buf, static_cast<size_t>(len));
    if (len < RECORD_SIZE) out[0].data[len] = '\0'; // the body ends where the datagram did
    clean_text(msg->sender, NICK_SIZE);
    clean_text(msg->recipient, NICK_SIZE);
    clean_long_text(msg->body, BODY_SIZE);
    std::memset(msg->reserved, 0, sizeof msg->reserved);
    std::memcpy(msg->reserved, kRelayMark, sizeof kRelayMark);

    MessageKey key;
    make_key(msg, from, &key);
    const Remembered* before = find_message(&key, now);
    if (before != nullptr && before->state == REFUSED) return RELAY_REFUSED;
    if (before != nullptr) {
        make_receipt(msg, from, &out[1]);
        out[0] = out[1];
        *out_count = 1;
        ++relay_stats.resent;
        return RELAY_RESENT;
    }

    int held = learn(msg->sender, from, now);
    if (held == HELD_BY_HOST) return refuse(msg, &key, from, len, now, out, out_count);
    if (!remember_message(&key, HANDLED, now)) ++relay_stats.resend_memory_full;
    if (held == HELD_BY_PORT) {
        ++relay_stats.lease_refused;
        const RelayUser* holder = find_user(msg->sender);
        char a[NET_ADDR_TEXT], b[NET_ADDR_TEXT], name[NICK_SIZE];
        net_format(&holder->addr, a, sizeof a);
        net_format(from, b, sizeof b);
        relay_log(LOG_NORMAL, "%s stays at %s (%s): a message under that name from %s relayed",
                  printable(msg->sender, NICK_SIZE, name, sizeof name), a,
                  holder->pinned ? "listed" : "leased", b);
    }
    RelayUser* to = msg->recipient[0] == '\0' ? nullptr : find_user(msg->recipient);
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
    heard(to, now);
    out[0].to = to->addr;
    out[0].len = HEADER_SIZE + key.body_len + 1;
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
    if (what == RELAY_REFUSED) {
        relay_log(LOG_VERBOSE, "%s: refused, its nickname held by another host", a);
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

// Sends the batch's first count datagrams in order. batch_of names each one's datagram; when one
// cannot be sent the rest of that datagram's are not, and a delivery whose forward failed is
// undone.
static void send_all(int fd, int count) {
    int i = 0;
    while (i < count) {
        i += net_send_batch(fd, batch_tx + i, count - i);
        if (i >= count) break;
        ++relay_stats.send_failed;
        int k = batch_of[i];
        if (batch_what[k] == RELAY_DELIVERED && (i == 0 || batch_of[i - 1] != k)) {
            // No receipt for a message that did not leave; the sender will resend.
            --relay_stats.delivered;
            forget(batch_kept[k]);
        }
        while (i < count && batch_of[i] == k)
            ++i;
    }
}

// Before a batch is handled: the chain heads its messages will be looked up in, then the newest
// record of each chain, fetched into the cache all at once rather than waited for one by one.
static void prefetch_batch(int got) {
    static uint32_t chain[NET_BATCH];
    for (int k = 0; k < got; ++k) {
        const Datagram* d = reinterpret_cast<const Datagram*>(batch_in[k]);
        chain[k] = NO_RECORD;
        if (batch_rx[k].len < HEADER_SIZE || batch_rx[k].len > RECORD_SIZE ||
            d->kind != KIND_MESSAGE)
            continue;
        chain[k] = key_hash(&batch_rx[k].addr, d->id, d->sender, clean_length(d->sender, NICK_SIZE),
                            d->recipient, clean_length(d->recipient, NICK_SIZE)) &
                   chain_mask;
        __builtin_prefetch(&chains[chain[k]]);
    }
    for (int k = 0; k < got; ++k) {
        if (chain[k] == NO_RECORD) continue;
        uint32_t p = chains[chain[k]];
        if (kept(p)) __builtin_prefetch(record_at(p));
    }
}

int relay_drain(int fd, long long now) {
    int count = 0;
    // A bounded batch, so that a flood cannot keep signals waiting.
    while (count < RELAY_BATCH) {
        int want = RELAY_BATCH - count < NET_BATCH ? RELAY_BATCH - count : NET_BATCH;
        for (int k = 0; k < want; ++k)
            batch_rx[k].data = batch_in[k];
        int got = net_recv_batch(fd, batch_rx, want, RECORD_SIZE);
        if (got <= 0) break;
        count += got;
        prefetch_batch(got);
        int sends = 0;
        for (int k = 0; k < got; ++k) {
            int n = 0;
            batch_what[k] = relay_handle(batch_in[k], batch_rx[k].len, &batch_rx[k].addr, now,
                                         batch_out[k], &n);
            batch_kept[k] = last_remembered;
            log_datagram(&batch_rx[k].addr, batch_rx[k].len, batch_what[k], &batch_out[k][0]);
            for (int i = 0; i < n; ++i, ++sends) {
                batch_tx[sends].data = batch_out[k][i].data;
                batch_tx[sends].len = batch_out[k][i].len;
                batch_tx[sends].addr = batch_out[k][i].to;
                batch_of[sends] = k;
            }
        }
        send_all(fd, sends);
        if (got < want) break; // the queue is empty
    }
    return count;
}
