// The state file's rules: its lines written and read, the restore at start, the journal of
// learning events appended per drain, and when the whole file is rewritten.
#include "server/state.h"

#include "server/relay_internal.h"
#include "server/state_fs.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

const char kStateVersionLine[] = "keltup-server-state 1";

enum {
    AGE_DIGITS = 10,       // the longest age read (over 300 years)
    WRITE_CHUNK = 1 << 16, // a rewrite goes out in pieces this large
    READ_CHUNK = 1 << 16,
};

// --- lines -----------------------------------------------------------------------------------

static int needs_escape(unsigned char c) {
    return c <= 0x20 || c == '%' || c >= 0x7F;
}

// One entry's line into out (room for STATE_LINE_MAX); returns its length.
static int format_line(char* out, const char* nick, const NetAddr* addr, long long age_s) {
    static const char hex[] = "0123456789ABCDEF";
    int n = 0;
    for (int i = 0; i < NICK_SIZE - 1 && nick[i] != '\0'; ++i) {
        unsigned char c = static_cast<unsigned char>(nick[i]);
        if (needs_escape(c)) {
            out[n++] = '%';
            out[n++] = hex[c >> 4];
            out[n++] = hex[c & 15];
        } else {
            out[n++] = static_cast<char>(c);
        }
    }
    out[n++] = ' ';
    net_format(addr, out + n, NET_ADDR_TEXT);
    n += static_cast<int>(std::strlen(out + n));
    if (age_s < 0) age_s = 0;
    if (age_s > 9999999999LL) age_s = 9999999999LL;
    n += std::snprintf(out + n, static_cast<size_t>(STATE_LINE_MAX - n), " %lld\n", age_s);
    return n;
}

// Reads a decimal of 1 to `digits` digits at *p and moves past it; 0 when there is none, or it is
// longer or over max.
static int read_number(const char** p, const char* end, int digits, long long max, long long* out) {
    long long v = 0;
    int n = 0;
    while (*p < end && **p >= '0' && **p <= '9') {
        if (++n > digits) return 0;
        v = v * 10 + (**p - '0');
        ++*p;
    }
    if (n == 0 || v > max) return 0;
    *out = v;
    return 1;
}

static int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

struct Entry {
    char nick[NICK_SIZE];
    NetAddr addr;
    long long age_s;
    long long order; // its line's place in the file: a later line is newer news
};

// Parses line[0..len) (no newline) as an entry: a nickname of 1 to 19 bytes from 0x01 to 0x7F,
// an address a host could send from, an age. 0 when it is not one.
static int parse_line(const char* line, int len, Entry* e) {
    const char* p = line;
    const char* end = line + len;
    int n = 0;
    std::memset(e->nick, 0, sizeof e->nick);
    while (p < end && *p != ' ') {
        int c = static_cast<unsigned char>(*p);
        if (c == '%') {
            if (end - p < 3 || hex_digit(p[1]) < 0 || hex_digit(p[2]) < 0) return 0;
            c = hex_digit(p[1]) * 16 + hex_digit(p[2]);
            p += 3;
        } else {
            if (needs_escape(static_cast<unsigned char>(c))) return 0;
            ++p;
        }
        if (c == 0 || c >= 0x80 || n >= NICK_SIZE - 1) return 0;
        e->nick[n++] = static_cast<char>(c);
    }
    if (n == 0 || p >= end || *p++ != ' ') return 0;
    long long part[5];
    for (int i = 0; i < 5; ++i) {
        if (!read_number(&p, end, i < 4 ? 3 : 5, i < 4 ? 255 : 65535, &part[i])) return 0;
        char want = i < 3 ? '.' : i == 3 ? ':' : ' ';
        if (p >= end || *p++ != want) return 0;
    }
    if (!read_number(&p, end, AGE_DIGITS, 9999999999LL, &e->age_s) || p != end) return 0;
    // A source no datagram comes from: port 0, "this host", multicast and broadcast.
    if (part[4] == 0 || part[0] == 0 || part[0] >= 224) return 0;
    e->addr.ip = static_cast<uint32_t>(part[0] << 24 | part[1] << 16 | part[2] << 8 | part[3]);
    e->addr.port = static_cast<uint16_t>(part[4]);
    return 1;
}

