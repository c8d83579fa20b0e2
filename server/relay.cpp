// The relay's configuration, counters and log, and the life of its tables: allocation once at
// start for the configured number of nicknames, and clearing.
#include "server/relay_internal.h"

#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#ifndef _WIN32
#include <sys/mman.h>
#endif

const char* const kDropNames[DROP_REASONS] = {
    "short", "oversized", "foreign", "wrong kind", "looped", "rate-limited", "refused control"};
const char* const kGroupRefusalNames[GROUP_REFUSALS] = {"not member", "over rate", "busy",
                                                        "group name"};

RelayConfig relay_config = {RELAY_DEFAULT_LEASE_S * 1000LL,
                            RELAY_DEFAULT_RATE,
                            RELAY_DEFAULT_RATE* RELAY_BURST_FACTOR,
                            LOG_NORMAL,
                            RELAY_MAX_USERS,
                            RELAY_DEFAULT_PER_ADDRESS,
                            RELAY_DEFAULT_GROUP_SIZE,
                            RELAY_DEFAULT_GROUP_RATE,
                            RELAY_DEFAULT_GROUP_BURST,
                            RELAY_DEFAULT_DEST_RATE,
                            RELAY_DEFAULT_DEST_BURST};
RelayStats relay_stats;

static long long table_bytes, directory_bytes, resend_bytes;
static int sized_for; // relay_config.max_users the tables were made for
static long long logged_drops;
void (*relay_log_sink)(int level, const char* line);

void relay_log(int level, const char* format, ...) {
    if (level > relay_config.log_level) return;
    char line[1400];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    if (relay_log_sink != nullptr) {
        relay_log_sink(level, line);
        return;
    }
    std::fprintf(stderr, "keltup-server: %s\n", line);
    std::fflush(stderr);
}

const char* relay_printable(const char* text, int field, char* out, int size) {
    int n = 0;
    for (; n < field && n < size - 1 && text[n] != '\0'; ++n) {
        unsigned char c = static_cast<unsigned char>(text[n]);
        out[n] = (c < 0x20 || c >= 0x7F) ? '?' : static_cast<char>(c);
    }
    out[n] = '\0';
    return out;
}

// --- the tables ------------------------------------------------------------------------------

unsigned relay_power_of_two(unsigned long long n) {
    unsigned p = 1;
    while (p < n)
        p <<= 1;
    return p;
}

// A zeroed table, resident from now on rather than on first use, so the relay's size is known
// from its start. Large ones in huge pages where the system has them: the lookups land anywhere
// in them, and with small pages nearly each would miss the address translation cache.
void* relay_table(size_t bytes, int* failed) {
    const size_t huge = 2u << 20;
    void* p = nullptr;
#ifndef _WIN32
    if (bytes >= huge) {
        size_t whole = (bytes + huge - 1) / huge * huge;
        p = std::aligned_alloc(huge, whole);
#ifdef MADV_HUGEPAGE
        if (p != nullptr) madvise(p, whole, MADV_HUGEPAGE);
#endif
    } else {
        p = std::malloc(bytes);
    }
#else
    // No aligned_alloc whose memory std::free takes back here.
    (void)huge;
    p = std::malloc(bytes);
#endif
    if (p == nullptr) {
        *failed = 1;
        return nullptr;
    }
    std::memset(p, 0, bytes);
    return p;
}

static void free_tables() {
    directory_free();
    resend_free();
    sized_for = 0;
    table_bytes = directory_bytes = resend_bytes = 0;
}

int relay_init(char* err, int err_size) {
    int n = relay_config.max_users;
    if (n < 1 || n > RELAY_MAX_USERS_LIMIT) {
        if (err != nullptr && err_size > 0)
            std::snprintf(err, static_cast<size_t>(err_size),
                          "the directory must have 1 to %d slots, not %d", RELAY_MAX_USERS_LIMIT,
                          n);
        return 0;
    }
    if (sized_for != n) {
        free_tables();
        long long host_bytes = 0;
        int made = directory_alloc(n, &directory_bytes, &host_bytes);
        made = resend_alloc(n, &resend_bytes) && made;
        table_bytes = directory_bytes + resend_bytes + host_bytes;
        if (!made) {
            if (err != nullptr && err_size > 0)
                std::snprintf(err, static_cast<size_t>(err_size),
                              "cannot allocate the tables for %d nicknames (%lld MiB)", n,
                              table_bytes >> 20);
            free_tables();
            return 0;
        }
        sized_for = n;
    }
    // The drain's buffers too, so that a first burst does not add to the resident size.
    drain_clear();
    relay_reset();
    return 1;
}

long long relay_table_bytes() {
    return table_bytes;
}

long long relay_directory_bytes() {
    return directory_bytes;
}

long long relay_resend_bytes() {
    return resend_bytes;
}

void relay_reset() {
    if (sized_for != relay_config.max_users) {
        char err[200];
        if (!relay_init(err, sizeof err)) {
            relay_log(LOG_QUIET, "%s", err);
            std::abort();
        }
        return; // relay_init came back here with the tables made
    }
    directory_clear();
    resend_clear();
    sources_clear();
    handle_clear();
    groups_clear();
    std::memset(&relay_stats, 0, sizeof relay_stats);
    logged_drops = 0;
}

long long relay_dropped_total() {
    long long total = 0;
    for (int i = 0; i < DROP_REASONS; ++i)
        total += relay_stats.dropped[i];
    return total;
}

void relay_log_drops(int final) {
    long long total = relay_dropped_total();
    if (!final && total == logged_drops) return;
    logged_drops = total;
    char line[400];
    int used = std::snprintf(line, sizeof line, "%lld dropped in all", total);
    for (int i = 0; i < DROP_REASONS; ++i)
        if (relay_stats.dropped[i] != 0 && used < static_cast<int>(sizeof line))
            used += std::snprintf(line + used, sizeof line - static_cast<size_t>(used), ", %lld %s",
                                  relay_stats.dropped[i], kDropNames[i]);
    relay_log(LOG_NORMAL, "%s", line);
}
