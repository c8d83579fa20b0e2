// The state file's rules: its lines written and read, the restore at start, the journal of
// learning events appended per drain, and when the whole file is rewritten.
#include "server/state.h"

#include "server/relay_internal.h"
#include "server/state_fs.h"
#include "server/thread.h"

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
//
// The loop keeps the journal: what the directory learned is appended to the file in place
// (state_flush) before the drain's answers go out. A rewrite has two halves. The loop copies the
// directory into a snapshot, a slice per turn, so that no turn waits for all of it; the writer
// thread writes the snapshot to a new file beside the old one, syncs it and renames it over the
// old one. Lines appended from the snapshot's start on are also kept in `carry` and go into the
// new file before its rename; while it is renamed, they go to both files. Whichever file is in
// place when the relay is killed holds every line appended before an answer left.

enum {
    SNAP_SLICE = 32768,   // slots copied per turn of the loop
    CARRY_SIZE = 1 << 21, // bytes of lines kept while a rewrite is under way; more: done again
    POLL_MS = 10,         // how often the loop looks for the writer's result
};

struct Snap {
    char nick[NICK_SIZE];
    NetAddr addr;
    long long seen;
};

int state_writer_thread = 1;

// The loop's own.
static char state_path[FS_PATH_SIZE];
static int active;
static int unread; // the file could not be read: it is left as it is until it can be
static char pending[RELAY_BATCH * STATE_LINE_MAX];
static int pending_len, pending_lines;
static int unsynced;
static long long sync_due, next_compact, retry_after;
static int changed;             // learned since the last rewrite began
static int forced;              // a rewrite was asked for while one was under way
static long long heard_mark;    // messages handled when the last rewrite began
static long long journal_lines; // appended since the last rewrite
static long long compacted_ms = -1;
static long long write_errors, compactions, journalled;
static int failing;
static long long warned_ms;
static StateRestore at_start;
static Snap* snap; // room for max_users entries, allocated once
static long long snap_room;
static long long snap_count;      // copied so far
static int snap_at = -1;          // the next slot to copy; -1: no snapshot being taken
static long long snap_now;        // the time the snapshot was finished (ages are from it)
static int rewriting;             // from a snapshot's start to its result
static int syncing;               // a journal sync was asked for and not yet looked at done
static long long rewrite_started; // when the rewrite under way began
static long long writer = THREAD_NONE;

// Shared with the writer, under thread_lock().
static long long journal = FS_NONE;      // the file in place, appended to
static long long journal_also = FS_NONE; // the new file while it is renamed
static int journal_broken;               // a write to it failed: nothing more is appended
static char* carry;
static size_t carry_len;
static int carry_on, carry_over;
static int job_rewrite, job_stop, job_done; // asked of the writer, and its answer
static int sync_wanted, sync_served;        // journal syncs asked for and done, counted
static int result_placed;                   // fs_replace's answer, -1: carry overflowed
static int sync_failed;
static char result_error[400], sync_error[400];

static long long messages_handled() {
    return relay_stats.delivered + relay_stats.unknown;
}

static void write_failed(long long now, const char* what, const char* why) {
    ++write_errors;
    if (!failing || now - warned_ms >= STATE_WARN_MS) {
        warned_ms = now;
        relay_log(LOG_QUIET,
                  "state file %s: %s: %s; relaying goes on from memory (%lld write errors so far)",
                  state_path, what, why, write_errors);
    }
    failing = 1;
}

static void write_worked() {
    if (failing) relay_log(LOG_NORMAL, "state file %s written again", state_path);
    failing = 0;
}

// --- the writer's half ---

