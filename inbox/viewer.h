#pragma once

#include "platform/ui.h"

extern int guard_viewer;
// The sender of the message the viewer shows; the compose dialog starts from it.
extern char reply_to_nick[20];

// Opens the message viewer modally unless it is already open.
void viewer_open(UiWnd owner);
