// The directory: nicknames and their addresses, listed from the users file or learned from
// traffic, with the per-host counts that bound what one host may learn.
#include "server/relay_internal.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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
static long long full_logged, crowded_logged; // when the last such line was logged

// --- allocation ------------------------------------------------------------------------------

int directory_alloc(int n, long long* directory_bytes, long long* host_bytes) {
    unsigned nheads = relay_power_of_two(static_cast<unsigned>(n));
    unsigned nhosts = relay_power_of_two(2ULL * static_cast<unsigned>(n));
    *directory_bytes = static_cast<long long>(sizeof(RelayUser)) * n + 4LL * nheads;
    *host_bytes = static_cast<long long>(sizeof(HostCount)) * nhosts;
    int failed = 0;
    users =
        static_cast<RelayUser*>(relay_table(sizeof(RelayUser) * static_cast<size_t>(n), &failed));
    heads = static_cast<int*>(relay_table(sizeof(int) * nheads, &failed));
    hosts = static_cast<HostCount*>(relay_table(sizeof(HostCount) * nhosts, &failed));
    slots = n;
    head_mask = nheads - 1;
    host_mask = nhosts - 1;
    return !failed;
}

void directory_free() {
    std::free(users);
    std::free(heads);
    std::free(hosts);
    users = nullptr;
    heads = nullptr;
    hosts = nullptr;
    slots = 0;
}

void directory_clear() {
    user_count = 0;
    std::memset(heads, 0, sizeof(int) * (head_mask + 1));
    oldest = newest = 0;
    std::memset(hosts, 0, sizeof(HostCount) * (host_mask + 1));
    full_logged = crowded_logged = LLONG_MIN / 2;
}

int relay_user_slots() {
    return user_count;
}

const RelayUser* relay_user_at(int i) {
    return i >= 0 && i < user_count ? &users[i] : nullptr;
}

// --- the directory ----------------------------------------------------------------------------

static int upper(unsigned char c) {
    return (c >= 'a' && c <= 'z') ? c - 'a' + 'A' : c;
}

int directory_same_nick(const char* a, const char* b) {
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

void directory_set_nick(char* field, const char* nick) {
    std::memset(field, 0, NICK_SIZE);
    std::memcpy(field, nick, strnlen(nick, NICK_SIZE - 1));
}

RelayUser* directory_find(const char* nick) {
    for (int i = heads[nick_bucket(nick)]; i != 0; i = users[i - 1].next)
        if (directory_same_nick(users[i - 1].nick, nick)) return &users[i - 1];
    return nullptr;
}

const RelayUser* relay_find(const char* nick) {
    return directory_find(nick);
}

int relay_user_count() {
    return user_count;
}

int directory_valid_nick(const char* nick) {
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

// The state file's entries are restored newest first: each goes before those restored so far.
static void list_prepend(RelayUser* u) {
    u->newer = oldest;
    u->older = 0;
    if (oldest != 0)
        users[oldest - 1].older = index_of(u);
    else
        newest = index_of(u);
    oldest = index_of(u);
}

void directory_heard(RelayUser* u, long long now) {
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
                  relay_printable(u->nick, NICK_SIZE, name, sizeof name));
        unlink_user(u);
        list_remove(u);
        host_remove(u->addr.ip);
    }
    *u = RelayUser();
    directory_set_nick(u->nick, nick);
    unsigned b = nick_bucket(u->nick);
    u->next = heads[b];
    heads[b] = index_of(u);
    return u;
}

int relay_pin(const char* nick, const NetAddr* addr) {
    if (!directory_valid_nick(nick)) return 0;
    RelayUser* u = directory_find(nick);
    if (u == nullptr) {
        u = new_user(nick, 0, 1);
        if (u == nullptr) return 0;
    } else if (!u->pinned) {
        list_remove(u);
        host_remove(u->addr.ip);
    }
    directory_set_nick(u->nick, nick);
    // The local address it was last heard at stays while it is listed at the same address.
    uint32_t local = net_equal(&u->addr, addr) ? u->addr.local : 0;
    u->addr = *addr;
    u->addr.local = local;
    u->pinned = 1;
    return 1;
}

// A listed user becomes a learned one at its listed address, heard as recently as it was:
// newest in the list, which errs towards keeping it.
void relay_unpin_at(int i) {
    RelayUser* u = i >= 0 && i < user_count ? &users[i] : nullptr;
    if (u == nullptr || !u->pinned) return;
    u->pinned = 0;
    list_append(u);
    host_add(u->addr.ip);
}

void relay_unpin_all() {
    for (int i = 0; i < user_count; ++i)
        relay_unpin_at(i);
}

// Records that nick sent from `from`. A new nickname is taken by its first address while that
// host holds fewer than max_per_address and a slot can be had; a known one moves only when it is
// not listed and its holder has been silent for the lease. HELD_BY_PORT: another port of the same
// host keeps it; HELD_BY_HOST: another host does.
int directory_learn(const char* nick, const NetAddr* from, long long now) {
    if (nick[0] == '\0') return AT_SENDER;
    RelayUser* u = directory_find(nick);
    char name[NICK_SIZE], a[NET_ADDR_TEXT], b[NET_ADDR_TEXT];
    if (u != nullptr && net_equal(&u->addr, from)) {
        u->addr.local = from->local; // what is sent to it leaves from where it wrote to
        directory_heard(u, now);
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
                      relay_printable(nick, NICK_SIZE, name, sizeof name), b,
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
                          slots, relay_printable(nick, NICK_SIZE, name, sizeof name));
            }
            return AT_SENDER;
        }
        u->addr = *from;
        host_add(from->ip);
        directory_heard(u, now);
        state_note(u);
        return AT_SENDER;
    }
    net_format(&u->addr, a, sizeof a);
    net_format(from, b, sizeof b);
    relay_log(LOG_NORMAL, "%s moved from %s to %s",
              relay_printable(u->nick, NICK_SIZE, name, NICK_SIZE), a, b);
    host_remove(u->addr.ip);
    host_add(from->ip);
    u->addr = *from;
    directory_heard(u, now);
    state_note(u);
    return AT_SENDER;
}

long long directory_newest_heard() {
    return newest != 0 ? users[newest - 1].seen : LLONG_MIN;
}

int directory_restore(const char* nick, const NetAddr* addr, long long seen) {
    // A listed user, or a group's name, which no learned nickname may take.
    if (directory_find(nick) != nullptr || relay_group_find(nick) >= 0) return ALREADY_KNOWN;
    if (user_count >= slots || host_count(addr->ip) >= relay_config.max_per_address) return NO_ROOM;
    RelayUser* u = new_user(nick, seen, 0);
    u->addr = *addr;
    u->addr.local = 0; // not kept in the file: learned again from its next datagram
    u->seen = seen;
    host_add(addr->ip);
    list_prepend(u);
    return RESTORED;
}