// Writes the snapshot to a new file and puts it in place of the old one, as said above; the
// answer in result_placed (and result_error), job_done set. Runs in the writer thread, or in
// the loop when there is none.
static void write_snapshot() {
    static char tmp[FS_PATH_SIZE];
    static char chunk[WRITE_CHUNK];
    long long h = fs_create_beside(state_path, 0600, tmp, sizeof tmp);
    int ok = h != FS_NONE;
    size_t used = 0;
    if (ok)
        used = static_cast<size_t>(std::snprintf(chunk, sizeof chunk, "%s\n", kStateVersionLine));
    for (long long i = 0; ok && i < snap_count; ++i) {
        if (sizeof chunk - used < STATE_LINE_MAX) {
            ok = fs_write(h, chunk, used);
            used = 0;
        }
        const Snap* s = &snap[i];
        used += static_cast<size_t>(
            format_line(chunk + used, s->nick, &s->addr, (snap_now - s->seen) / 1000));
    }
    ok = ok && fs_write(h, chunk, used) && fs_sync(h);
    // The lines the loop kept meanwhile; from here on it appends to both files.
    thread_lock();
    int over = carry_over;
    ok = ok && !over && (carry_len == 0 || fs_write(h, carry, carry_len));
    if (ok) journal_also = h;
    carry_on = carry_over = 0;
    carry_len = 0;
    thread_unlock();
    int placed = ok && fs_sync(h) ? fs_replace(tmp, state_path, 1) : 0;
    // The loop is done with whichever file is no longer in place before it is closed.
    thread_lock();
    long long old = placed != 0 ? journal : h;
    journal_also = FS_NONE;
    if (placed != 0) {
        journal = h;
        journal_broken = 0;
    }
    result_placed = over ? -1 : placed;
    std::snprintf(result_error, sizeof result_error, "%s", fs_error());
    thread_unlock();
    fs_close(old);
    if (placed == 0 && h != FS_NONE) fs_remove(tmp);
    thread_lock();
    job_done = 1;
    thread_wake();
    thread_unlock();
}

static void sync_journal() {
    thread_lock();
    long long h = journal;
    thread_unlock();
    if (h == FS_NONE || fs_sync(h)) return;
    thread_lock();
    sync_failed = 1;
    std::snprintf(sync_error, sizeof sync_error, "%s", fs_error());
    thread_unlock();
}

static void writer_run() {
    thread_lock();
    for (;;) {
        while (!job_rewrite && sync_served == sync_wanted && !job_stop)
            thread_wait();
        if (sync_served != sync_wanted) {
            int serving = sync_wanted;
            thread_unlock();
            sync_journal();
            thread_lock();
            sync_served = serving;
        } else if (job_rewrite) {
            job_rewrite = 0;
            thread_unlock();
            write_snapshot();
            thread_lock();
        } else {
            break;
        }
    }
    thread_unlock();
}

// --- the loop's half ---

// Takes the writer's answer about the rewrite under way, waiting for it when wait is set.
static void collect(long long now, int wait) {
    if (!rewriting && !syncing) return; // the writer has nothing to tell: no lock taken
    thread_lock();
    if (sync_served == sync_wanted) syncing = 0; // its failure, if any, is read below
    while (wait && rewriting && !job_done)
        thread_wait();
    int done = job_done, placed = result_placed, sync_bad = sync_failed;
    static char why[sizeof result_error];
    std::snprintf(why, sizeof why, "%s", done ? result_error : sync_error);
    job_done = sync_failed = 0;
    if (sync_bad) journal_broken = 1;
    thread_unlock();
    if (sync_bad) {
        write_failed(now, "cannot sync it", why);
        next_compact = retry_after = now + STATE_RETRY_MS;
    }
    if (!done) return;
    rewriting = 0;
    retry_after = 0;
    if (placed < 0) { // too much learned meanwhile: again at once
        next_compact = now;
        forced = 1;
        return;
    }
    if (placed == 0) {
        write_failed(now, "cannot write it", why);
        retry_after = next_compact = now + STATE_RETRY_MS;
        changed = 1;
        return;
    }
    unsynced = 0;
    journal_lines = 0;
    compacted_ms = rewrite_started;
    ++compactions;
    next_compact = forced ? now : rewrite_started + STATE_COMPACT_MS;
    if (next_compact < now) next_compact = now;
    if (placed == 2) {
        write_failed(now, "renamed into place", why);
        next_compact = retry_after = now + STATE_RETRY_MS;
        return;
    }
    write_worked();
}

