// Groups: the users file's "[open] group NAME = NICK ..." lines, who may write to a group, and its
// messages' delivery, one 'G' copy to each member with an address, a bounded number per drain.
#include "server/relay_internal.h"

#include <cstdio>
#include <cstring>

struct Group {
    char name[NICK_SIZE]; // as listed
    int open;             // anyone may write to it; else its members only
    int first, count;     // its members in the table's member list
    int line;             // in the users file
};

// The groups of one users file. One table is in force while the other is read into, so that a
// file with a fault changes nothing.
struct GroupTable {
    int count, members_used;
    Group groups[RELAY_MAX_GROUPS];
    int index[2 * RELAY_MAX_GROUPS]; // by name, open addressing: group + 1 (0: free)
    char members[RELAY_GROUP_MEMBERS][NICK_SIZE];
};
static GroupTable tables[2];
static int live;       // tables[live] is in force
static int generation; // raised whenever another table comes into force

// A group message whose copies are going out: the copy, and how many of the addresses at the
// front of the ring are still its to send to. The addresses are the members' when the message
// was taken, so that a reload meanwhile neither sends a member a second copy nor skips one.
struct Delivery {
    int generation; // the table in force when the rest was last looked at
    int left;
    int len;
    Datagram copy;
};
static Delivery queue[RELAY_GROUP_QUEUE];
static int queue_head, queue_count;
static NetAddr copy_to[RELAY_GROUP_COPIES]; // a ring: copy_used entries from copy_head
static int copy_head, copy_used;

// Members of the group line being read, by name, to find one listed twice: open addressing over
// slots stamped with the group line they were filled for.
enum { SEEN_SLOTS = 1 << 15 }; // a power of two, over twice RELAY_GROUP_SIZE_LIMIT
static_assert(SEEN_SLOTS >= 2 * RELAY_GROUP_SIZE_LIMIT, "room for the largest group");
static struct {
    unsigned stamp;
    int member; // in the loading table
} seen[SEEN_SLOTS];
static unsigned seen_stamp;

static unsigned name_hash(const char* nick) {
    unsigned h = 2166136261u;
    for (int i = 0; i < NICK_SIZE && nick[i] != '\0'; ++i) {
        unsigned char c = static_cast<unsigned char>(nick[i]);
        h ^= (c >= 'a' && c <= 'z') ? c - 'a' + 'A' : c;
        h *= 16777619u;
    }
    return h ^ (h >> 15);
}

static void clear_table(GroupTable* t) {
    t->count = t->members_used = 0;
    std::memset(t->index, 0, sizeof t->index);
}

static int find_in(const GroupTable* t, const char* nick) {
    if (t->count == 0) return -1;
    const unsigned mask = 2 * RELAY_MAX_GROUPS - 1;
    for (unsigned i = name_hash(nick) & mask; t->index[i] != 0; i = (i + 1) & mask)
        if (directory_same_nick(t->groups[t->index[i] - 1].name, nick)) return t->index[i] - 1;
    return -1;
}

void groups_clear() {
    clear_table(&tables[0]);
    clear_table(&tables[1]);
    live = 0;
    ++generation;
    queue_head = queue_count = 0;
    copy_head = copy_used = 0;
    std::memset(copy_to, 0, sizeof copy_to); // resident from the start, like the other tables
}

int relay_group_count() {
    return tables[live].count;
}

int relay_group_find(const char* nick) {
    return find_in(&tables[live], nick);
}

const char* relay_group_name(int g) {
    return tables[live].groups[g].name;
}

int relay_group_open(int g) {
    return tables[live].groups[g].open;
}

int relay_group_size(int g) {
    return tables[live].groups[g].count;
}

const char* relay_group_member(int g, int i) {
    const GroupTable* t = &tables[live];
    return t->members[t->groups[g].first + i];
}

// --- the users file --------------------------------------------------------------------------

static int blank(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}

