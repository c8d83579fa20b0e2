// Where the receive poll and a send's receipt wait hand each datagram they accept: one function
// that the program above sets. The core itself never shows, stores or flags anything.
#pragma once

// One accepted datagram, its magic checked: `buf` holds its `len` bytes and a NUL after them.
struct Arrival {
    const char* buf;
    int len;
    int sending; // 1 in a send's receipt wait, 0 in the timer poll
    unsigned id; // in a send's wait: the id its receipt must carry
};

// The sink's answer. A message or greeting answers with what the Inbox's store returned (the
// count after storing, 0 when refused); anything else with one of these.
enum {
    ARRIVAL_OTHER = -1,     // nothing the poll or the send goes by
    ARRIVAL_CONFIRMED = -2, // the receipt the send waits for
};

typedef int (*ArrivalSink)(const Arrival* a);

// Sets the sink; without one every datagram is dropped.
void arrivals_set_sink(ArrivalSink sink);
// Hands one datagram to the sink and returns its answer (ARRIVAL_OTHER without a sink).
int arrivals_hand(const char* buf, int len, int sending, unsigned id);