// --- restore ---------------------------------------------------------------------------------

static int upper(unsigned char c) {
    return c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c;
}

static int nick_compare(const char* a, const char* b) {
    for (int i = 0; i < NICK_SIZE; ++i) {
        int x = upper(static_cast<unsigned char>(a[i])),
            y = upper(static_cast<unsigned char>(b[i]));
        if (x != y) return x < y ? -1 : 1;
        if (x == 0) return 0;
    }
    return 0;
}

// Newest first: the smallest age, then the later line.
static bool newer(const Entry& a, const Entry& b) {
    return a.age_s != b.age_s ? a.age_s < b.age_s : a.order > b.order;
}

// The entries read so far: at most twice the directory, pruned to its newest when full.
struct Reading {
    Entry* entries;
    long long count, room, lines;
    StateRestore* r;
};

// Keeps each nickname's newest entry, newest first; then at most keep of them.
static void prune(Reading* g, long long keep) {
    std::sort(g->entries, g->entries + g->count, [](const Entry& a, const Entry& b) {
        int c = nick_compare(a.nick, b.nick);
        return c != 0 ? c < 0 : newer(a, b);
    });
    long long n = 0;
    for (long long i = 0; i < g->count; ++i)
        if (n == 0 || nick_compare(g->entries[n - 1].nick, g->entries[i].nick) != 0)
            g->entries[n++] = g->entries[i];
    std::sort(g->entries, g->entries + n, newer);
    if (n > keep) {
        g->r->no_room += n - keep;
        n = keep;
    }
    g->count = n;
}

static void take_line(Reading* g, const char* line, int len) {
    long long at = g->lines++;
    if (at == 0 && len == static_cast<int>(sizeof kStateVersionLine) - 1 &&
        std::memcmp(line, kStateVersionLine, static_cast<size_t>(len)) == 0)
        return;
    if (g->entries == nullptr) return;
    Entry* e = &g->entries[g->count];
    if (!parse_line(line, len, e)) {
        ++g->r->damaged;
        return;
    }
    e->order = at;
    if (++g->count == g->room) prune(g, relay_config.max_users);
}

static void begin_reading(Reading* g, StateRestore* r) {
    std::memset(r, 0, sizeof *r);
    g->r = r;
    g->count = g->lines = 0;
    g->room = 2LL * relay_config.max_users + RELAY_BATCH;
    g->entries = static_cast<Entry*>(std::malloc(sizeof(Entry) * static_cast<size_t>(g->room)));
    if (g->entries == nullptr) relay_log(LOG_QUIET, "no memory to read the state file");
}

// Puts the newest entries in the directory, the newest first.
static void end_reading(Reading* g, long long now) {
    if (g->entries == nullptr) return;
    prune(g, g->count);
    for (long long i = 0; i < g->count; ++i) {
        const Entry* e = &g->entries[i];
        int put = directory_restore(e->nick, &e->addr, now - e->age_s * 1000);
        if (put == RESTORED) ++g->r->restored;
        if (put == NO_ROOM) ++g->r->no_room;
    }
    std::free(g->entries);
    g->entries = nullptr;
}

// Splits text into lines, carrying a line cut by the end of a piece in `held`. A line longer than
// STATE_LINE_MAX is damaged; so is a last one without its newline (a write cut short).
struct Splitter {
    char held[STATE_LINE_MAX];
    int len;
    int too_long;
};

static void split(Reading* g, Splitter* s, const char* data, size_t size) {
    for (size_t i = 0; i < size; ++i) {
        char c = data[i];
        if (c != '\n') {
            if (s->len < STATE_LINE_MAX)
                s->held[s->len++] = c;
            else
                s->too_long = 1;
            continue;
        }
        if (s->too_long) {
            ++g->lines;
            ++g->r->damaged;
        } else {
            take_line(g, s->held, s->len);
        }
        s->len = 0;
        s->too_long = 0;
    }
}

static void split_end(Reading* g, Splitter* s) {
    if (s->len > 0 || s->too_long) ++g->r->damaged;
    s->len = 0;
    s->too_long = 0;
}

