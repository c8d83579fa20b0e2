// The relay: routes each message to the address of its recipient's nickname and answers the
// sender with a receipt. Fixed-size, process-wide tables; one thread.
#pragma once

#include "protocol/datagram.h"
#include "protocol/relay_net.h"

enum {
    RELAY_MAX_USERS = 1024,    // nicknames the relay knows at once
    RELAY_USER_BUCKETS = 2048, // hash chains over them
    RELAY_RECENT_SETS = 256,   // messages remembered for spotting resends: sets of
    RELAY_RECENT_WAYS = 4,     //   four entries, chosen by sender address and content
    RELAY_RESEND_MS = 60000,   // a resend is the same bytes from the same address within this
    RELAY_SOURCE_SETS = 1024,  // per-address token buckets: sets of
    RELAY_SOURCE_WAYS = 4,     //   four entries, the one idle longest replaced
    RELAY_BATCH = 1024,        // datagrams handled at most per drain
    RELAY_AMPLIFICATION = 3,   // bytes back to a source per byte it sent, at most
    RELAY_STATS_MS = 60000,    // how often changed drop counts are logged

    RELAY_DEFAULT_PORT = 99,
    RELAY_DEFAULT_LEASE_S = 600,
    RELAY_DEFAULT_RATE = 20, // datagrams per second per source address, sustained
    RELAY_BURST_FACTOR = 2,  // ... and this many seconds' worth at once
};

// Marks a datagram the relay has sent in its reserved field; clients send that field as zeros,
// so a marked datagram coming back (a users entry pointing at the relay itself) is not relayed.
extern const char kRelayMark[4];

// Kind 'C' once carried operator requests over UDP; clients never send it, and the relay now drops
// it from anywhere (DROP_CONTROL). The operator's channel is the control socket (control.h).
enum { KIND_CONTROL = 'C' };

enum { LOG_QUIET = 0, LOG_NORMAL = 1, LOG_VERBOSE = 2 };

struct RelayConfig {
    long long lease_ms;  // a nickname stays with its address while it was heard from this recently
    int rate;            // tokens per second per source address; 0: no limit
    int burst;           // bucket size
    int log_level;       // LOG_QUIET: errors only; LOG_VERBOSE: one line per datagram
    int max_users;       // directory slots
    int max_per_address; // learned nicknames one host address (any port) may hold
};
extern RelayConfig relay_config;

// Allocates the tables for relay_config.max_users, once, and clears them. Returns 0 with a reason
// in err when the memory cannot be had. relay_reset() before relay_init() allocates them with the
// configured sizes.
int relay_init(char* err, int err_size);
// Bytes the tables took when they were allocated.
long long relay_table_bytes();

// One line on standard error, "keltup-server: " first, when level <= relay_config.log_level.
void relay_log(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

struct RelayUser {
    char nick[NICK_SIZE]; // as first seen or listed; compared without regard to case
    NetAddr addr;
    int pinned;     // listed in the users file: traffic does not move it
    long long seen; // last message from its own address, milliseconds
    int next;       // the next user in its hash chain, plus one (0: none)
};

// What became of one incoming datagram.
enum RelayOutcome {
    RELAY_DELIVERED = 1, // forwarded to the recipient, receipt to the sender
    RELAY_RESENT,        // a resend of a message already handled: receipt only
    RELAY_UNKNOWN,       // no address for the recipient: receipt and a notice to the sender
    RELAY_CONTROL,       // an operator's request: answered, notices queued (relay_notice_next)
    RELAY_DROPPED,       // see relay_last_drop
};

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
// configuration is kept.
void relay_reset();

// Lists nick at addr for good (a users-file entry). Returns 0 when the nick is not 1 to 19
// visible ASCII characters, or the table is full of listed users.
int relay_pin(const char* nick, const NetAddr* addr);
// Turns every listed user back into an ordinary one (before a users file is read again).
void relay_unpin_all();
// The entry for nick, or nullptr.
const RelayUser* relay_find(const char* nick);
int relay_user_count();

// Reads a users file: lines "NICK = host[:port]" (port 99 when left out), blank lines and '#'
// comments. Every entry is checked before any is listed; on a fault nothing changes and err names
// the line. Returns the number of entries listed, or -1.
int relay_users_load(const char* path, char* err, int err_size);

// Handles one received datagram of len bytes (its full length, which may exceed what buf holds:
// such a datagram is dropped) from `from` at time `now` (milliseconds). Fills out[0..1] with what
// to send, in order, and stores their number in *out_count. Whatever goes back to `from` is at
// most RELAY_AMPLIFICATION * len bytes.
RelayOutcome relay_handle(const char* buf, int len, const NetAddr* from, long long now,
                          RelayOut out[2], int* out_count);
// The reason of the last RELAY_DROPPED.
RelayDrop relay_last_drop();
// After RELAY_CONTROL: fills out with the next operator notice to send and returns 1; 0 when all
// are out.
int relay_notice_next(RelayOut* out);

// Directory slots, for walking it: relay_user_at(i) for 0 <= i < relay_user_slots() is the user in
// slot i, or nullptr for a free slot.
int relay_user_slots();
const RelayUser* relay_user_at(int i);

// An operator's notice (from the control channel): queues TEXT for nick, or for every known
// nickname when nick is nullptr, to be sent by relay_notice_next; writes the line for the operator
// ("Notice sent to ...", "Nobody called ...") into line. Returns the number of nicknames reached.
int relay_operator_notice(const char* nick_or_null, const char* text, char* line, int line_size);

// Running totals since the start.
struct RelayStats {
    long long delivered, resent, unknown, lease_refused, notices, send_failed;
    long long directory_full, resend_memory_full, impersonation_refused;
    long long dropped[DROP_REASONS];
};
extern RelayStats relay_stats;
long long relay_dropped_total();
// Logs the drop counts when they changed since the last call (always when final is set).
void relay_log_drops(int final);

// Receives and handles the datagrams waiting on fd (at most RELAY_BATCH) at time now. A receipt
// is sent only when its forward went out. Returns the number read.
int relay_drain(int fd, long long now);
