// The send state the endpoint's users share.
#pragma once

// Set while a send waits for its receipt and while an Inbox entry is deleted: readers then see an
// empty Inbox and the poll leaves the socket alone.
extern int busy_flag;