void state_restore_text(const char* data, size_t size, long long now, StateRestore* r) {
    Reading g;
    static Splitter s;
    begin_reading(&g, r);
    std::memset(&s, 0, sizeof s);
    split(&g, &s, data, size);
    split_end(&g, &s);
    end_reading(&g, now);
}

// --- the running file ------------------------------------------------------------------------

static char state_path[FS_PATH_SIZE];
static int active;
static long long journal = FS_NONE; // the file as last renamed into place, appended to
static int journal_broken;          // a write to it failed: nothing more is appended to it
static char pending[RELAY_BATCH * STATE_LINE_MAX];
static int pending_len, pending_lines;
static int unsynced;
static long long sync_due, next_compact, retry_after;
static int changed;             // learned since the last rewrite
static long long heard_mark;    // messages handled at the last rewrite
static long long journal_lines; // appended since the last rewrite
static long long compacted_ms = -1;
static long long write_errors, compactions, journalled;
static int failing;
static long long warned_ms;
static StateRestore at_start;

static long long messages_handled() {
    return relay_stats.delivered + relay_stats.unknown;
}

static void write_failed(long long now, const char* what) {
    ++write_errors;
    if (!failing || now - warned_ms >= STATE_WARN_MS) {
        warned_ms = now;
        relay_log(LOG_QUIET,
                  "state file %s: %s: %s; relaying goes on from memory (%lld write errors so far)",
                  state_path, what, fs_error(), write_errors);
    }
    failing = 1;
}

static void write_worked() {
    if (failing) relay_log(LOG_NORMAL, "state file %s written again", state_path);
    failing = 0;
}

// Rewrites the whole file beside itself and renames it over the old one, which stays as it was
// until then. Returns 1 when the new file is in place.
static int compact(long long now) {
    static char tmp[FS_PATH_SIZE];
    static char chunk[WRITE_CHUNK];
    pending_len = pending_lines = 0; // what they held is in the directory, so in this
    long long h = fs_create_beside(state_path, 0600, tmp, sizeof tmp);
    int ok = h != FS_NONE;
    size_t used = 0;
    if (ok)
        used = static_cast<size_t>(std::snprintf(chunk, sizeof chunk, "%s\n", kStateVersionLine));
    for (int i = 0; ok && i < relay_user_slots(); ++i) {
        const RelayUser* u = relay_user_at(i);
        if (u == nullptr || u->pinned) continue;
        if (sizeof chunk - used < STATE_LINE_MAX) {
            ok = fs_write(h, chunk, used);
            used = 0;
        }
        used += static_cast<size_t>(
            format_line(chunk + used, u->nick, &u->addr, (now - u->seen) / 1000));
    }
    ok = ok && fs_write(h, chunk, used) && fs_sync(h);
    int placed = ok ? fs_replace(tmp, state_path, 1) : 0;
    retry_after = 0;
    if (placed == 0) {
        if (h != FS_NONE) {
            fs_close(h);
            fs_remove(tmp);
        }
        write_failed(now, "cannot write it");
        retry_after = now + STATE_RETRY_MS;
        next_compact = now + STATE_RETRY_MS;
        return 0;
    }
    fs_close(journal);
    journal = h;
    journal_broken = 0;
    unsynced = 0;
    journal_lines = 0;
    changed = 0;
    heard_mark = messages_handled();
    compacted_ms = now;
    ++compactions;
    next_compact = now + STATE_COMPACT_MS;
    if (placed == 2) {
        write_failed(now, "renamed into place");
        next_compact = retry_after = now + STATE_RETRY_MS;
        return 1;
    }
    write_worked();
    return 1;
}

