// Sending a message and waiting for the server's receipt.
#pragma once

#include "protocol/datagram.h"

// Messages stored while a send waited for its receipt; the next timer tick opens the viewer
// for them and sets it back to 0.
extern int pending_arrivals;

// Completes the record (recipient and body filled and cleaned by the caller), sends it up to ten
// times 200 ms apart until its receipt arrives, and tells the user the outcome.
void send_message(Datagram* d);
