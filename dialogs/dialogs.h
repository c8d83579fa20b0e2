// The compose and About dialogs and window centring.
#pragma once

#include "platform/ui.h"

extern int guard_compose;
extern int guard_about;

void compose_open(UiWnd owner);
void about_open(UiWnd owner);

// Centres w over ref, kept inside the work area by the left/top rule first, then right/bottom.
void centre_window(UiWnd w, UiWnd ref);
