// The relay's state file: any bytes as its text, read into a directory of 64 slots that lists one
// user and lets a host hold 8 nicknames. Restored are only nicknames of 1 to 19 bytes from 0x01
// to 0x7F, each once, at an address a datagram can come from, heard no later than now; never more
// than the slots or a host's share; the listed user stays as listed; the counts add up.
#include "fuzz/fuzz_input.h"
#include "server/relay.h"
#include "server/state.h"

#include <algorithm>
#include <cstring>

namespace {

const NetAddr kListed = {0x0A000001u, 4001};
const long long kNow = 3600000;

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    relay_config.log_level = LOG_QUIET;
    relay_config.max_users = 64;
    relay_config.max_per_address = 8;
    char err[200] = "";
    if (!relay_init(err, sizeof err)) fuzz_fail("relay_init: %s", err);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    relay_reset();
    relay_pin("ALICE", &kListed);
    StateRestore r;
    state_restore_text(reinterpret_cast<const char*>(data), size, kNow, &r);

    long long lines = std::count(data, data + size, '\n') + (size > 0 && data[size - 1] != '\n');
    if (r.restored + r.damaged + r.no_room > lines)
        fuzz_fail("%lld restored, %lld damaged and %lld left out of %lld lines", r.restored,
                  r.damaged, r.no_room, lines);
    if (relay_user_count() > relay_config.max_users)
        fuzz_fail("%d users in %d slots", relay_user_count(), relay_config.max_users);
    long long learned = 0;
    for (int i = 0; i < relay_user_slots(); ++i) {
        const RelayUser* u = relay_user_at(i);
        if (u == nullptr) continue;
        if (u->pinned) {
            if (std::strcmp(u->nick, "ALICE") != 0 || !net_equal(&u->addr, &kListed))
                fuzz_fail("the listed user became %s", u->nick);
            continue;
        }
        ++learned;
        size_t n = strnlen(u->nick, NICK_SIZE);
        if (n == 0 || n > NICK_SIZE - 1) fuzz_fail("a nickname of %zu bytes", n);
        for (size_t k = 0; k < n; ++k)
            if (static_cast<unsigned char>(u->nick[k]) >= 0x80)
                fuzz_fail("a nickname holding byte 0x%02X", static_cast<unsigned char>(u->nick[k]));
        if (relay_find(u->nick) != u) fuzz_fail("%s restored twice", u->nick);
        unsigned first = u->addr.ip >> 24;
        if (u->addr.port == 0 || first == 0 || first >= 224)
            fuzz_fail("%s at %u.x.x.x port %u", u->nick, first, u->addr.port);
        if (u->seen > kNow) fuzz_fail("%s heard in the future", u->nick);
        int same_host = 0;
        for (int j = 0; j < relay_user_slots(); ++j) {
            const RelayUser* v = relay_user_at(j);
            same_host += v != nullptr && !v->pinned && v->addr.ip == u->addr.ip;
        }
        if (same_host > relay_config.max_per_address)
            fuzz_fail("%d nicknames on one host", same_host);
    }
    if (learned != r.restored)
        fuzz_fail("%lld restored, %lld in the directory", r.restored, learned);
    return 0;
}
