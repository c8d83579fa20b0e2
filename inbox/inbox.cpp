// The in-memory Inbox: storing, counting and removing entries, and the receipt time text.
#include "inbox/inbox.h"
#include "protocol/busy.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

Inbox inbox;

// Entries from head to tail, whatever the busy flag says.
static int walk_count() {
    int n = 0;
    for (InboxEntry* e = inbox.head; e; e = e->next)
        ++n;
    return n;
}

int inbox_count() {
    if (busy_flag) return 0;
    return walk_count();
}

void format_time_text(long long t, char* out) {
    static const char DAYS[7][4] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char MONTHS[12][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::time_t when = static_cast<std::time_t>(t);
    std::tm tm;
    std::memset(&tm, 0, sizeof tm);
#ifdef _WIN32
    int ok = localtime_s(&tm, &when) == 0;
#else
    int ok = localtime_r(&when, &tm) != nullptr;
#endif
    if (!ok) {
        // Outside what the system can convert: the epoch's text, never garbage.
        std::memset(&tm, 0, sizeof tm);
        tm.tm_mday = 1;
        tm.tm_year = 70;
        tm.tm_wday = 4;
    }
    int wday = tm.tm_wday >= 0 && tm.tm_wday < 7 ? tm.tm_wday : 0;
    int mon = tm.tm_mon >= 0 && tm.tm_mon < 12 ? tm.tm_mon : 0;
    // The year stays four characters so the text stays 25 long.
    long long year = 1900LL + tm.tm_year;
    if (year < 0) year = 0;
    if (year > 9999) year = 9999;
    unsigned fields[4] = {static_cast<unsigned>(tm.tm_mday), static_cast<unsigned>(tm.tm_hour),
                          static_cast<unsigned>(tm.tm_min), static_cast<unsigned>(tm.tm_sec)};
    for (unsigned& f : fields)
        f %= 100u;
    std::snprintf(out, 26, "%.3s %.3s %02u %02u:%02u:%02u %04u\n", DAYS[wday], MONTHS[mon],
                  fields[0], fields[1], fields[2], fields[3], static_cast<unsigned>(year) % 10000u);
}

int inbox_store(const char* buf) {
    if (inbox_count() >= INBOX_LIMIT) return 0;
    InboxEntry* entry = static_cast<InboxEntry*>(std::calloc(1, sizeof(InboxEntry)));
    if (!entry) return 0;
    entry->record = static_cast<Datagram*>(std::malloc(sizeof(Datagram)));
    if (!entry->record) {
        std::free(entry);
        return 0;
    }
    std::memcpy(entry->record, buf, sizeof(Datagram));
    clean_text(entry->record->recipient, NICK_SIZE);
    clean_text(entry->record->sender, NICK_SIZE);
    clean_text(entry->record->body, BODY_SIZE);

    entry->next = nullptr;
    entry->prev = nullptr;
    char text[32];
    format_time_text(static_cast<long long>(std::time(nullptr)), text);
    std::memset(entry->time_text, 0, sizeof entry->time_text);
    for (int i = 0; i < 30 && text[i]; ++i)
        entry->time_text[i] = text[i];

    int before = walk_count();
    if (!inbox.head) {
        inbox.head = entry;
    } else {
        InboxEntry* tail = inbox.head;
        while (tail->next)
            tail = tail->next;
        tail->next = entry;
        entry->prev = tail;
    }
    return before + 1;
}

int inbox_remove_current() {
    InboxEntry* cur = inbox.current;
    if (!cur) return inbox.head != nullptr;
    // Restores the flag afterwards rather than clearing it, so a delete made while a send waits
    // for its receipt (from a dialog the send's own boxes let through) does not end the send's
    // hold on the socket.
    int was_busy = busy_flag;
    busy_flag = 1;
    InboxEntry* p = cur->prev;
    InboxEntry* n = cur->next;
    if (p) p->next = n;
    if (n) n->prev = p;
    std::free(cur->record);
    std::free(cur);

    InboxEntry* now = p ? p : n;
    inbox.current = now;
    inbox.head = now;
    if (!now) {
        busy_flag = was_busy;
        return 0;
    }
    while (inbox.head->prev)
        inbox.head = inbox.head->prev;
    busy_flag = was_busy;
    return 1;
}
