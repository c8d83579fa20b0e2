// The relay: routes each message to the address of its recipient's nickname and answers the
// sender with a receipt. Process-wide tables, allocated once at start for a configured number of
// nicknames; one thread.
#pragma once

#include "protocol/datagram.h"
#include "server/net.h"

enum {
    RELAY_MAX_USERS = 65536,         // default directory slots; also the most a users file lists
    RELAY_MAX_USERS_LIMIT = 1 << 21, // the most directory slots the tables can be made for
    RELAY_DEFAULT_PER_ADDRESS = 64,  // learned nicknames one host address may hold
    // A resend is the same message from the same address within this. A client tries ten times
    // 200 ms apart, the last try 1.8 s after the first, then gives up; the rest is room for
    // queues and scheduling on a loaded relay. A copy later than this is a new send by its user.
    RELAY_RESEND_MS = 5000,
    // Resend memory per directory slot: 64 MiB for the default 65,536 slots, which holds every
    // message of the last 13 s at 20,000 messages/s with 200-character bodies (248 bytes each
    // remembered), more for shorter ones.
    RELAY_RESEND_BYTES_PER_USER = 1024,
    RELAY_SOURCE_SETS = 1024, // per-source token buckets: sets of
    RELAY_SOURCE_WAYS = 4,    //   four entries, the one nearest to full replaced
    RELAY_DEST_SETS = 2048,   // per-destination buckets (copies and notices), sets of four
    RELAY_BATCH = 1024,       // datagrams handled at most per drain
    RELAY_AMPLIFICATION = 3,  // bytes back to a source per byte it sent, at most
    RELAY_STATS_MS = 60000,   // how often changed drop counts are logged
    RELAY_WARN_MS = 60000,    // a full directory or a refused nickname is logged this seldom

    RELAY_DEFAULT_PORT = 99,
    RELAY_DEFAULT_LEASE_S = 600,
    RELAY_DEFAULT_RATE = 20, // datagrams per second per source address, sustained
    RELAY_BURST_FACTOR = 2,  // ... and this many seconds' worth at once

    // Groups (users file lines "group NAME = NICK ..."): how many, and members in all.
    RELAY_MAX_GROUPS = 1024,
    RELAY_GROUP_MEMBERS = 65536,
    RELAY_DEFAULT_GROUP_SIZE = 1000, // members one group may have (--max-group-size)
    RELAY_GROUP_SIZE_LIMIT = 10000,  // ... at most
    RELAY_DEFAULT_GROUP_RATE = 1,    // group messages per second per source address, sustained
    RELAY_DEFAULT_GROUP_BURST = 5,   // ... and this many at once
    RELAY_GROUP_QUEUE = 256,         // group messages whose copies are going out, at most
    RELAY_GROUP_TURN = 64,           // copies sent at most per drain, so others do not wait
    // Addresses of the copies still to go out, all queued messages together: room for the queue
    // full of messages to groups of the default size.
    RELAY_GROUP_COPIES = 1 << 18,
    // Copies and operator notices toward any one host address, whatever their sources: per second
    // sustained (--dest-rate), and at once (--dest-burst), enough for one message to reach every
    // member behind a terminal server's address (as many as a host may hold learned nicknames).
    RELAY_DEFAULT_DEST_RATE = 100,
    RELAY_DEFAULT_DEST_BURST = 64,
};

// kRelayMark (protocol/datagram.h) in a datagram coming back (a users entry pointing at the relay
// itself) keeps it from being relayed again.

// Kind 'C' once carried operator requests over UDP; clients never send it, and the relay now drops
// it from anywhere (DROP_CONTROL). The operator's channel is the control socket (control.h).
enum { KIND_CONTROL = 'C' };

enum { LOG_QUIET = 0, LOG_NORMAL = 1, LOG_VERBOSE = 2 };

