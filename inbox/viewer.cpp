// The message viewer: pages through the Inbox, deletes, and starts replies.
#include "inbox/viewer.h"

#include <cstdio>
#include <cstring>

#include "dialogs/dialogs.h"
#include "inbox/inbox.h"
#include "resources/resources.h"

int guard_viewer;
char reply_to_nick[20];

// Shows `e`, or only the title and reply-to nick. While the Inbox reads empty (a send or a delete
// in progress) only To and From are blanked; the rest stays as it was.
static void viewer_refresh(UiWnd dlg, const InboxEntry* e, int title_only) {
    int n = inbox_count();
    if (n <= 0) {
        ui_set_text(dlg, IDC_TO, "");
        ui_set_text(dlg, IDC_FROM, "");
        return;
    }
    char title[60];
    snprintf(title, sizeof title, "KelTup - %d Messages", n);
    ui_set_caption(dlg, title);
    if (!e) return;
    const Datagram* d = e->record;
    memcpy(reply_to_nick, d->sender, sizeof reply_to_nick);
    if (title_only) return;

    // Stored fields are terminated inside themselves; copy them bounded all the same.
    char to[NICK_SIZE + 1];
    char from[NICK_SIZE + 1];
    char body[BODY_SIZE + 1];
    char when[sizeof e->time_text + 1];
    snprintf(to, sizeof to, "%.*s", NICK_SIZE, d->recipient);
    snprintf(from, sizeof from, "%.*s", NICK_SIZE, d->sender);
    snprintf(body, sizeof body, "%.*s", BODY_SIZE, d->body);
    snprintf(when, sizeof when, "%.*s", static_cast<int>(sizeof e->time_text), e->time_text);
    ui_set_text(dlg, IDC_TO, to);
    ui_set_text(dlg, IDC_FROM, from);
    ui_set_text(dlg, IDC_TIME, when);
    ui_set_text(dlg, IDC_BODY, body);
}

int viewer_delete_current() {
    if (!inbox.current) return inbox.head != nullptr;
    if (inbox_remove_current()) return 1;
    ui_tray_set(ICON_OFF);
    return 0;
}

static void viewer_close(UiWnd dlg) {
    ui_timer_stop(dlg, TIMER_VIEWER);
    ui_dialog_end(dlg, 0);
}

static int viewer_proc(UiWnd dlg, int event, int param) {
    switch (event) {
    case UI_INIT:
        inbox.current = inbox.head;
        if (!ui_timer_start(dlg, TIMER_VIEWER, 500))
            ui_message_box(dlg, "Cant make timer! CHECKSHOW", "KelTup", UI_MB_OK);
        ui_foreground(dlg);
        viewer_refresh(dlg, inbox.current, 0);
        return 1;
    case UI_TIMER:
        if (!inbox.current) inbox.current = inbox.head;
        viewer_refresh(dlg, inbox.current, 1);
        return 1;
    case UI_COMMAND:
        break;
    default:
        return 0;
    }

    if (!inbox.current) inbox.current = inbox.head;
    switch (param) {
    case IDC_PREV:
        if (inbox.current && inbox.current->prev) inbox.current = inbox.current->prev;
        viewer_refresh(dlg, inbox.current, 0);
        return 1;
    case IDC_NEXT:
        if (inbox.current && inbox.current->next) inbox.current = inbox.current->next;
        viewer_refresh(dlg, inbox.current, 0);
        return 1;
    case IDC_DELETE: {
        if (!inbox.current) {
            viewer_refresh(dlg, inbox.current, 0);
            return 1;
        }
        if (!viewer_delete_current())
            viewer_close(dlg);
        else
            viewer_refresh(dlg, inbox.current, 0);
        return 1;
    }
    case IDC_REPLY:
        compose_open(dlg);
        viewer_refresh(dlg, inbox.current, 0);
        return 1;
    case IDC_CLOSE:
        viewer_close(dlg);
        return 1;
    default:
        return 0; // Enter and Esc included: the viewer stays open
    }
}

void viewer_open(UiWnd owner) {
    if (guard_viewer) return;
    guard_viewer = 1;
    ui_dialog_run(&kShowMsg, owner, viewer_proc);
    // The reply-to nick names the message on screen; once the viewer is gone, a compose dialog
    // opened from the tray must not start addressed to whoever was shown last.
    reply_to_nick[0] = 0;
    guard_viewer = 0;
}
