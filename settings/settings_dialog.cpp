#include "settings/settings_dialog.h"

int guard_settings;

void settings_dialog_open(UiWnd) {}
