// One datagram's handling, from its checks to the forward, the receipt and the notices that go
// back, and the operator's notices.
#include "server/relay_internal.h"

#include <cstdio>
#include <cstring>

// The operator notice being sent: its datagram and the next user to get it.
static Datagram notice;
static int notice_len;
static int notice_next;  // index into users or the group's members; -1: one target, notice_to
static int notice_group; // the group whose members get it, or -1
static int notice_left;  // 1 while notices are to be sent
static NetAddr notice_to;
// Targets of the notice, by position in its walk, whose host was over its limit when it was
// queued; positions from notice_walked on were not looked at.
static unsigned char notice_held[RELAY_MAX_USERS_LIMIT / 8];
static int notice_walked;

static RelayDrop last_drop;

void handle_clear() {
    notice_len = 0;
    notice_next = 0;
    notice_left = 0;
    notice_group = -1;
    notice_walked = 0;
}

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

static Datagram* record(RelayOut* o) {
    return reinterpret_cast<Datagram*>(o->data);
}

static void start_record(Datagram* d, char kind) {
    std::memset(d, 0, HEADER_SIZE + 1);
    std::memcpy(d->magic, "KT1", 3);
    d->kind = kind;
    std::memcpy(d->reserved, kRelayMark, sizeof kRelayMark);
}

void handle_receipt(const Datagram* msg, const NetAddr* to, RelayOut* out) {
    Datagram* r = record(out);
    start_record(r, KIND_RECEIPT);
    std::memcpy(r->id, msg->id, sizeof r->id);
    std::memcpy(r->sender, msg->recipient, NICK_SIZE);
    std::memcpy(r->recipient, msg->sender, NICK_SIZE);
    out->to = *to;
    out->len = HEADER_SIZE + 1;
}

int handle_notice(const Datagram* msg, const NetAddr* to, int room, const char* text,
                  RelayReason why, RelayOut* out) {
    int text_room = room - HEADER_SIZE; // with the NUL
    if (text_room < 16) return 0;
    Datagram* d = record(out);
    start_record(d, KIND_NOTICE);
    d->reserved[RELAY_REASON_AT] = static_cast<char>(why);
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
    return handle_notice(msg, to, room, text, REASON_UNKNOWN, out);
}

static RelayOutcome drop(RelayDrop why) {
    last_drop = why;
    ++relay_stats.dropped[why];
    return RELAY_DROPPED;
}

RelayDrop relay_last_drop() {
    return last_drop;
}

// The user at position i of the notice's walk: the group's member i, or directory slot i.
static const RelayUser* notice_target(int i) {
    if (notice_group < 0) return relay_user_at(i);
    return i < relay_group_size(notice_group) ? directory_find(relay_group_member(notice_group, i))
                                              : nullptr;
}

static int notice_targets() {
    return notice_group >= 0 ? relay_group_size(notice_group) : relay_user_slots();
}

static int notice_is_held(int i) {
    return i < notice_walked && (notice_held[i / 8] >> (i % 8) & 1);
}

int relay_operator_notice(const char* nick_or_null, const char* text, char* line, int line_size,
                          long long now) {
    char name[NICK_SIZE];
    int reached = 0, held = 0;
    notice_left = 0;
    notice_next = RELAY_MAX_USERS;
    notice_walked = 0;
    notice_group = nick_or_null != nullptr ? relay_group_find(nick_or_null) : -1;
    if (notice_group >= 0 || nick_or_null == nullptr) {
        // Each target's host takes its token now; those over the limit are skipped when sending.
        notice_walked = notice_targets();
        for (int i = 0; i < notice_walked; ++i) {
            const RelayUser* u = notice_target(i);
            int over = u != nullptr && !dest_allow(u->addr.ip, now);
            reached += u != nullptr;
            held += over;
            unsigned char bit = static_cast<unsigned char>(1u << (i % 8));
            notice_held[i / 8] = static_cast<unsigned char>(over ? notice_held[i / 8] | bit
                                                                 : notice_held[i / 8] & ~bit);
        }
        notice_next = 0;
        notice_left = reached > held;
    }
    int n = 0;
    if (notice_group >= 0) {
        relay_printable(relay_group_name(notice_group), NICK_SIZE, name, sizeof name);
        n = std::snprintf(line, static_cast<size_t>(line_size),
                          "Notice sent to %d of the %d members of %s.", reached - held,
                          relay_group_size(notice_group), name);
    } else if (nick_or_null != nullptr) {
        const RelayUser* u = directory_find(nick_or_null);
        relay_printable(nick_or_null, NICK_SIZE, name, sizeof name);
        if (u == nullptr) {
            std::snprintf(line, static_cast<size_t>(line_size),
                          "Nobody called %s is known to the server.", name);
        } else if (!dest_allow(u->addr.ip, now)) {
            reached = held = 1;
            std::snprintf(line, static_cast<size_t>(line_size),
                          "Notice to %s not sent: its address was over its limit (--dest-rate).",
                          name);
        } else {
            reached = 1;
            notice_to = u->addr;
            notice_left = 1;
            notice_next = -1;
            std::snprintf(line, static_cast<size_t>(line_size), "Notice sent to %s.", name);
        }
    } else {
        n = std::snprintf(line, static_cast<size_t>(line_size), "Notice sent to %d nickname%s.",
                          reached - held, reached - held == 1 ? "" : "s");
    }
    if (n > 0 && n < line_size && held > 0)
        std::snprintf(line + n, static_cast<size_t>(line_size - n),
                      " %d not sent: their address was over its limit (--dest-rate).", held);
    relay_stats.dest_capped += held;
    Datagram* d = &notice;
    start_record(d, KIND_NOTICE);
    d->reserved[RELAY_REASON_AT] = REASON_OPERATOR;
    int body = static_cast<int>(strnlen(text, BODY_SIZE - 1));
    std::memcpy(d->body, text, static_cast<size_t>(body));
    d->body[body] = '\0';
    notice_len = HEADER_SIZE + body + 1;
    relay_log(LOG_NORMAL, "operator notice: %s", line);
    return reached - held;
}