// The word at *p when it is `word` (without regard to case) followed by a blank; *p goes past it.
static int take_word(char** p, const char* word) {
    char* s = *p;
    while (blank(*s))
        ++s;
    size_t n = std::strlen(word);
    for (size_t i = 0; i < n; ++i)
        if ((s[i] | 0x20) != word[i]) return 0;
    if (!blank(s[n])) return 0;
    *p = s + n;
    return 1;
}

// The next blank-separated word from *p, NUL-terminated in place; nullptr when none is left.
static char* next_word(char** p) {
    char* s = *p;
    while (blank(*s))
        ++s;
    if (*s == '\0') return nullptr;
    char* word = s;
    while (*s != '\0' && !blank(*s))
        ++s;
    if (*s != '\0') *s++ = '\0';
    *p = s;
    return word;
}

void groups_load_begin() {
    clear_table(&tables[1 - live]);
}

const char* groups_load_line(char* line, int line_no, int* is_group) {
    // "group = host" and "open = host" list users called so, as they always did.
    char* p = line;
    take_word(&p, "open");
    int open = p != line;
    *is_group = take_word(&p, "group");
    while (blank(*p))
        ++p;
    if (*p == '=') *is_group = 0;
    if (!*is_group) return nullptr;
    GroupTable* t = &tables[1 - live];
    char* eq = std::strchr(p, '=');
    if (eq == nullptr) return "expected group NAME = NICK ...";
    *eq = '\0';
    char* rest = eq + 1;
    char* name = next_word(&p);
    if (name == nullptr || next_word(&p) != nullptr || !directory_valid_nick(name))
        return "a group's name must be 1 to 19 visible ASCII characters";
    if (find_in(t, name) >= 0) return "group listed twice";
    if (t->count == RELAY_MAX_GROUPS) return "more groups than the relay holds (1024)";
    Group* g = &t->groups[t->count];
    directory_set_nick(g->name, name);
    g->open = open;
    g->first = t->members_used;
    g->count = 0;
    g->line = line_no;
    const unsigned mask = SEEN_SLOTS - 1;
    if (++seen_stamp == 0) { // every slot is stale again
        std::memset(seen, 0, sizeof seen);
        seen_stamp = 1;
    }
    for (char* m = next_word(&rest); m != nullptr; m = next_word(&rest)) {
        if (!directory_valid_nick(m)) return "a member must be 1 to 19 visible ASCII characters";
        if (g->count == relay_config.max_group_size)
            return "more members than a group may have (--max-group-size)";
        if (t->members_used == RELAY_GROUP_MEMBERS)
            return "more group members in all than the relay holds (65536)";
        unsigned i = name_hash(m) & mask;
        for (; seen[i].stamp == seen_stamp; i = (i + 1) & mask)
            if (directory_same_nick(t->members[seen[i].member], m)) return "member listed twice";
        seen[i].stamp = seen_stamp;
        seen[i].member = t->members_used;
        directory_set_nick(t->members[t->members_used++], m);
        ++g->count;
    }
    if (g->count == 0) return "a group needs at least one member";
    const unsigned index_mask = 2 * RELAY_MAX_GROUPS - 1;
    unsigned i = name_hash(g->name) & index_mask;
    while (t->index[i] != 0)
        i = (i + 1) & index_mask;
    t->index[i] = ++t->count;
    return nullptr;
}

int groups_load_named(const char* nick) {
    const GroupTable* t = &tables[1 - live];
    int g = find_in(t, nick);
    return g < 0 ? 0 : t->groups[g].line;
}

const char* groups_load_check(int* line_no) {
    const GroupTable* t = &tables[1 - live];
    for (int g = 0; g < t->count; ++g)
        for (int i = 0; i < t->groups[g].count; ++i)
            if (find_in(t, t->members[t->groups[g].first + i]) >= 0) {
                *line_no = t->groups[g].line;
                return "a member is itself a group";
            }
    return nullptr;
}

void groups_load_commit() {
    live = 1 - live;
    ++generation;
}

// --- messages to and under groups ------------------------------------------------------------

