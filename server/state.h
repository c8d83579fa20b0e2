// The relay's state file: the directory it learned from traffic, kept on disk so that a restart
// forgets nobody. Portable rules only (the format, its reading, what is journalled and when the
// file is rewritten); the file-system calls are behind state_fs.h.
//
// The file is text: a version line, then a line per learned nickname,
//   NICK ADDRESS AGE
// NICK with '%XX' for '%' and bytes outside '!'..'~', ADDRESS a.b.c.d:port, AGE the seconds since
// it was last heard, counted while the relay ran. Learning events are appended as they happen
// (AGE 0); the whole file is rewritten beside itself and renamed over the old one at a clean stop,
// on SIGHUP, and about once a minute while anything changed or a lease may still be running.
#pragma once

#include <cstddef>

enum {
    STATE_SYNC_MS = 1000,     // appended lines reach the disk at most this long after the write
    STATE_COMPACT_MS = 60000, // the file is rewritten this often while anything changed
    STATE_RETRY_MS = 5000,    // after a failed write, the next try
    STATE_WARN_MS = 60000,    // a failing disk is logged this seldom
    STATE_LINE_MAX = 128,     // bytes a line may have, its newline included
};

extern const char kStateVersionLine[]; // the first line, without its newline

// What one reading of a state file came to.
struct StateRestore {
    long long restored; // nicknames put in the directory
    long long damaged;  // lines that could not be read (the version line among them)
    long long no_room;  // good entries left out: the directory or their host's share was full
};

// Reads state text into the directory at time now (the relay's clock): each nickname's newest
// entry, the most recently heard first while they fit; listed nicknames are left as listed.
void state_restore_text(const char* data, size_t size, long long now, StateRestore* r);

// Whether the disk work of a rewrite (and the journal's syncs) is done by a writer thread beside
// the loop (the relay's way), or in the calling thread as each falls due (0; set before
// state_open).
extern int state_writer_thread;

// Starts keeping the directory in path: restores what it holds (logging one line), then rewrites
// it. Any failure is logged and counted; the relay goes on from memory. A file that is there but
// cannot be read is left as it is, and read again when a rewrite falls due. path nullptr: no
// file.
void state_open(const char* path, long long now);
// Writes what the drain learned (before its answers go out).
void state_flush(long long now);
// The syncs and rewrites due at now; returns when it wants to be called again: at once while a
// snapshot is being taken, soon while the writer is at work.
long long state_tick(long long now);
// Rewrites the file now (SIGHUP).
void state_compact_now(long long now);
// At a clean stop: the last rewrite, then the file is closed.
void state_close(long long now);

// For the operator's status and metrics.
struct StateReport {
    const char* path;     // nullptr: no state file
    long long compact_ms; // when it was last rewritten (-1: not yet)
    StateRestore at_start;
    long long write_errors, compactions, journalled;
    int failing; // the last write failed
};
void state_report(StateReport* r);
