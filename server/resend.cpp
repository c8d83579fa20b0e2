// The resend memory: every message handled in the last few seconds, so that a client's resend
// is answered with a receipt and not delivered twice. A ring of records in arrival order, found
// through hash chains.
#include "server/relay_internal.h"

#include <climits>
#include <cstdlib>
#include <cstring>

// Each record is a Remembered and the message's three texts; the chains lead from newer to older
// records. Positions count
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
static unsigned char* ring;
static uint32_t ring_mask; // its size, a power of two, less one
static uint32_t ring_head, ring_tail;
static uint32_t* chains; // newest record of each chain
static uint32_t chain_mask;
static uint32_t last_remembered; // the record made for the datagram in hand, or NO_RECORD

int resend_alloc(int n, long long* bytes) {
    unsigned long long want = 1ULL * static_cast<unsigned>(n) * RELAY_RESEND_BYTES_PER_USER;
    unsigned ring_size = relay_power_of_two(want < 4096 ? 4096 : want);
    // About one chain in two holds a record at 200-character bodies, so that a lookup seldom
    // reads more than the record fetched ahead for it.
    unsigned nchains = ring_size / 128;
    *bytes = static_cast<long long>(ring_size) + 4LL * nchains;
    int failed = 0;
    ring = static_cast<unsigned char*>(relay_table(ring_size, &failed));
    chains = static_cast<uint32_t*>(relay_table(sizeof(uint32_t) * nchains, &failed));
    ring_mask = ring_size - 1;
    chain_mask = nchains - 1;
    return !failed;
}

void resend_free() {
    std::free(ring);
    std::free(chains);
    ring = nullptr;
    chains = nullptr;
}

void resend_clear() {
    ring_head = ring_tail = 0;
    std::memset(chains, 0xFF, sizeof(uint32_t) * (chain_mask + 1));
    last_remembered = NO_RECORD;
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

void resend_make_key(const Datagram* msg, const NetAddr* from, MessageKey* k) {
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

int resend_remember(const MessageKey* k, int state, long long now) {
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

void resend_forget(uint32_t pos) {
    if (kept(pos)) record_at(pos)->state = FORGOTTEN;
}

int resend_find(const MessageKey* k, long long now) {
    const Remembered* r = find_message(k, now);
    return r == nullptr ? -1 : r->state;
}

uint32_t resend_last() {
    return last_remembered;
}

void resend_mark_none() {
    last_remembered = NO_RECORD;
}

uint32_t resend_prefetch_chain(const NetAddr* from, const char* data, int len) {
    const Datagram* d = reinterpret_cast<const Datagram*>(data);
    if (len < HEADER_SIZE || len > RECORD_SIZE || d->kind != KIND_MESSAGE) return NO_RECORD;
    uint32_t chain = key_hash(from, d->id, d->sender, clean_length(d->sender, NICK_SIZE),
                              d->recipient, clean_length(d->recipient, NICK_SIZE)) &
                     chain_mask;
    __builtin_prefetch(&chains[chain]);
    return chain;
}

void resend_prefetch_record(uint32_t chain) {
    if (chain == NO_RECORD) return;
    uint32_t p = chains[chain];
    if (kept(p)) __builtin_prefetch(record_at(p));
}
