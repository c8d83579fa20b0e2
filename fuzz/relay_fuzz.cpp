// The relay's datagram handling, its state kept from one input to the next (the directory fills,
// leases run out, the resend memory and the rate buckets work). Each input is a run of events:
// a datagram from a source the input picks, after a time step it picks; an operator notice,
// drained at once; a users-file style listing; unlisting everyone; reading a users file with
// groups. Checked after every event:
// - what goes back to a datagram's source is at most RELAY_AMPLIFICATION times its length;
// - every forwarded message and group copy has its three text fields ending inside their fields,
//   below 0x80, and a copy is a 'G' to a group the relay has, from a sender it may take;
// - one datagram makes at most the group's size in copies;
// - every nickname listed here stays at its listed address.
#include "fuzz/fuzz_input.h"
#include "server/relay.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

// A users file with groups among the names below: a closed one, an open one, and a name that is a
// group's as well as a sender's.
const char kGroupsFile[] = "ALICE = 10.0.0.1:4000\nBOB = 10.0.0.2:4001\n"
                           "group DAVE = ALICE BOB CAROL MALLORY nobody\n"
                           "open group ERIN = bob carol\n";
std::string groups_path;

// Sources: four hosts with four ports each, so that nicknames meet on a host and collide; none on
// 127.0.0.0/8, whose datagrams the relay treats as an operator's. An input can also name any
// other address.
const uint32_t kHosts[4] = {0x0A000001u, 0x0A000002u, 0xC0000207u, 0xC6336409u};

NetAddr source(FuzzInput* in) {
    unsigned pick = fuzz_byte(in);
    NetAddr a;
    if (pick < 0xF0) {
        a.ip = kHosts[pick & 3];
        a.port = static_cast<uint16_t>(4000 + ((pick >> 2) & 3));
        return a;
    }
    a.ip = fuzz_word(in) | (fuzz_word(in) << 16);
    if ((a.ip >> 24) == 127) a.ip ^= 0x75000000u; // 10.0.0.0/8 instead
    a.port = static_cast<uint16_t>(fuzz_word(in));
    return a;
}

// Time steps: none, a burst's spacing, a client's resend spacing, past the resend memory, past
// the lease (the default 600 s), and a day.
const long long kSteps[8] = {0, 1, 200, 1000, 30000, 61000, 601000, 86400000};

const char* const kNames[8] = {"ALICE", "alice", "BOB", "CAROL", "DAVE", "", "MALLORY", "ERIN"};

// A nickname field: one of the names above, or 20 bytes of the input.
void nick_field(FuzzInput* in, char* field) {
    unsigned pick = fuzz_byte(in);
    std::memset(field, 0, NICK_SIZE);
    if (pick < 0xC0)
        std::strcpy(field, kNames[pick & 7]);
    else
        fuzz_bytes(in, field, NICK_SIZE);
}

struct Pin {
    char nick[NICK_SIZE];
    NetAddr addr;
};
Pin pins[RELAY_MAX_USERS];
int pin_count;

int same_name(const char* a, const char* b) {
    for (int i = 0; i < NICK_SIZE; ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
        if (x >= 'a' && x <= 'z') x = static_cast<unsigned char>(x - 32);
        if (y >= 'a' && y <= 'z') y = static_cast<unsigned char>(y - 32);
        if (x != y) return 0;
        if (x == 0) return 1;
    }
    return 1;
}

// 1 to 19 bytes from 0x21 to 0x7E.
int listable(const char* nick) {
    size_t n = strnlen(nick, NICK_SIZE);
    if (n == 0 || n >= NICK_SIZE) return 0;
    for (size_t i = 0; i < n; ++i)
        if (static_cast<unsigned char>(nick[i]) <= 0x20 ||
            static_cast<unsigned char>(nick[i]) >= 0x7F)
            return 0;
    return 1;
}

void check_text(const char* field, int size, const char* what) {
    int n = static_cast<int>(strnlen(field, static_cast<size_t>(size)));
    if (n >= size) fuzz_fail("forwarded message: %s runs past its field", what);
    for (int i = 0; i < n; ++i)
        if (static_cast<unsigned char>(field[i]) >= 0x80)
            fuzz_fail("forwarded message: %s holds byte 0x%02X", what,
                      static_cast<unsigned char>(field[i]));
}

