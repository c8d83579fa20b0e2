// The five settings, their built-in values, the default settings file, load and save.
#include "settings/settings.h"

#include "settings/path.h"
#include "settings/profile.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifdef _WIN32
#include <shlobj.h>
#include <windows.h>
#endif

char servername[512] = "0.0.0.0";
char nick[20] = "mrnobody";
int localport = SETTINGS_DEFAULT_LOCALPORT;
int remoteport = 99;
int popup = 1;

char settings_file[SETTINGS_PATH_SIZE] = "KELTUP.INI";

static const char SECTION[] = "settings";
static const char UNCONFIGURED[] = "0.0.0.0";

#ifdef _WIN32
// The Windows folder's KELTUP.INI, read while the per-user default file does not exist yet.
static char legacy_file[SETTINGS_PATH_SIZE];
// The per-user default file, as settings_use_default_file set it.
static char default_file[SETTINGS_PATH_SIZE];
#endif

static int file_exists(const char* path) {
    FILE* f = path_fopen(path, "rb");
    if (!f) return 0;
    std::fclose(f);
    return 1;
}

// Joins a folder and a relative name into out; 0 when the result does not fit.
static int join_path(char* out, int size, const char* dir, const char* name) {
    int n = std::snprintf(out, static_cast<size_t>(size), "%s%s", dir, name);
    return n >= 0 && n < size;
}

void settings_use_default_file() {
    char path[SETTINGS_PATH_SIZE];
    int ok = 0;
#ifdef _WIN32
    // The folders' names as UTF-8, whatever the ANSI code page can spell.
    wchar_t wide[MAX_PATH];
    char folder[SETTINGS_PATH_SIZE];
    if (SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, 0, wide) == S_OK &&
        path_from_wide(wide, folder, sizeof folder))
        ok = join_path(path, sizeof path, folder, "\\KelTup\\KELTUP.INI");
    UINT n = GetWindowsDirectoryW(wide, MAX_PATH);
    if (n == 0 || n >= MAX_PATH || !path_from_wide(wide, folder, sizeof folder) ||
        !join_path(legacy_file, sizeof legacy_file, folder, "\\KELTUP.INI"))
        legacy_file[0] = '\0';
#else
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    const char* home = std::getenv("HOME");
    if (xdg && xdg[0] == '/')
        ok = join_path(path, sizeof path, xdg, "/keltup/KELTUP.INI");
    else if (home && home[0])
        ok = join_path(path, sizeof path, home, "/.config/keltup/KELTUP.INI");
#endif
    // Without a usable folder the file sits in the working folder.
    if (!ok) std::strcpy(path, "KELTUP.INI");
    std::memcpy(settings_file, path, sizeof path);
#ifdef _WIN32
    std::memcpy(default_file, path, sizeof path);
#endif
}

// The file settings are read from: the settings file, except that on Windows a per-user default
// file that does not exist yet gives way to an older one in the Windows folder.
static const char* read_file() {
#ifdef _WIN32
    if (std::strcmp(settings_file, default_file) == 0 && legacy_file[0] &&
        !file_exists(settings_file) && file_exists(legacy_file))
        return legacy_file;
#endif
    return settings_file;
}

int settings_load() {
    const char* file = read_file();
    profile_get_string(SECTION, "servername", UNCONFIGURED, servername, sizeof servername, file);
    if (std::strcmp(servername, UNCONFIGURED) != 0) {
        profile_get_string(SECTION, "nick", "MRNOBODY", nick, sizeof nick, file);
        remoteport = profile_get_int(SECTION, "remoteport", 99, file);
        localport = profile_get_int(SECTION, "localport", SETTINGS_DEFAULT_LOCALPORT, file);
        popup = profile_get_int(SECTION, "popup", 1, file);
        return SETTINGS_READ;
    }
    return SETTINGS_FIRST_RUN;
}

// Creates the folders above the file, one level at a time.
static void make_parent_folders(const char* file) {
    char dir[SETTINGS_PATH_SIZE];
    std::snprintf(dir, sizeof dir, "%s", file);
    for (char* p = dir + 1; *p; ++p) {
        if (*p != '/' && *p != '\\') continue;
        char sep = *p;
        *p = '\0';
        // "C:" is a drive, not a folder.
        if (!(p == dir + 2 && dir[1] == ':')) path_make_folder(dir);
        *p = sep;
    }
}

static void write_int(const char* key, int value) {
    char text[16];
    std::snprintf(text, sizeof text, "%d", value);
    profile_write_string(SECTION, key, text, settings_file);
}

void settings_save() {
    if (!file_exists(settings_file)) make_parent_folders(settings_file);
    // The nick field may hold 20 bytes without a terminator; write at most 19 of them.
    char nick_text[sizeof nick];
    std::memcpy(nick_text, nick, sizeof nick);
    nick_text[sizeof nick - 1] = '\0';
    profile_write_string(SECTION, "servername", servername, settings_file);
    profile_write_string(SECTION, "nick", nick_text, settings_file);
    write_int("localport", localport);
    write_int("remoteport", remoteport);
    write_int("popup", popup);
}
