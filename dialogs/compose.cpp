// The compose dialog: a recipient and a body, sent with receipt.
#include <cstring>

#include "dialogs/dialogs.h"
#include "inbox/viewer.h"
#include "protocol/datagram.h"
#include "resources/resources.h"
#include "shell/network.h"

int guard_compose;
// Set while Send runs: its message boxes leave the dialog usable, and a second Send pressed
// meanwhile must not start a send inside the first one.
static int compose_sending;

static void compose_send(UiWnd dlg) {
    Datagram d;
    memset(&d, 0, sizeof d);
    ui_get_text(dlg, IDC_TO_COMBO, d.recipient, NICK_SIZE);
    clean_text(d.recipient, NICK_SIZE);
    ui_get_text(dlg, IDC_BODY, d.body, BODY_SIZE - 1);
    clean_text(d.body, BODY_SIZE - 1);
    compose_sending = 1;
    network_send(&d);
    compose_sending = 0;
}

static int compose_proc(UiWnd dlg, int event, int param) {
    if (event == UI_INIT) {
        char to[sizeof reply_to_nick + 1];
        memcpy(to, reply_to_nick, sizeof reply_to_nick);
        to[sizeof reply_to_nick] = 0;
        ui_set_text(dlg, IDC_TO_COMBO, to);
        return 1;
    }
    if (event != UI_COMMAND) return 0;
    switch (param) {
    case IDC_SEND:
        if (compose_sending) return 1;
        compose_send(dlg);
        ui_dialog_end(dlg, IDC_SEND);
        return 1;
    case UI_IDOK: // the Cancel button, and Enter
    case UI_IDCANCEL:
        ui_dialog_end(dlg, param);
        return 1;
    default:
        return 0;
    }
}

void compose_open(UiWnd owner) {
    if (guard_compose) return;
    guard_compose = 1;
    ui_foreground(owner);
    ui_dialog_run(&kSendBox, owner, compose_proc);
    reply_to_nick[0] = 0;
    guard_compose = 0;
}
