// The program's side of the network: opening the endpoint, what becomes of each datagram the
// poll or a send's receipt wait accepts, and how a send ends for the user.
#pragma once

#include "platform/ui.h"
#include "protocol/datagram.h"

// Messages stored while a send waited for its receipt; the next timer tick opens the viewer
// for them and sets it back to 0.
extern int pending_arrivals;

// Opens the endpoint; on failure shows why in a box owned by `owner` and returns 0.
int network_open(UiWnd owner);
// Makes the core hand every datagram it accepts to this program (start-up does it first).
void network_listen();
// Stores a received datagram in the Inbox and, when it was taken, shows the arrivals icon.
// Returns what the Inbox's store returned.
int network_store(const char* buf);
// Sends a filled record with receipt, waiting with the UI layer's sleep; says "No response from
// server!" when no receipt came. Returns 1 when it came.
int network_send(Datagram* d);
