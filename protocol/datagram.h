// The record exchanged with the server, one per UDP datagram, and the rules for filling and
// reading it. Every field is a byte array, so the struct has no padding and is the wire layout.
#pragma once

enum {
    NICK_SIZE = 20,
    BODY_SIZE = 1000,
    HEADER_SIZE = 76,
    RECORD_SIZE = HEADER_SIZE + BODY_SIZE, // 1076
};

struct Datagram {
    char magic[3];       // "KT1", no terminator
    char kind;           // 'M', 'G', 'A' or 'R'
    unsigned char id[2]; // low byte first
    char sender[NICK_SIZE];
    char recipient[NICK_SIZE];
    char reserved[30]; // zero in every datagram the client sends
    char body[BODY_SIZE];
};

enum { KIND_MESSAGE = 'M', KIND_GREETING = 'G', KIND_NOTICE = 'A', KIND_RECEIPT = 'R' };

// The relay marks every datagram it sends with kRelayMark at the start of the reserved field
// (clients send that field as zeros and ignore it on receipt). A notice of the relay's own
// carries its reason in the byte after the mark, so that programs need not read its text.
extern const char kRelayMark[4];
enum { RELAY_REASON_AT = 4 }; // index of the reason byte in the reserved field
// <windows.h> (its winreg.h) defines REASON_UNKNOWN for shutdown reasons; here it is the relay's.
#ifdef REASON_UNKNOWN
#undef REASON_UNKNOWN
#endif
enum RelayReason {
    REASON_NONE = 0,          // receipts and forwarded messages
    REASON_OPERATOR = 'O',    // an operator's notice
    REASON_UNKNOWN = 'U',     // the recipient was not reached: no address is known for it
    REASON_NICK_IN_USE = 'N', // the sender's nickname is held by another address: not relayed
    REASON_CANT_WRITE = 'W',  // the recipient is a group the sender may not write to: not relayed
    REASON_NOT_REACHED = 'P', // a group message went out, but some members have no address
    REASON_GROUP_RATE = 'L',  // too many group messages from the sender's address: not relayed
};

// Cleans a text field of `size` bytes in place: it ends at the first NUL or byte of 0x80 and
// above among the first size - 1 bytes, else at byte size - 1 (byte 0 when size <= 1).
void clean_text(char* field, int size);

// Completes an outgoing message whose recipient and body are filled: sender from `nick` (all
// NICK_SIZE bytes copied, then cleaned), `id` low byte first, the magic and kind 'M'.
void datagram_complete(Datagram* d, const char* nick, unsigned id);

// Bytes on the wire for an outgoing message: the header, the body text and its NUL.
int datagram_send_length(const Datagram* d);

unsigned datagram_id(const Datagram* d);

// Takes a received datagram of `len` bytes in `buf` for a record when min <= len <= max and its
// first three bytes are the magic; writes a NUL at buf[len] first (buf must hold max + 1 bytes).
// Returns 1 when accepted.
int datagram_accept(char* buf, int len, int min, int max);

// The pseudo-random generator used for message ids on every platform: state * 214013 + 2531011,
// value (state >> 16) & 0x7FFF.
void random_seed(unsigned seed);
int random_next();
