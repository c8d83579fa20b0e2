// The one sink the poll and the send hand their datagrams to.
#include "protocol/arrivals.h"

static ArrivalSink sink;

void arrivals_set_sink(ArrivalSink s) {
    sink = s;
}

int arrivals_hand(const char* buf, int len, int sending, unsigned id) {
    if (!sink) return ARRIVAL_OTHER;
    Arrival a = {buf, len, sending, id};
    return sink(&a);
}