void state_open(const char* path, long long now) {
    active = 0;
    std::memset(&at_start, 0, sizeof at_start);
    if (path == nullptr) return;
    std::snprintf(state_path, sizeof state_path, "%s", path);
    active = 1;
    changed = 0;
    pending_len = pending_lines = 0;
    journal_lines = 0;
    failing = 0;
    compacted_ms = -1;
    write_errors = compactions = journalled = 0;
    fs_remove_leftovers_beside(path);
    int missing = 0;
    long long h = fs_open_read(path, &missing);
    if (h == FS_NONE && missing) {
        relay_log(LOG_NORMAL, "no state file at %s yet: starting with an empty directory", path);
    } else if (h == FS_NONE) {
        relay_log(LOG_QUIET, "state file %s: %s; starting with an empty directory", path,
                  fs_error());
    } else {
        Reading g;
        static Splitter s;
        static char buf[READ_CHUNK];
        begin_reading(&g, &at_start);
        std::memset(&s, 0, sizeof s);
        long long n;
        while ((n = fs_read(h, buf, sizeof buf)) > 0)
            split(&g, &s, buf, static_cast<size_t>(n));
        if (n < 0)
            relay_log(LOG_QUIET, "state file %s: %s; what came before is restored", path,
                      fs_error());
        fs_close(h);
        split_end(&g, &s);
        end_reading(&g, now);
        char room[160] = "";
        if (at_start.no_room > 0)
            std::snprintf(room, sizeof room,
                          "; left out %lld older for want of room (--max-users %d, "
                          "--max-users-per-address %d)",
                          at_start.no_room, relay_config.max_users, relay_config.max_per_address);
        relay_log(LOG_NORMAL, "restored %lld nickname%s from %s; skipped %lld damaged line%s%s",
                  at_start.restored, at_start.restored == 1 ? "" : "s", path, at_start.damaged,
                  at_start.damaged == 1 ? "" : "s", room);
    }
    compact(now);
}

void state_note(const RelayUser* u) {
    if (!active) return;
    changed = 1;
    // While rewrites fail, the appended lines stop at a bound: the file never grows without one.
    if (journal_broken || journal == FS_NONE || journal_lines >= 4LL * relay_config.max_users)
        return;
    if (static_cast<int>(sizeof pending) - pending_len < STATE_LINE_MAX) state_flush(u->seen);
    pending_len += format_line(pending + pending_len, u->nick, &u->addr, 0);
    ++pending_lines;
}

void state_flush(long long now) {
    if (pending_len == 0) return;
    if (!journal_broken && journal != FS_NONE) {
        if (fs_write(journal, pending, static_cast<size_t>(pending_len))) {
            journal_lines += pending_lines;
            journalled += pending_lines;
            if (!unsynced) sync_due = now + STATE_SYNC_MS;
            unsynced = 1;
        } else {
            // It may end in part of a line now: the next rewrite replaces it.
            journal_broken = 1;
            write_failed(now, "cannot append to it");
            next_compact = retry_after = now + STATE_RETRY_MS;
        }
    }
    pending_len = pending_lines = 0;
}

long long state_tick(long long now) {
    if (!active) return LLONG_MAX;
    if (unsynced && now >= sync_due) {
        unsynced = 0;
        if (!fs_sync(journal)) {
            journal_broken = 1;
            write_failed(now, "cannot sync it");
            next_compact = retry_after = now + STATE_RETRY_MS;
        }
    }
    // The ages in the file grow stale while the relay runs idle: they are brought up to date
    // while some lease they decide may still be running.
    long long newest = directory_newest_heard();
    int live = newest != LLONG_MIN && now - newest < relay_config.lease_ms + STATE_COMPACT_MS;
    int due = now >= next_compact &&
              (changed || journal_broken || failing || live || messages_handled() != heard_mark);
    // A flood of new nicknames is rewritten before the journal outgrows the directory.
    if (journal_lines >= relay_config.max_users && now >= retry_after) due = 1;
    if (due)
        compact(now);
    else if (now >= next_compact)
        next_compact = now + STATE_COMPACT_MS; // nothing to do: look again in a minute
    long long wake = next_compact;
    if (unsynced && sync_due < wake) wake = sync_due;
    return wake;
}

void state_compact_now(long long now) {
    if (active) compact(now);
}

void state_close(long long now) {
    if (!active) return;
    compact(now);
    fs_close(journal);
    journal = FS_NONE;
    active = 0;
}

void state_report(StateReport* r) {
    r->path = active ? state_path : nullptr;
    r->compact_ms = compacted_ms;
    r->at_start = at_start;
    r->write_errors = write_errors;
    r->compactions = compactions;
    r->journalled = journalled;
    r->failing = failing;
}
