// The timer-driven receive poll.
#pragma once

#include "platform/ui.h"

// Drains the endpoint: shows notices, stores messages. Returns the Inbox count after the last
// message this poll stored, 0 when nothing was stored or the drain ended on a bad datagram.
int receive_poll(UiWnd owner);