// Copies up to `slots` more directory slots into the snapshot; when it is whole, hands it to
// the writer (or writes it here when there is none).
static void take_snapshot(long long now, int slots) {
    int end = relay_user_slots();
    int stop = end - snap_at > slots ? snap_at + slots : end;
    for (; snap_at < stop; ++snap_at) {
        const RelayUser* u = relay_user_at(snap_at);
        if (u == nullptr || u->pinned || snap_count >= snap_room) continue;
        Snap* s = &snap[snap_count++];
        std::memcpy(s->nick, u->nick, NICK_SIZE);
        s->addr = u->addr;
        s->seen = u->seen;
    }
    if (snap_at < relay_user_slots()) return;
    snap_at = -1;
    snap_now = now;
    if (writer == THREAD_NONE) {
        write_snapshot();
        collect(now, 0);
        return;
    }
    thread_lock();
    job_rewrite = 1;
    thread_wake();
    thread_unlock();
}

// Reads the file at path into the directory at now; *status: 1 read, 0 nothing there, -1 it
// could not be read (all or part of it). Logs one line.
static void read_state(const char* path, long long now, int* status) {
    int missing = 0;
    long long h = fs_open_read(path, &missing);
    if (h == FS_NONE) {
        *status = missing ? 0 : -1;
        if (missing)
            relay_log(LOG_NORMAL, "no state file at %s yet: starting with an empty directory",
                      path);
        else
            relay_log(LOG_QUIET,
                      "state file %s: %s; relaying from memory, the file left as it is until it "
                      "can be read",
                      path, fs_error());
        return;
    }
    Reading g;
    static Splitter s;
    static char buf[READ_CHUNK];
    begin_reading(&g, &at_start);
    std::memset(&s, 0, sizeof s);
    long long n;
    while ((n = fs_read(h, buf, sizeof buf)) > 0)
        split(&g, &s, buf, static_cast<size_t>(n));
    *status = n < 0 ? -1 : 1;
    if (n < 0)
        relay_log(LOG_QUIET,
                  "state file %s: %s; what came before is restored, the file left as it is "
                  "until it can be read",
                  path, fs_error());
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

// Starts a rewrite at now; with whole, takes the snapshot at once and waits for the file to be
// in place. A file that could not be read is read again first, and left alone while it still
// cannot be.
static void rewrite(long long now, int whole) {
    if (rewriting) {
        forced = 1;
        if (!whole) return;
        if (snap_at >= 0) take_snapshot(now, INT_MAX);
        collect(now, 1);
    }
    if (unread) {
        int status = 0;
        read_state(state_path, now, &status);
        if (status < 0) {
            next_compact = retry_after = now + STATE_COMPACT_MS;
            return;
        }
        unread = 0;
    }
    rewriting = 1;
    forced = 0;
    changed = 0;
    rewrite_started = now;
    heard_mark = messages_handled();
    thread_lock();
    carry_on = 1;
    carry_len = 0;
    carry_over = 0;
    thread_unlock();
    snap_count = 0;
    snap_at = 0;
    take_snapshot(now, whole ? INT_MAX : SNAP_SLICE);
    if (whole) collect(now, 1);
}

void state_open(const char* path, long long now) {
    active = 0;
    std::memset(&at_start, 0, sizeof at_start);
    if (path == nullptr) return;
    std::snprintf(state_path, sizeof state_path, "%s", path);
    changed = forced = rewriting = 0;
    snap_at = -1;
    pending_len = pending_lines = 0;
    journal_lines = 0;
    failing = 0;
    compacted_ms = -1;
    write_errors = compactions = journalled = 0;
    job_rewrite = job_stop = job_done = sync_failed = 0;
    sync_wanted = sync_served = syncing = 0;
    journal_broken = 0;
    if (snap_room != relay_config.max_users) {
        std::free(snap);
        snap_room = relay_config.max_users;
        snap = static_cast<Snap*>(std::malloc(sizeof(Snap) * static_cast<size_t>(snap_room)));
    }
    if (carry == nullptr) carry = static_cast<char*>(std::malloc(CARRY_SIZE));
    if (snap == nullptr || carry == nullptr) {
        relay_log(LOG_QUIET, "no memory to keep the state file %s: relaying from memory", path);
        return;
    }
    active = 1;
    fs_remove_leftovers_beside(path);
    int status = 0;
    read_state(path, now, &status);
    unread = status < 0;
    if (state_writer_thread) writer = thread_start(writer_run);
    if (unread) {
        failing = 1;
        next_compact = retry_after = now + STATE_COMPACT_MS;
        return;
    }
    rewrite(now, 1);
}

void state_note(const RelayUser* u) {
    if (!active) return;
    changed = 1;
    // While rewrites fail, the appended lines stop at a bound: the file never grows without one.
    if (unread || journal_lines >= 4LL * relay_config.max_users) return;
    if (static_cast<int>(sizeof pending) - pending_len < STATE_LINE_MAX) state_flush(u->seen);
    pending_len += format_line(pending + pending_len, u->nick, &u->addr, 0);
    ++pending_lines;
}

void state_flush(long long now) {
    if (pending_len == 0) return;
    size_t len = static_cast<size_t>(pending_len);
    thread_lock();
    int wrote = 0, broke = 0;
    if (!journal_broken && journal != FS_NONE) {
        wrote = fs_write(journal, pending, len);
        // It may end in part of a line now: the next rewrite replaces it.
        broke = !wrote;
        journal_broken = broke;
    }
    // Also a broken one: the new file takes its place, and the next rewrite mends it.
    if (journal_also != FS_NONE && !fs_write(journal_also, pending, len)) journal_broken = 1;
    if (carry_on && carry_len + len <= CARRY_SIZE) {
        std::memcpy(carry + carry_len, pending, len);
        carry_len += len;
    } else if (carry_on) {
        carry_over = 1;
    }
    thread_unlock();
    if (wrote) {
        journal_lines += pending_lines;
        journalled += pending_lines;
        if (!unsynced) sync_due = now + STATE_SYNC_MS;
        unsynced = 1;
    }
    if (broke) {
        write_failed(now, "cannot append to it", fs_error());
        next_compact = retry_after = now + STATE_RETRY_MS;
    }
    pending_len = pending_lines = 0;
}

long long state_tick(long long now) {
    if (!active) return LLONG_MAX;
    collect(now, 0);
    if (unsynced && now >= sync_due) {
        unsynced = 0;
        if (writer == THREAD_NONE) {
            sync_journal();
            syncing = 1;
            collect(now, 0);
        } else {
            syncing = 1;
            thread_lock();
            ++sync_wanted;
            thread_wake();
            thread_unlock();
        }
    }
    if (rewriting) {
        if (snap_at >= 0) take_snapshot(now, SNAP_SLICE);
        if (rewriting) return snap_at >= 0 ? now : now + POLL_MS;
    }
    // The ages in the file grow stale while the relay runs idle: they are brought up to date
    // while some lease they decide may still be running.
    long long newest = directory_newest_heard();
    int live = newest != LLONG_MIN && now - newest < relay_config.lease_ms + STATE_COMPACT_MS;
    int broken = journal_broken; // only the loop writes it while no rewrite is under way
    int due = now >= next_compact &&
              (changed || forced || broken || failing || live || messages_handled() != heard_mark);
    // A flood of new nicknames is rewritten before the journal outgrows the directory.
    if (journal_lines >= relay_config.max_users && now >= retry_after) due = 1;
    if (due) {
        rewrite(now, 0);
        if (rewriting) return snap_at >= 0 ? now : now + POLL_MS;
    } else if (now >= next_compact) {
        next_compact = now + STATE_COMPACT_MS; // nothing to do: look again in a minute
    }
    long long wake = next_compact;
    if (unsynced && sync_due < wake) wake = sync_due;
    return wake;
}

void state_compact_now(long long now) {
    if (active) rewrite(now, 0);
}

void state_close(long long now) {
    if (!active) return;
    rewrite(now, 1);
    if (unread)
        relay_log(LOG_QUIET, "state file %s left as it was: the nicknames learned are not kept",
                  state_path);
    if (writer != THREAD_NONE) {
        thread_lock();
        job_stop = 1;
        thread_wake();
        thread_unlock();
        thread_join(writer);
        writer = THREAD_NONE;
    }
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
