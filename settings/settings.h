// The five settings, process-wide, and the settings file they live in.
#pragma once

enum { SETTINGS_PATH_SIZE = 512 };

// The built-in local port. Windows keeps the relay's own port, 99; elsewhere ports below 1024 are
// for the administrator alone, so an ordinary user's client takes an unprivileged one.
#ifdef _WIN32
enum { SETTINGS_DEFAULT_LOCALPORT = 99 };
#else
enum { SETTINGS_DEFAULT_LOCALPORT = 10099 };
#endif

extern char servername[512];
extern char nick[20];
extern int localport;
extern int remoteport;
extern int popup;

// The settings file's full path.
extern char settings_file[SETTINGS_PATH_SIZE];

// Sets settings_file to the platform's default file.
void settings_use_default_file();
enum { SETTINGS_READ = 0, SETTINGS_FIRST_RUN = 1 };

// Reads the settings. A first run (servername missing or "0.0.0.0") reads no other key and
// returns SETTINGS_FIRST_RUN: the program then asks the user for them.
int settings_load();
// Writes all five keys.
void settings_save();
