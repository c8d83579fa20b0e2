// Token buckets: how many datagrams each source may have handled, how many group messages each
// source host may send, and how many copies and notices go toward each destination host, sustained
// and at once.
#include "server/relay_internal.h"

#include <cstring>

struct Bucket {
    NetAddr addr;     // the key: a host's address has port 0
    long long when;   // last refill
    long long tokens; // thousandths of a datagram
    int used;
};
// Sets of RELAY_SOURCE_WAYS entries each.
static Bucket sources[RELAY_SOURCE_SETS][RELAY_SOURCE_WAYS];       // by address and port
static Bucket group_sources[RELAY_SOURCE_SETS][RELAY_SOURCE_WAYS]; // by host
static Bucket destinations[RELAY_DEST_SETS][RELAY_SOURCE_WAYS];    // by host

void sources_clear() {
    std::memset(sources, 0, sizeof sources);
    std::memset(group_sources, 0, sizeof group_sources);
    std::memset(destinations, 0, sizeof destinations);
}

static unsigned addr_mix(const NetAddr* a) {
    unsigned h = a->ip * 2654435761u;
    return h ^ (static_cast<unsigned>(a->port) * 40503u) ^ (h >> 15);
}

// What b holds at now, refilled at rate up to full.
static long long refilled(const Bucket* b, int rate, long long full, long long now) {
    long long t = b->tokens;
    if (now > b->when) t += (now - b->when) * rate;
    return t > full ? full : t;
}

// Takes one token from key's bucket in set; 0 when it is empty. A key not in the set takes the
// place of a free entry, else of the one nearest to full (the least is lost by forgetting it: a
// full bucket is as good as none), and starts with start tokens.
static int take(Bucket* set, int rate, int burst, long long start, const NetAddr* key,
                long long now) {
    if (rate <= 0) return 1;
    long long full = 1000LL * burst;
    Bucket* b = nullptr;
    for (int i = 0; i < RELAY_SOURCE_WAYS && b == nullptr; ++i)
        if (set[i].used && net_equal(&set[i].addr, key)) b = &set[i];
    if (b == nullptr) {
        b = &set[0];
        long long most = -1;
        for (int i = 0; i < RELAY_SOURCE_WAYS; ++i) {
            long long t = set[i].used ? refilled(&set[i], rate, full, now) : full + 1;
            if (t > most || (t == most && set[i].when < b->when)) {
                most = t;
                b = &set[i];
            }
        }
        b->used = 1;
        b->addr = *key;
        b->when = now;
        b->tokens = start < full ? start : full;
    }
    b->tokens = refilled(b, rate, full, now);
    b->when = now;
    if (b->tokens < 1000) return 0;
    b->tokens -= 1000;
    return 1;
}

int source_allow(const NetAddr* from, long long now) {
    long long full = 1000LL * relay_config.burst;
    return take(sources[addr_mix(from) % RELAY_SOURCE_SETS], relay_config.rate, relay_config.burst,
                full, from, now);
}

// A host that sends its first group message, or one forgotten, has one: enough for that message,
// while a sender that changes address (or its entry) for every message gets no burst.
int source_allow_group(const NetAddr* from, long long now) {
    NetAddr host = {from->ip, 0};
    return take(group_sources[addr_mix(&host) % RELAY_SOURCE_SETS], relay_config.group_rate,
                relay_config.group_burst, 1000, &host, now);
}

int dest_allow(uint32_t ip, long long now) {
    NetAddr host = {ip, 0};
    long long full = 1000LL * relay_config.dest_burst;
    return take(destinations[addr_mix(&host) % RELAY_DEST_SETS], relay_config.dest_rate,
                relay_config.dest_burst, full, &host, now);
}
