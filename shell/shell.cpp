// Start-up, the main window's events and shutdown.
#include "shell/shell.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

#include "dialogs/dialogs.h"
#include "inbox/inbox.h"
#include "inbox/viewer.h"
#include "protocol/busy.h"
#include "protocol/datagram.h"
#include "protocol/endpoint.h"
#include "protocol/receive.h"
#include "resources/resources.h"
#include "settings/path.h"
#include "settings/settings.h"
#include "settings/settings_dialog.h"
#include "shell/network.h"
#include "shell/notices.h"

UiWnd main_window;

static char class_name[32];
static char window_title[100];
// Set once the main window is gone: the program is ending.
static int shell_ended;

const char* command_tail(const char* command_line) {
    const char* p = command_line;
    if (*p == '"') {
        ++p;
        while (*p && *p != '"')
            ++p;
        if (*p == '"') ++p;
    } else {
        while (static_cast<unsigned char>(*p) > ' ')
            ++p;
    }
    while (*p && static_cast<unsigned char>(*p) <= ' ')
        ++p;
    return p;
}

// The file must open for reading and yield its first byte (or a clean end of file): a folder opens
// on some systems but cannot be read.
static int settings_file_readable(const char* path) {
    FILE* f = path_fopen(path, "rb");
    if (!f) return 0;
    int c = fgetc(f);
    int ok = c != EOF || !ferror(f);
    fclose(f);
    return ok;
}

// Ends a start-up that failed after the tray icon was added: the icon goes, and so does the
// sockets library, so that nothing of the program is left behind.
static int end_after_tray(int code) {
    ui_tray_remove();
    endpoint_cleanup();
    return code;
}

int shell_main(const char* tail) {
    snprintf(class_name, sizeof class_name, "%s", "KelTup");
    snprintf(window_title, sizeof window_title, "%s", kTitleString);
    guard_viewer = 0;
    guard_compose = 0;
    guard_settings = 0;
    guard_about = 0;
    busy_flag = 0;
    shell_ended = 0;
    main_window = 0;
    notices_reset();

    random_seed(static_cast<unsigned>(time(nullptr)));
    network_listen();

    if (ui_find_running(class_name, window_title)) return 0;
    if (!ui_register_class(class_name)) return 0;
    UiWnd w = ui_create_main_window(class_name, window_title);
    if (!w) return 0;
    // The tray menu works from here on (during a first-run settings dialog too), so its handlers
    // need the window now.
    main_window = w;
    ui_tray_add(w, ICON_OFF, "KelTup");

    if (tail && tail[0]) {
        char path[SETTINGS_PATH_SIZE];
        if (!path_from_tail(tail, path, sizeof path) || !settings_file_readable(path)) {
            ui_message_box(w, "Can't open settings file", "Fatal Error", UI_MB_OK);
            return end_after_tray(1);
        }
        memcpy(settings_file, path, sizeof settings_file);
    } else {
        settings_use_default_file();
    }

    if (settings_load() == SETTINGS_FIRST_RUN) settings_dialog_open(w);
    // "E&xit" chosen while the first-run settings dialog was open.
    if (shell_ended) return 0;

    if (!network_open(w)) return end_after_tray(0);

    if (!ui_timer_start(w, TIMER_POLL, 500)) {
        ui_message_box(w, "Cant make timer! CHECKBUF", "KelTup", UI_MB_OK);
        char number[24];
        snprintf(number, sizeof number, "%lu", ui_last_error());
        ui_message_box(w, number, "Error Number", UI_MB_OK);
    }
    return ui_run_loop();
}

// A double-click's answer: the messages when some wait, else a new one to write.
static void open_messages_or_compose() {
    ui_foreground(main_window);
    if (inbox_count() <= 0)
        compose_open(main_window);
    else
        viewer_open(main_window);
}

void shell_tray_event(int mouse_event) {
    if (shell_ended) return;
    if (mouse_event == UI_TRAY_DBLCLK) {
        open_messages_or_compose();
    } else if (mouse_event == UI_TRAY_RBUTTONUP) {
        switch (ui_tray_menu(main_window, &kConMenu)) {
        case CMD_SEND:
            compose_open(main_window);
            break;
        case CMD_SETTINGS:
            settings_dialog_open(main_window);
            break;
        case CMD_ABOUT:
            about_open(main_window);
            break;
        case CMD_EXIT:
            ui_destroy_window(main_window);
            break;
        default:
            break;
        }
    }
}

void shell_timer_tick() {
    if (shell_ended) return;
    int stored = receive_poll();
    if (stored != 0 || pending_arrivals != 0) {
        pending_arrivals = 0;
        if (popup) viewer_open(main_window);
    }
}

void shell_another_start() {
    if (shell_ended || !main_window) return;
    // With an icon to click, the first copy's open dialog coming forward is enough. Without one
    // (a desktop with no notification area), starting the program again is the user's only way
    // in: it does what a double-click on the icon would.
    if (ui_tray_shown()) return;
    open_messages_or_compose();
}

const UiMainEvents shell_main_events = {shell_timer_tick, shell_tray_event, shell_destroyed,
                                        shell_another_start};

void shell_destroyed() {
    if (shell_ended) return;
    shell_ended = 1;
    ui_tray_remove();
    endpoint_cleanup();
    ui_quit(0);
}