// Not relayed: a notice to the source, no receipt, and nothing for a resend of it.
static RelayOutcome refuse(GroupRefusal why, RelayReason reason, const char* text,
                           const MessageKey* key, const NetAddr* from, int len, long long now,
                           RelayOut out[2], int* out_count) {
    ++relay_stats.group_refused[why];
    resend_remember(key, REFUSED, now);
    int room = RELAY_AMPLIFICATION * len;
    if (room > RECORD_SIZE) room = RECORD_SIZE;
    RelayOut notice; // key->msg is out[0]'s record
    *out_count = handle_notice(key->msg, from, room, text, reason, &notice);
    out[0] = notice;
    return RELAY_GROUP_REFUSED;
}

RelayOutcome groups_refuse_name(int g, const MessageKey* key, const NetAddr* from, int len,
                                long long now, RelayOut out[2], int* out_count) {
    char name[NICK_SIZE], text[160];
    relay_printable(relay_group_name(g), NICK_SIZE, name, sizeof name);
    std::snprintf(text, sizeof text, "%s is the name of a group; your messages are not delivered.",
                  name);
    refuse(GROUP_NAME, REASON_NICK_IN_USE, text, key, from, len, now, out, out_count);
    return RELAY_REFUSED;
}

// What a group message came to for each member, in the group's order.
enum { TO_SENDER, REACHED, NO_ADDRESS, OVER_CAP };
static unsigned char fate[RELAY_GROUP_SIZE_LIMIT];

// "N of M members of GROUP were not reached, K over the limit for one address: A, B and J more."
// in at most limit characters: the count always, the rest as it fits; names only when named is
// set (to a member: an outsider learns no nickname it could claim).
static void not_reached_text(int g, int missing, int capped, int others, int named, int limit,
                             char* text) {
    char name[NICK_SIZE];
    relay_printable(relay_group_name(g), NICK_SIZE, name, sizeof name);
    int total = missing + capped;
    int n = std::snprintf(text, BODY_SIZE, "%d of %d members of %s were not reached", total, others,
                          name);
    char part[64];
    int piece = std::snprintf(part, sizeof part, ", %d over the limit for one address", capped);
    if (capped > 0 && n + piece + 1 <= limit)
        n += std::snprintf(text + n, static_cast<size_t>(BODY_SIZE - n), "%s", part);
    int listed = 0;
    for (int i = 0; named && i < relay_group_size(g) && listed < total; ++i) {
        if (fate[i] != NO_ADDRESS && fate[i] != OVER_CAP) continue;
        const char* m = relay_group_member(g, i);
        char more[32] = ".";
        if (total - listed - 1 > 0)
            std::snprintf(more, sizeof more, " and %d more.", total - listed - 1);
        piece = 2 + static_cast<int>(strnlen(m, NICK_SIZE));
        if (n + piece + static_cast<int>(std::strlen(more)) > limit) break;
        n += std::snprintf(text + n, static_cast<size_t>(BODY_SIZE - n), "%s%s",
                           listed == 0 ? ": " : ", ",
                           relay_printable(m, NICK_SIZE, name, NICK_SIZE));
        ++listed;
    }
    if (listed > 0 && listed < total)
        std::snprintf(text + n, static_cast<size_t>(BODY_SIZE - n), " and %d more.",
                      total - listed);
    else
        std::snprintf(text + n, static_cast<size_t>(BODY_SIZE - n), ".");
}

// Whether nick is one of group g's members.
static int is_member(int g, const char* nick) {
    for (int i = 0; i < relay_group_size(g); ++i)
        if (directory_same_nick(relay_group_member(g, i), nick)) return 1;
    return 0;
}

