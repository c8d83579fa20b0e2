// The settings dialog: shows the five settings and saves them on OK.
#include "settings/settings_dialog.h"

#include <cstdio>
#include <cstring>

#include "resources/resources.h"
#include "settings/settings.h"

int guard_settings;

// The field as an unsigned decimal number; 0 when it holds anything else or does not fit.
static unsigned read_unsigned(UiWnd dlg, int id) {
    char text[32];
    ui_get_text(dlg, id, text, sizeof text);
    if (!text[0]) return 0;
    unsigned long long value = 0;
    for (const char* p = text; *p; ++p) {
        if (*p < '0' || *p > '9') return 0;
        value = value * 10 + static_cast<unsigned>(*p - '0');
        if (value > 0xFFFFFFFFull) return 0;
    }
    return static_cast<unsigned>(value);
}

static void show_unsigned(UiWnd dlg, int id, int value) {
    char text[16];
    snprintf(text, sizeof text, "%u", static_cast<unsigned>(value));
    ui_set_text(dlg, id, text);
}

static int settings_proc(UiWnd dlg, int event, int param) {
    if (event == UI_INIT) {
        char server[sizeof servername + 1];
        char name[sizeof nick + 1];
        snprintf(server, sizeof server, "%.*s", static_cast<int>(sizeof servername), servername);
        snprintf(name, sizeof name, "%.*s", static_cast<int>(sizeof nick), nick);
        ui_set_text(dlg, IDC_SERVER, server);
        ui_set_text(dlg, IDC_NICK, name);
        show_unsigned(dlg, IDC_REMOTEPORT, remoteport);
        show_unsigned(dlg, IDC_LOCALPORT, localport);
        ui_set_check(dlg, IDC_POPUP, popup);
        return 1;
    }
    if (event != UI_COMMAND) return 0;
    if (param == UI_IDOK) {
        ui_get_text(dlg, IDC_SERVER, servername, sizeof servername);
        ui_get_text(dlg, IDC_NICK, nick, sizeof nick);
        remoteport = static_cast<int>(read_unsigned(dlg, IDC_REMOTEPORT));
        localport = static_cast<int>(read_unsigned(dlg, IDC_LOCALPORT));
        popup = ui_get_check(dlg, IDC_POPUP) == 1 ? 1 : 0;
        settings_save();
        ui_dialog_end(dlg, UI_IDOK);
        return 1;
    }
    if (param == UI_IDCANCEL) {
        ui_dialog_end(dlg, UI_IDCANCEL);
        return 1;
    }
    return 0;
}

void settings_dialog_open(UiWnd owner) {
    if (guard_settings) return;
    guard_settings = 1;
    ui_dialog_run(&kSetBox, owner, settings_proc);
    guard_settings = 0;
}
