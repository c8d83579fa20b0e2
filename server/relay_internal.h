// What the relay's own files share with each other and with nothing else: each table's
// allocation and clearing, and the calls one part of the relay makes into another.
#pragma once

#include "server/relay.h"

#include <cstddef>
#include <cstdint>

// A zeroed table, resident from the start (relay.cpp); sets *failed when it cannot be had.
void* relay_table(size_t bytes, int* failed);
// A text received from the network, fit for a log line: at most size - 1 bytes, anything outside
// printable ASCII as '?'.
const char* relay_printable(const char* text, int field, char* out, int size);
// 0 for the smallest power of two at least n.
unsigned relay_power_of_two(unsigned long long n);

// --- the directory (directory.cpp) -----------------------------------------------------------

// Allocates the directory for n slots; *directory_bytes and *host_bytes get what it takes (also
// when it fails). Returns 0 when some table cannot be had.
int directory_alloc(int n, long long* directory_bytes, long long* host_bytes);
void directory_free();
void directory_clear(); // forgets every user
RelayUser* directory_find(const char* nick);
// The nickname was heard from, or a message delivered to it.
void directory_heard(RelayUser* u, long long now);
// A nickname as a users file may list it: 1 to 19 bytes from 0x21 to 0x7E.
int directory_valid_nick(const char* nick);
int directory_same_nick(const char* a, const char* b);
// Copies a nickname into a field, cut to 19 characters, the rest of the field zero.
void directory_set_nick(char* field, const char* nick);

// What directory_learn() found.
enum { AT_SENDER = 0, HELD_BY_PORT = 1, HELD_BY_HOST = 2 };
// Records that nick sent from `from` (see directory.cpp).
int directory_learn(const char* nick, const NetAddr* from, long long now);

// What directory_restore() did with an entry of the state file.
enum { RESTORED = 0, NO_ROOM = 1, ALREADY_KNOWN = 2 };
// Puts a learned nickname back as last heard at `seen`, older than every learned user so far:
// the state file's entries come newest first. Only into a free slot, within its host's share.
int directory_restore(const char* nick, const NetAddr* addr, long long seen);

// When the learned user heard last was heard; LLONG_MIN when none is learned.
long long directory_newest_heard();

// --- the state file (state.cpp) --------------------------------------------------------------

// The directory learned u (a new nickname, a slot reused, an address moved): journalled at the
// next state_flush().
void state_note(const RelayUser* u);

// --- the resend memory (resend.cpp) ----------------------------------------------------------

enum : uint32_t { NO_RECORD = 0xFFFFFFFFu }; // never a record's position: those are multiples of 8
enum { FORGOTTEN = 0, HANDLED = 1, REFUSED = 2 };

// A message as the resend memory knows it: where it came from and its cleaned texts.
struct MessageKey {
    const NetAddr* from;
    const Datagram* msg; // id and the three texts, each ending inside its field
    int sender_len, recipient_len, body_len;
    uint32_t hash;
};

// Allocates the memory for n directory slots; *bytes gets what it takes (also when it fails).
int resend_alloc(int n, long long* bytes);
void resend_free();
void resend_clear();
void resend_make_key(const Datagram* msg, const NetAddr* from, MessageKey* k);
// The state the same message handled within the resend window was left in, or -1 for none.
int resend_find(const MessageKey* k, long long now);
// Remembers the message with the state a resend of it is answered by. Returns 0 when the memory
// is full of young records: the message is handled but a resend of it will not be known.
int resend_remember(const MessageKey* k, int state, long long now);
// The record made by the last resend_remember since resend_mark_none(), or NO_RECORD.
uint32_t resend_last();
void resend_mark_none();
// A message whose forward could not be sent: its resend is a new message.
void resend_forget(uint32_t pos);
// The chain a received datagram would be looked up in, fetched into the cache, or NO_RECORD for
// one that is no message; then the newest record on it.
uint32_t resend_prefetch_chain(const NetAddr* from, const char* data, int len);
void resend_prefetch_record(uint32_t chain);

// --- token buckets (sources.cpp) -------------------------------------------------------------

void sources_clear();
// Takes one token from the source's bucket (its address and port); 0 when it is empty.
int source_allow(const NetAddr* from, long long now);
// The same for group messages, from buckets of their own by host address (group_rate,
// group_burst).
int source_allow_group(const NetAddr* from, long long now);
// The same for a copy or a notice toward host ip, from buckets by destination (dest_rate,
// dest_burst).
int dest_allow(uint32_t ip, long long now);

// --- one datagram, and operator notices (handle.cpp) -----------------------------------------

void handle_clear(); // no operator notice queued
// The receipt for msg (whose fields are clean) to `to`.
void handle_receipt(const Datagram* msg, const NetAddr* to, RelayOut* out);
// A notice to msg's sender with text, cut so the datagram is at most room bytes. Returns 0 when
// not even a short text fits.
int handle_notice(const Datagram* msg, const NetAddr* to, int room, const char* text,
                  RelayReason why, RelayOut* out);

// --- groups (groups.cpp) ---------------------------------------------------------------------

void groups_clear(); // no group, no copy waiting
// Reading a users file: groups_load_begin, then groups_load_line for each line; when line (its
// comment cut) is a group's, "[open] group NAME = NICK ...", it is checked and kept, *is_group
// set; returns a fault or nullptr.
void groups_load_begin();
const char* groups_load_line(char* line, int line_no, int* is_group);
// The line of the group read so far named nick, or 0.
int groups_load_named(const char* nick);
// Once every line is read: checks that no member is a group (the line of a fault in *line_no).
// Returns a fault or nullptr.
const char* groups_load_check(int* line_no);
void groups_load_commit(); // the groups read take the place of the old ones
// A message (cleaned, in out[0]) to group g: refused, or taken with its copies queued.
RelayOutcome groups_message(int g, const MessageKey* key, const NetAddr* from, int len,
                            long long now, RelayOut out[2], int* out_count);
// A message under group g's name: refused.
RelayOutcome groups_refuse_name(int g, const MessageKey* key, const NetAddr* from, int len,
                                long long now, RelayOut out[2], int* out_count);

// --- the batched drain (drain.cpp) -----------------------------------------------------------

void drain_clear(); // its buffers touched, so that a first burst does not add to the resident size
