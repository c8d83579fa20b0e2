// The About dialog and window centring.
#include <cstdio>

#include "dialogs/dialogs.h"
#include "resources/resources.h"

int guard_about;
static UiWnd about_owner;

void centre_window(UiWnd w, UiWnd ref) {
    UiRect wr;
    UiRect rr;
    ui_window_rect(w, &wr);
    ui_window_rect(ref, &rr);
    int width = wr.right - wr.left;
    int height = wr.bottom - wr.top;

    UiRect area;
    if (!ui_work_area(&area)) {
        area.left = 0;
        area.top = 0;
        ui_screen_size(&area.right, &area.bottom);
    }

    // C++ division truncates toward zero, as the placement rule wants.
    int x = rr.left + ((rr.right - rr.left) - width) / 2;
    if (x < area.left)
        x = area.left;
    else if (x + width > area.right)
        x = area.right - width;

    int y = rr.top + ((rr.bottom - rr.top) - height) / 2;
    if (y < area.top)
        y = area.top;
    else if (y + height > area.bottom)
        y = area.bottom - height;

    ui_move_window(w, x, y);
}

static int about_proc(UiWnd dlg, int event, int param) {
    if (event == UI_INIT) {
        ui_foreground(dlg);
        centre_window(dlg, about_owner);
        char line[40];
        snprintf(line, sizeof line, "%s %s", kVersionText, kMakerNotice);
        ui_set_text(dlg, IDC_ABOUT_TEXT, line);
        return 1;
    }
    if (event == UI_COMMAND && (param == UI_IDOK || param == UI_IDCANCEL)) {
        ui_dialog_end(dlg, param);
        return 1;
    }
    return 0;
}

void about_open(UiWnd owner) {
    if (guard_about) return;
    guard_about = 1;
    about_owner = owner;
    ui_foreground(owner);
    ui_dialog_run(&kAboutBox, owner, about_proc);
    guard_about = 0;
}
