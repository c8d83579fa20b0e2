// The five settings, process-wide, and the settings file they live in.
#pragma once

#include "platform/ui.h"

enum { SETTINGS_PATH_SIZE = 512 };

extern char servername[512];
extern char nick[20];
extern int localport;
extern int remoteport;
extern int popup;

// The settings file's full path.
extern char settings_file[SETTINGS_PATH_SIZE];

// Sets settings_file to the platform's default file.
void settings_use_default_file();
// Reads the settings; a first run (servername missing or "0.0.0.0") opens the settings dialog
// instead. Always returns 1.
int settings_load(UiWnd owner);
// Writes all five keys.
void settings_save();