void check_out(const RelayOut& o) {
    if (o.len < HEADER_SIZE + 1 || o.len > RECORD_SIZE)
        fuzz_fail("an outgoing datagram of %d bytes", o.len);
    const Datagram* d = reinterpret_cast<const Datagram*>(o.data);
    if (std::memcmp(d->magic, "KT1", 3) != 0) fuzz_fail("an outgoing datagram without the magic");
    if (d->kind != KIND_MESSAGE && d->kind != KIND_GREETING) return;
    check_text(d->sender, NICK_SIZE, "sender");
    check_text(d->recipient, NICK_SIZE, "recipient");
    check_text(d->body, BODY_SIZE, "body");
    if (static_cast<int>(std::strlen(d->body)) > o.len - HEADER_SIZE - 1)
        fuzz_fail("forwarded message: the body's end is past the %d bytes sent", o.len);
}

void check_pins() {
    for (int i = 0; i < pin_count; ++i) {
        const RelayUser* u = relay_find(pins[i].nick);
        if (u == nullptr || !u->pinned) fuzz_fail("listed nickname %s is gone", pins[i].nick);
        if (!net_equal(&u->addr, &pins[i].addr))
            fuzz_fail("listed nickname %s moved", pins[i].nick);
    }
}

long long now = 1000;

void datagram(FuzzInput* in, unsigned op) {
    static char buf[RECORD_SIZE + 1];
    NetAddr from = source(in);
    unsigned length = fuzz_word(in) % (RECORD_SIZE + 64);
    int len = static_cast<int>(length);
    std::memset(buf, 0, sizeof buf);
    if (op & 1) {
        // A client's message, its fields from the input: reaches past the header checks at once.
        Datagram d;
        std::memset(&d, 0, sizeof d);
        std::memcpy(d.magic, "KT1", 3);
        d.kind = KIND_MESSAGE;
        d.id[0] = static_cast<unsigned char>(fuzz_byte(in));
        d.id[1] = static_cast<unsigned char>(fuzz_byte(in));
        nick_field(in, d.sender);
        nick_field(in, d.recipient);
        unsigned body = fuzz_word(in) % BODY_SIZE;
        fuzz_bytes(in, d.body, body);
        if (len < HEADER_SIZE || len > RECORD_SIZE) len = HEADER_SIZE + static_cast<int>(body) + 1;
        std::memcpy(buf, &d, static_cast<size_t>(len));
    } else {
        fuzz_bytes(in, buf, length <= RECORD_SIZE ? length : RECORD_SIZE);
    }
    RelayOut out[2];
    int count = -1;
    relay_handle(buf, len, &from, now, out, &count);
    if (count < 0 || count > 2) fuzz_fail("%d datagrams out for one in", count);
    long long back = 0;
    for (int i = 0; i < count; ++i) {
        check_out(out[i]);
        if (net_equal(&out[i].to, &from)) back += out[i].len;
    }
    if (back > static_cast<long long>(RELAY_AMPLIFICATION) * len)
        fuzz_fail("%lld bytes back to the source of a %d-byte datagram", back, len);

    // The group copies it made, sent at once as the drain does.
    RelayOut copy;
    int copies = 0, largest = 0;
    for (int g = 0; g < relay_group_count(); ++g)
        if (relay_group_size(g) > largest) largest = relay_group_size(g);
    while (relay_group_next(&copy, now)) {
        if (++copies > largest) fuzz_fail("more copies than the largest group has members");
        check_out(copy);
        const Datagram* d = reinterpret_cast<const Datagram*>(copy.data);
        if (d->kind != KIND_GREETING) fuzz_fail("a group copy of kind 0x%02X", d->kind & 0xFF);
        if (std::memcmp(d->reserved, kRelayMark, sizeof kRelayMark) != 0)
            fuzz_fail("a group copy without the relay's mark");
        int g = relay_group_find(d->recipient);
        if (g < 0) fuzz_fail("a copy to %s, which is no group", d->recipient);
        if (relay_group_find(d->sender) >= 0)
            fuzz_fail("a copy under the group name %s", d->sender);
        int member = 0;
        for (int i = 0; i < relay_group_size(g); ++i)
            member |= same_name(relay_group_member(g, i), d->sender);
        if (!relay_group_open(g) && !member)
            fuzz_fail("a copy to the closed group %s from %s", d->recipient, d->sender);
    }
}

