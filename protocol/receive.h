// The timer-driven receive poll.
#pragma once

// Drains the endpoint, handing each datagram it accepts to the arrivals sink. Returns the last
// store answer of this poll (the Inbox count after storing, 0 when refused), 0 when there was
// none or the drain ended on a bad datagram. Reads nothing while the busy flag is set.
int receive_poll();