struct RelayConfig {
    long long lease_ms;  // a nickname stays with its address while it was heard from this recently
    int rate;            // tokens per second per source address; 0: no limit
    int burst;           // bucket size
    int log_level;       // LOG_QUIET: errors only; LOG_VERBOSE: one line per datagram
    int max_users;       // directory slots (1 to RELAY_MAX_USERS_LIMIT)
    int max_per_address; // learned nicknames one host address (any port) may hold
    int max_group_size;  // members a group of the users file may have
    int group_rate;      // group messages per second per source host address; 0: no limit
    int group_burst;     // ... and at once (a host not heard from lately starts with one)
    int dest_rate;       // copies and notices per second toward one host address; 0: no limit
    int dest_burst;      // ... and at once
};
extern RelayConfig relay_config;

// Allocates the tables for relay_config.max_users (again only when that changed), touches every
// page so the memory is resident from the start, and clears them as relay_reset() does. Returns 0
// with a reason in err when the size is out of range or the memory cannot be had. relay_reset()
// calls it when the tables are missing or were made for another size.
int relay_init(char* err, int err_size);
// Bytes the tables took when they were allocated: all of them, the directory with its hash heads,
// the resend memory with its index. The rest of the total is the per-address counts.
long long relay_table_bytes();
long long relay_directory_bytes();
long long relay_resend_bytes();

// One line on standard error, "keltup-server: " first, when level <= relay_config.log_level.
void relay_log(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));
// Where log lines go instead of standard error when set (a service's event log); the line has no
// program name and no newline.
extern void (*relay_log_sink)(int level, const char* line);

struct RelayUser {
    char nick[NICK_SIZE]; // as first seen or listed; compared without regard to case
    NetAddr addr;
    int pinned;     // listed in the users file: traffic does not move it
    long long seen; // last message from its own address or delivered to it, milliseconds
    int next;       // the next user in its hash chain, plus one (0: none)
    int older;      // learned users by last heard: the one heard before, plus one (0: none)
    int newer;      //   and the one heard after
    int warned_s;   // when a message under it from another host was last logged, s + 1 (0: never)
};

// What became of one incoming datagram.
enum RelayOutcome {
    RELAY_DELIVERED = 1, // forwarded to the recipient, receipt to the sender
    RELAY_RESENT,        // a resend of a message already handled: receipt only
    RELAY_UNKNOWN,       // no address for the recipient: receipt and a notice to the sender
    RELAY_DROPPED,       // see relay_last_drop
    RELAY_REFUSED,       // its sender nickname is held by another host or is a group's name:
                         //   a notice, no receipt (nothing at all for a resend of it)
    RELAY_GROUP,         // to a group: receipt (and a notice of members not reached) now, the
                         //   copies through relay_group_next
    RELAY_GROUP_REFUSED, // to a group its sender may not write to now: a notice, no receipt
};

// Why a message to a group was refused; each reason has its counter.
enum GroupRefusal {
    GROUP_NOT_MEMBER, // the group takes messages from its members only
    GROUP_RATE,       // its source was over its group rate
    GROUP_BUSY,       // RELAY_GROUP_QUEUE group messages were still going out
    GROUP_NAME,       // sent under a group's name
    GROUP_REFUSALS
};
extern const char* const kGroupRefusalNames[GROUP_REFUSALS];

// Why a datagram was dropped; each reason has its counter.
enum RelayDrop {
    DROP_SHORT,     // under the header's 76 bytes
    DROP_OVERSIZED, // over 1076 bytes
    DROP_FOREIGN,   // no "KT1" magic
    DROP_KIND,      // a kind clients do not send
    DROP_LOOP,      // carries the relay's own mark
    DROP_RATE,      // its source was over its rate
    DROP_CONTROL,   // a control datagram (kind 'C'), from anywhere
    DROP_REASONS
};
extern const char* const kDropNames[DROP_REASONS];

// One datagram to send.
struct RelayOut {
    NetAddr to;
    int len;
    char data[RECORD_SIZE];
};

// Forgets every user, remembered message, source bucket, queued notice and counter. The
// configuration is kept; the tables are made first when relay_init() was not called for it.
void relay_reset();

