// Helpers shared by the core tests: a clean Inbox and records built byte by byte.
#pragma once

#include "inbox/inbox.h"
#include "platform/fake/fake_ui.h"
#include "protocol/busy.h"
#include "protocol/datagram.h"
#include "shell/network.h"

#include <cstring>
#include <string>

// Frees every entry and clears the flags the core keeps between calls.
inline void empty_inbox() {
    busy_flag = 0;
    while (inbox.head) {
        inbox.current = inbox.head;
        inbox_remove_current();
    }
    inbox.current = nullptr;
}

// A received datagram's bytes: magic, kind, id, sender, recipient and body at their offsets.
inline std::string wire(char kind, const char* from, const char* to, const std::string& body,
                        unsigned id = 0) {
    std::string d(HEADER_SIZE, '\0');
    std::memcpy(&d[0], "KT1", 3);
    d[3] = kind;
    d[4] = static_cast<char>(id & 0xFF);
    d[5] = static_cast<char>((id >> 8) & 0xFF);
    std::strncpy(&d[6], from, NICK_SIZE);
    std::strncpy(&d[26], to, NICK_SIZE);
    d += body;
    d += '\0';
    return d;
}

// Stores a datagram the way the receivers hand it over: in a zeroed buffer larger than a record.
inline int store_bytes(const std::string& bytes) {
    std::string buf(5001, '\0');
    buf.replace(0, bytes.size(), bytes);
    return network_store(buf.data());
}

inline int inbox_entries() {
    int n = 0;
    for (InboxEntry* e = inbox.head; e; e = e->next)
        ++n;
    return n;
}
