// Per-source token buckets: how many datagrams each address may have handled, sustained and
// at once.
#include "server/relay_internal.h"

#include <cstring>

struct Source {
    NetAddr addr;
    long long when;   // last refill
    long long tokens; // thousandths of a datagram
    int used;
};
static Source sources[RELAY_SOURCE_SETS][RELAY_SOURCE_WAYS];
static Source group_sources[RELAY_SOURCE_SETS][RELAY_SOURCE_WAYS];

void sources_clear() {
    std::memset(sources, 0, sizeof sources);
    std::memset(group_sources, 0, sizeof group_sources);
}

static unsigned addr_mix(const NetAddr* a) {
    unsigned h = a->ip * 2654435761u;
    return h ^ (static_cast<unsigned>(a->port) * 40503u) ^ (h >> 15);
}

static int take(Source (*table)[RELAY_SOURCE_WAYS], int rate, int burst, const NetAddr* from,
                long long now) {
    if (rate <= 0) return 1;
    Source* set = table[addr_mix(from) % RELAY_SOURCE_SETS];
    Source* s = nullptr;
    for (int i = 0; i < RELAY_SOURCE_WAYS && s == nullptr; ++i)
        if (set[i].used && net_equal(&set[i].addr, from)) s = &set[i];
    long long full = 1000LL * burst;
    if (s == nullptr) {
        s = &set[0];
        for (int i = 0; i < RELAY_SOURCE_WAYS; ++i) {
            if (!set[i].used) {
                s = &set[i];
                break;
            }
            if (set[i].when < s->when) s = &set[i];
        }
        s->used = 1;
        s->addr = *from;
        s->when = now;
        s->tokens = full;
    }
    if (now > s->when) {
        s->tokens += (now - s->when) * rate;
        if (s->tokens > full) s->tokens = full;
    }
    s->when = now;
    if (s->tokens < 1000) return 0;
    s->tokens -= 1000;
    return 1;
}

int source_allow(const NetAddr* from, long long now) {
    return take(sources, relay_config.rate, relay_config.burst, from, now);
}

int source_allow_group(const NetAddr* from, long long now) {
    return take(group_sources, relay_config.group_rate, relay_config.group_burst, from, now);
}
