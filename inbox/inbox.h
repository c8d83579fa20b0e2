// The in-memory list of received messages, oldest first.
#pragma once

#include "protocol/datagram.h"

struct InboxEntry {
    Datagram* record;   // the entry's own copy
    char time_text[48]; // local receipt time, asctime form
    InboxEntry* next;
    InboxEntry* prev;
};

struct Inbox {
    InboxEntry* head;    // oldest entry
    InboxEntry* current; // the entry the viewer shows
};

extern Inbox inbox;

enum { INBOX_LIMIT = 5 };

// Entries from head to tail; 0 while the busy flag is set.
int inbox_count();
// Stores a received datagram (NUL written after its bytes). Returns the number of entries after
// storing, or 0 when refused (limit reached) or out of memory. The caller flags the arrival.
int inbox_store(const char* buf);
// Removes the current entry; returns 1 when entries are left, 0 when the Inbox is now empty.
int inbox_remove_current();

// Formats t as local time in asctime form ("Wed Jan 02 03:04:05 2030\n", 25 characters, English
// names whatever the locale) into out, which holds at least 26 bytes.
void format_time_text(long long t, char* out);