RelayOutcome groups_message(int g, const MessageKey* key, const NetAddr* from, int len,
                            long long now, RelayOut out[2], int* out_count) {
    const Datagram* msg = key->msg;
    char name[NICK_SIZE], text[BODY_SIZE];
    relay_printable(relay_group_name(g), NICK_SIZE, name, sizeof name);
    int member = is_member(g, msg->sender);
    if (!relay_group_open(g) && !member) {
        std::snprintf(text, sizeof text, "You can't write to %s.", name);
        return refuse(GROUP_NOT_MEMBER, REASON_CANT_WRITE, text, key, from, len, now, out,
                      out_count);
    }
    if (!source_allow_group(from, now)) {
        std::snprintf(text, sizeof text,
                      "Too many group messages from your address: your message to %s was not "
                      "sent. Send it again in a moment.",
                      name);
        return refuse(GROUP_RATE, REASON_GROUP_RATE, text, key, from, len, now, out, out_count);
    }
    if (queue_count == RELAY_GROUP_QUEUE || copy_used + relay_group_size(g) > RELAY_GROUP_COPIES) {
        std::snprintf(text, sizeof text,
                      "The server is busy: your message to %s was not sent. Send it again in a "
                      "moment.",
                      name);
        return refuse(GROUP_BUSY, REASON_GROUP_RATE, text, key, from, len, now, out, out_count);
    }
    if (!resend_remember(key, HANDLED, now)) ++relay_stats.resend_memory_full;

    // The copy: the sender as it came, the group's name as listed, kind 'G'.
    Delivery* d = &queue[(queue_head + queue_count) % RELAY_GROUP_QUEUE];
    d->len = HEADER_SIZE + key->body_len + 1;
    std::memcpy(&d->copy, msg, static_cast<size_t>(d->len));
    d->copy.kind = KIND_GREETING;
    directory_set_nick(d->copy.recipient, relay_group_name(g));
    d->generation = generation;
    d->left = 0;

    // Each other member the relay has an address for, while its host is within its cap.
    int others = 0, missing = 0, capped = 0;
    for (int i = 0; i < relay_group_size(g); ++i) {
        const char* m = relay_group_member(g, i);
        fate[i] = TO_SENDER;
        if (directory_same_nick(m, msg->sender)) continue;
        ++others;
        const RelayUser* u = directory_find(m);
        fate[i] = u == nullptr ? NO_ADDRESS : dest_allow(u->addr.ip, now) ? REACHED : OVER_CAP;
        missing += fate[i] == NO_ADDRESS;
        capped += fate[i] == OVER_CAP;
        if (fate[i] != REACHED) continue;
        copy_to[(copy_head + copy_used++) % RELAY_GROUP_COPIES] = u->addr;
        ++d->left;
    }
    if (d->left > 0) ++queue_count;
    ++relay_stats.group_messages;
    relay_stats.group_not_reached += missing;
    relay_stats.dest_capped += capped;

    handle_receipt(&d->copy, from, &out[0]);
    *out_count = 1;
    if (missing + capped > 0) {
        // Receipt and notice together within the bound on what goes back.
        int room = RELAY_AMPLIFICATION * len - out[0].len;
        if (room > RECORD_SIZE) room = RECORD_SIZE;
        not_reached_text(g, missing, capped, others, member, room - HEADER_SIZE - 1, text);
        // Nobody with an address at all is an unknown recipient to programs that read the reason.
        RelayReason why = missing == others ? REASON_UNKNOWN : REASON_NOT_REACHED;
        *out_count += handle_notice(&d->copy, from, room, text, why, &out[1]);
    }
    return RELAY_GROUP;
}

int relay_group_pending() {
    return queue_count > 0;
}

// A copy renews no lease: only a member's own datagrams do.
int relay_group_next(RelayOut* out, long long /* now */) {
    while (queue_count > 0) {
        Delivery* d = &queue[queue_head];
        // The users file was read again: a group that is gone gets no more.
        if (d->generation != generation) {
            d->generation = generation;
            if (relay_group_find(d->copy.recipient) < 0) {
                copy_head = (copy_head + d->left) % RELAY_GROUP_COPIES;
                copy_used -= d->left;
                d->left = 0;
            }
        }
        if (d->left > 0) {
            std::memcpy(out->data, &d->copy, static_cast<size_t>(d->len));
            out->len = d->len;
            out->to = copy_to[copy_head];
            copy_head = (copy_head + 1) % RELAY_GROUP_COPIES;
            --copy_used;
            --d->left;
            ++relay_stats.group_copies;
            return 1;
        }
        queue_head = (queue_head + 1) % RELAY_GROUP_QUEUE;
        --queue_count;
    }
    return 0;
}
