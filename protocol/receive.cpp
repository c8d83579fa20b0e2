// The timer-driven receive poll: drains the endpoint into the arrivals sink.
#include "protocol/receive.h"

#include "inbox/inbox.h"
#include "protocol/arrivals.h"
#include "protocol/busy.h"
#include "protocol/datagram.h"
#include "protocol/endpoint.h"

#include <cstring>

enum { POLL_MIN = 60, POLL_MAX = 5000 };

// Receives the next datagram into a zeroed buffer, so that bytes past a short datagram carry
// nothing from an earlier one.
static int receive_next(char* buf) {
    std::memset(buf, 0, POLL_MAX + 1);
    return endpoint_recv(buf, POLL_MAX);
}

int receive_poll() {
    if (busy_flag) return 0;
    endpoint_check_address();
    // On the stack: a notice box lets nested timer ticks poll again while this one waits.
    char buf[POLL_MAX + 1];
    int len = receive_next(buf);
    if (len < 0) return 0;
    int stored = 0;
    while (datagram_accept(buf, len, POLL_MIN, POLL_MAX)) {
        // Only a message or greeting answers with a store's result; a later one replaces it.
        int answer = arrivals_hand(buf, len, 0, 0);
        if (answer >= 0) stored = answer;
        len = receive_next(buf);
        if (len < 0) return stored;
    }
    // A datagram too short, too long or without the magic ends the poll; what was stored stays.
    return 0;
}
