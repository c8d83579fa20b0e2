// Sending a message and waiting for the server's receipt.
#pragma once

#include "protocol/datagram.h"

// Completes the record (recipient and body filled and cleaned by the caller) and sends it up to
// ten times, `wait` blocking the thread 200 ms after each, until its receipt arrives. Every
// datagram the wait accepts goes to the arrivals sink; the busy flag is set meanwhile. Returns 1
// when the sink confirmed the receipt, 0 when none came.
int send_message(Datagram* d, void (*wait)(int ms));