int relay_notice_next(RelayOut* out) {
    Datagram* d = record(out);
    if (!notice_left) return 0;
    if (notice_next < 0) {
        notice_left = 0;
        out->to = notice_to;
    } else {
        const RelayUser* u = nullptr;
        while (u == nullptr && notice_next < notice_targets()) {
            int i = notice_next++;
            if (!notice_is_held(i)) u = notice_target(i);
        }
        if (u == nullptr) {
            notice_left = 0;
            return 0;
        }
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
    resend_remember(key, REFUSED, now);
    RelayUser* holder = directory_find(msg->sender);
    char name[NICK_SIZE], text[BODY_SIZE];
    relay_printable(msg->sender, NICK_SIZE, name, sizeof name);
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
    *out_count = handle_notice(msg, from, room, text, REASON_NICK_IN_USE, &notice_out);
    out[0] = notice_out;
    return RELAY_REFUSED;
}

RelayOutcome relay_handle(const char* buf, int len, const NetAddr* from, long long now,
                          RelayOut out[2], int* out_count) {
    *out_count = 0;
    resend_mark_none();
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
    resend_make_key(msg, from, &key);
    int before = resend_find(&key, now);
    if (before == REFUSED) return RELAY_REFUSED;
    if (before >= 0) {
        handle_receipt(msg, from, &out[1]);
        out[0] = out[1];
        *out_count = 1;
        ++relay_stats.resent;
        return RELAY_RESENT;
    }

    // A group's name is never a sender's, and never learned.
    int named = relay_group_find(msg->sender);
    if (named >= 0) return groups_refuse_name(named, &key, from, len, now, out, out_count);
    int held = directory_learn(msg->sender, from, now);
    if (held == HELD_BY_HOST) return refuse(msg, &key, from, len, now, out, out_count);
    if (held == HELD_BY_PORT) {
        ++relay_stats.lease_refused;
        const RelayUser* holder = directory_find(msg->sender);
        char a[NET_ADDR_TEXT], b[NET_ADDR_TEXT], name[NICK_SIZE];
        net_format(&holder->addr, a, sizeof a);
        net_format(from, b, sizeof b);
        relay_log(LOG_NORMAL, "%s stays at %s (%s): a message under that name from %s relayed",
                  relay_printable(msg->sender, NICK_SIZE, name, sizeof name), a,
                  holder->pinned ? "listed" : "leased", b);
    }
    int group = msg->recipient[0] == '\0' ? -1 : relay_group_find(msg->recipient);
    if (group >= 0) return groups_message(group, &key, from, len, now, out, out_count);
    if (!resend_remember(&key, HANDLED, now)) ++relay_stats.resend_memory_full;
    RelayUser* to = msg->recipient[0] == '\0' ? nullptr : directory_find(msg->recipient);
    if (to == nullptr) {
        // Receipt, then the notice, together within the bound on what goes back.
        handle_receipt(msg, from, &out[1]);
        int room = RELAY_AMPLIFICATION * len - out[1].len;
        if (room > RECORD_SIZE) room = RECORD_SIZE;
        RelayOut receipt_first = out[1];
        *out_count = 1;
        if (make_unknown_notice(msg, from, room, &out[1])) *out_count = 2;
        out[0] = receipt_first;
        ++relay_stats.unknown;
        return RELAY_UNKNOWN;
    }
    directory_heard(to, now);
    out[0].to = to->addr;
    out[0].len = HEADER_SIZE + key.body_len + 1;
    handle_receipt(msg, from, &out[1]);
    *out_count = 2;
    ++relay_stats.delivered;
    return RELAY_DELIVERED;
}