void operator_notice(FuzzInput* in) {
    char nick[NICK_SIZE + 1] = "";
    unsigned scope = fuzz_byte(in);
    if (scope & 1) nick_field(in, nick);
    static char text[BODY_SIZE + 100];
    std::memset(text, 0, sizeof text);
    fuzz_bytes(in, text, fuzz_word(in) % (sizeof text - 1));
    char line[256];
    int line_size = 1 + static_cast<int>(fuzz_byte(in));
    std::memset(line, 'x', sizeof line);
    int reached = relay_operator_notice(scope & 1 ? nick : nullptr, text, line, line_size, now);
    if (strnlen(line, static_cast<size_t>(line_size)) >= static_cast<size_t>(line_size))
        fuzz_fail("the operator's line runs past its %d bytes", line_size);
    RelayOut o;
    int sent = 0;
    while (relay_notice_next(&o)) {
        if (++sent > reached) fuzz_fail("more notices out than the %d nicknames reached", reached);
        if (o.len < HEADER_SIZE + 1 || o.len > RECORD_SIZE)
            fuzz_fail("a notice of %d bytes", o.len);
        const Datagram* d = reinterpret_cast<const Datagram*>(o.data);
        if (d->kind != KIND_NOTICE) fuzz_fail("a notice of kind 0x%02X", d->kind & 0xFF);
        if (static_cast<int>(strnlen(d->body, BODY_SIZE)) > o.len - HEADER_SIZE - 1)
            fuzz_fail("a notice's text ends past its %d bytes", o.len);
    }
}

void pin(FuzzInput* in) {
    char nick[NICK_SIZE + 1] = "";
    nick_field(in, nick);
    NetAddr addr = source(in);
    int listed = relay_pin(nick, &addr);
    if (!listed) return;
    if (!listable(nick)) fuzz_fail("a nickname of other than 1 to 19 visible characters listed");
    int i = 0;
    while (i < pin_count && !same_name(pins[i].nick, nick))
        ++i;
    if (i == pin_count) ++pin_count;
    std::memcpy(pins[i].nick, nick, NICK_SIZE);
    pins[i].addr = addr;
}

// Reads kGroupsFile: its two users are the only ones listed after it.
void read_groups() {
    char err[200] = "";
    if (relay_users_load(groups_path.c_str(), err, sizeof err) != 2)
        fuzz_fail("the groups file: %s", err);
    pin_count = 0;
    const char* names[2] = {"ALICE", "BOB"};
    for (int i = 0; i < 2; ++i) {
        std::memset(pins[i].nick, 0, NICK_SIZE);
        std::strcpy(pins[i].nick, names[i]);
        pins[i].addr = NetAddr{kHosts[i], static_cast<uint16_t>(4000 + i)};
    }
    pin_count = 2;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    relay_config.log_level = LOG_QUIET;
    relay_config.max_users = 64; // small, so the directory fills and its oldest entries make room
    relay_config.max_per_address = 8;
    relay_config.lease_ms = RELAY_DEFAULT_LEASE_S * 1000LL;
    relay_config.rate = RELAY_DEFAULT_RATE;
    relay_config.burst = RELAY_DEFAULT_RATE * RELAY_BURST_FACTOR;
    relay_reset();
    char err[200] = "";
    if (!relay_init(err, sizeof err)) fuzz_fail("relay_init: %s", err);
    const char* dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    groups_path = std::string(dir) + "/keltup-fuzz-groups-" + std::to_string(getpid());
    FILE* f = std::fopen(groups_path.c_str(), "w");
    if (f == nullptr) fuzz_fail("cannot write %s", groups_path.c_str());
    std::fputs(kGroupsFile, f);
    std::fclose(f);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in = {data, size, 0};
    while (fuzz_left(&in)) {
        unsigned op = fuzz_byte(&in);
        now += kSteps[(op >> 5) & 7];
        switch (op & 7) {
        case 5:
            operator_notice(&in);
            break;
        case 6:
            pin(&in);
            break;
        case 7: {
            unsigned what = fuzz_byte(&in);
            if (what == 0) {
                relay_reset();
            } else if (what == 1) {
                relay_unpin_all();
            } else if (what == 2) {
                read_groups();
                break;
            } else {
                relay_unpin_all();
            }
            pin_count = 0;
            break;
        }
        default:
            datagram(&in, op);
            break;
        }
        check_pins();
    }
    return 0;
}
