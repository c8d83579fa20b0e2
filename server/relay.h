// The relay: routes each message to the address of its recipient's nickname and answers the
// sender with a receipt. Fixed-size, process-wide tables; one thread.
#pragma once

#include "protocol/datagram.h"
#include "protocol/relay_net.h"

enum {
    RELAY_MAX_USERS = 1024, // nicknames the relay knows at once
    RELAY_RECENT = 256,     // relayed messages remembered for spotting resends
    RELAY_RESEND_MS = 30000,
    RELAY_NOTICES = 64,           // senders waiting to hear that their recipient is unknown
    RELAY_NOTICE_DELAY_MS = 3000, // after the sender's last try, so its send has given up
    RELAY_BATCH = 1024,           // datagrams handled at most per drain
};

// Marks a datagram the relay has sent in its reserved field; clients send that field as zeros,
// so a marked datagram coming back (a users entry pointing at the relay itself) is not relayed.
extern const char kRelayMark[4];

struct RelayUser {
    char nick[NICK_SIZE]; // as first seen or listed; compared without regard to case
    NetAddr addr;
    int pinned;     // listed in the users file: traffic does not move it
    long long seen; // last message from it, milliseconds
};

// What became of one incoming datagram.
enum RelayOutcome {
    RELAY_DELIVERED = 1, // forwarded to the recipient, receipt to the sender
    RELAY_RESENT,        // a resend of a message already forwarded: receipt only
    RELAY_UNKNOWN,       // no address for the recipient: nothing sent
    RELAY_IGNORED,       // not a message (wrong size, magic, kind, or already relayed)
};

// One datagram to send.
struct RelayOut {
    NetAddr to;
    int len;
    char data[RECORD_SIZE];
};

// Forgets every user and every remembered message.
void relay_reset();

// Lists nick at addr for good (a users-file entry). Returns 0 when the nick is empty or too long,
// or the table is full of listed users.
int relay_pin(const char* nick, const NetAddr* addr);
// Turns every listed user back into an ordinary one (before a users file is read again).
void relay_unpin_all();
// The entry for nick, or nullptr.
const RelayUser* relay_find(const char* nick);
int relay_user_count();

// Reads a users file: lines "NICK ADDRESS PORT", blank lines and '#' comments. Every entry is
// checked before any is listed; on a fault nothing changes and err names the line.
// Returns the number of entries listed, or -1.
int relay_users_load(const char* path, char* err, int err_size);

// Handles one received datagram of len bytes (its full length, which may exceed what buf holds:
// such a datagram is ignored) from `from` at time `now` (milliseconds). Fills out[0..1] with what
// to send, the forward before the receipt, and stores their number in *out_count.
RelayOutcome relay_handle(const char* buf, int len, const NetAddr* from, long long now,
                          RelayOut out[2], int* out_count);

// A message to an unknown nickname is answered, once its sender has stopped trying, by a notice
// saying so (a notice during the sender's own wait would show as its outgoing text). Fills out
// with one notice due at `now` and returns 1, else returns 0.
int relay_due_notice(long long now, RelayOut* out);
// Milliseconds until the next notice is due (0 when one is due), -1 when none is waiting.
int relay_next_notice(long long now);

// Running totals since the start.
struct RelayStats {
    long long delivered, resent, unknown, ignored, send_failed, notices;
};
extern RelayStats relay_stats;

// Receives and handles the datagrams waiting on fd (at most RELAY_BATCH), then sends the notices
// that are due. A receipt is sent only when its forward went out. Returns the number read.
int relay_drain(int fd, long long now, int verbose);
