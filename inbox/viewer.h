// The message viewer and the reply-to nick it leaves for the compose dialog.
#pragma once

#include "platform/ui.h"

extern int guard_viewer;
// The sender of the message the viewer shows; the compose dialog starts from it.
extern char reply_to_nick[20];

// Opens the message viewer modally unless it is already open.
void viewer_open(UiWnd owner);
// Deletes the entry the viewer shows; the icon goes back when the Inbox empties. Returns 1 when
// entries are left.
int viewer_delete_current();
