#pragma once

#include "platform/ui.h"

extern int guard_settings;

// Opens the settings dialog modally unless it is already open.
void settings_dialog_open(UiWnd owner);