// Lists nick at addr for good (a users-file entry). In a full directory the learned nickname heard
// least recently makes room, live or not. Returns 0 when the nick is not 1 to 19 visible ASCII
// characters, or the table is full of listed users.
int relay_pin(const char* nick, const NetAddr* addr);
// Turns every listed user back into an ordinary one (before a users file is read again).
void relay_unpin_all();
// The entry for nick, or nullptr.
const RelayUser* relay_find(const char* nick);
int relay_user_count();

// Reads a users file: lines "NICK = host[:port]" (port 99 when left out), "[open] group NAME =
// NICK NICK ...", blank lines and '#' comments. Every entry is checked before any is listed; on a
// fault nothing changes and err names the line. Returns the number of users listed, or -1.
int relay_users_load(const char* path, char* err, int err_size);

// Handles one received datagram of len bytes (its full length, which may exceed what buf holds:
// such a datagram is dropped) from `from` at time `now` (milliseconds). Fills out[0..1] with what
// to send, in order, and stores their number in *out_count. Whatever goes back to `from` is at
// most RELAY_AMPLIFICATION * len bytes.
RelayOutcome relay_handle(const char* buf, int len, const NetAddr* from, long long now,
                          RelayOut out[2], int* out_count);
// The reason of the last RELAY_DROPPED.
RelayDrop relay_last_drop();
// After relay_operator_notice: fills out with the next operator notice to send and returns 1; 0
// when all are out.
int relay_notice_next(RelayOut* out);

// The groups of the last users file that loaded: their number, and group g's name, whether anyone
// may write to it, its member count and its members (nicknames as listed). relay_group_find gives
// the group named nick (without regard to case), or -1.
int relay_group_count();
int relay_group_find(const char* nick);
const char* relay_group_name(int g);
int relay_group_open(int g);
int relay_group_size(int g);
const char* relay_group_member(int g, int i);
// After RELAY_GROUP: fills out with the next copy to send (kind 'G', to the address a member had
// when the message was taken; a copy renews no lease) and returns 1; 0 when none is waiting.
int relay_group_next(RelayOut* out, long long now);
int relay_group_pending();

// Directory slots, for walking it: relay_user_at(i) for 0 <= i < relay_user_slots() is the user in
// slot i, or nullptr for a free slot.
int relay_user_slots();
const RelayUser* relay_user_at(int i);

// An operator's notice (from the control channel): queues TEXT for nick (for each member the relay
// has an address for when nick names a group), or for every known nickname when nick is nullptr, to
// be sent by relay_notice_next; writes the line for the operator
// ("Notice sent to ...", "Nobody called ...") into line. A nickname whose host is over its limit
// at now (dest_rate) is left out, counted and said in the line. Returns the number reached.
int relay_operator_notice(const char* nick_or_null, const char* text, char* line, int line_size,
                          long long now);

// Running totals since the start. lease_refused: messages relayed under a nickname another port
// of the same host holds; directory_full: new nicknames not learned, every slot live;
// address_full: new nicknames not learned, their host holding max_per_address already;
// resend_memory_full: messages delivered without being remembered, the memory full of young ones;
// impersonation_refused: messages not relayed, their nickname held by another host.
struct RelayStats {
    long long delivered, resent, unknown, lease_refused, notices, send_failed;
    long long directory_full, resend_memory_full, impersonation_refused, address_full;
    long long dropped[DROP_REASONS];
    // Messages to groups taken, copies of them sent, members they did not reach (no address),
    // and messages to or under a group refused.
    long long group_messages, group_copies, group_not_reached;
    long long group_refused[GROUP_REFUSALS];
    // Copies and operator notices not sent: their destination host was over dest_rate.
    long long dest_capped;
};
extern RelayStats relay_stats;
long long relay_dropped_total();
// Logs the drop counts when they changed since the last call (always when final is set).
void relay_log_drops(int final);

// Receives and handles the datagrams waiting on fd (at most RELAY_BATCH) at time now, NET_BATCH
// a system call each way where the platform has them. A receipt is sent only when its forward
// went out. Then sends at most RELAY_GROUP_TURN copies of group messages. Returns the number read.
int relay_drain(int fd, long long now);
// Whether copies of group messages are still to be sent: the loop should drain again at once.
int relay_drain_pending();
