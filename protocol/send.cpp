// Sending with receipt: ten tries at most, each followed by a wait and a drain into the arrivals
// sink.
#include "protocol/send.h"

#include "inbox/inbox.h"
#include "protocol/arrivals.h"
#include "protocol/busy.h"
#include "protocol/endpoint.h"
#include "settings/settings.h"

#include <cstring>

int busy_flag;

enum { TRIES = 10, WAIT_MS = 200, WAIT_MIN = 61, WAIT_MAX = 4095, WAIT_BUFFER = 4096 };

// Drains the endpoint after a send; returns 1 when the sink confirmed a receipt for `id`.
static int drain(unsigned id) {
    int confirmed = 0;
    char buf[WAIT_BUFFER + 1];
    for (;;) {
        std::memset(buf, 0, sizeof buf);
        int len = endpoint_recv(buf, WAIT_BUFFER);
        if (len < 0) break;
        // Unlike the poll, the wait skips a datagram outside its window or without the magic.
        if (!datagram_accept(buf, len, WAIT_MIN, WAIT_MAX)) continue;
        if (arrivals_hand(buf, len, 1, id) == ARRIVAL_CONFIRMED) confirmed = 1;
    }
    return confirmed;
}

int send_message(Datagram* d, void (*wait)(int ms)) {
    unsigned id = static_cast<unsigned>(random_next()) & 0xFFFF;
    datagram_complete(d, nick, id);
    busy_flag = 1;
    int confirmed = 0;
    int tries = 0;
    while (tries < TRIES) {
        endpoint_send(d, datagram_send_length(d));
        ++tries;
        wait(WAIT_MS);
        if (drain(id)) confirmed = 1;
        if (confirmed) break;
    }
    busy_flag = 0;
    return confirmed;
}
