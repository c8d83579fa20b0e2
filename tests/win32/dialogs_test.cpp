// The program's own dialogs on the real Win32 layer, in-process: each is opened through its
// guarded open operation and driven by posting commands to it.
#include <gtest/gtest.h>
#include <windows.h>

#include <string.h>

#include <string>

#include "dialogs/dialogs.h"
#include "inbox/inbox.h"
#include "inbox/viewer.h"
#include "platform/win32/ui_win32.h"
#include "resources/resources.h"
#include "settings/settings.h"
#include "settings/settings_dialog.h"
#include "shell/network.h"
#include "tests/win32/script.h"

namespace {

void store(const char* from, const char* to, const char* body) {
    char buf[RECORD_SIZE + 1];
    memset(buf, 0, sizeof buf);
    Datagram* d = (Datagram*)buf;
    memcpy(d->magic, "KT1", 3);
    d->kind = 'M';
    strcpy(d->sender, from);
    strcpy(d->recipient, to);
    strcpy(d->body, body);
    ASSERT_GT(network_store(buf), 0);
}

struct Shown {
    std::string to, from, time, body;
};

Shown shown(HWND dlg) {
    return {control_text(dlg, IDC_TO), control_text(dlg, IDC_FROM), control_text(dlg, IDC_TIME),
            control_text(dlg, IDC_BODY)};
}

int count_windows(const char* caption) {
    struct Ctx {
        const char* caption;
        int n;
    } ctx = {caption, 0};
    EnumThreadWindows(
        GetCurrentThreadId(),
        [](HWND w, LPARAM lp) -> BOOL {
            Ctx* c = (Ctx*)lp;
            if (IsWindowVisible(w) && window_caption(w) == c->caption) c->n++;
            return TRUE;
        },
        (LPARAM)&ctx);
    return ctx.n;
}

} // namespace

TEST(Win32Viewer, PagesEscapesDeletesAndRepliesOnTheRealDialog) {
    store("ALICE", "BOB", "first");
    store("CAROL", "BOB", "second");
    Shown a, b, c, d;
    std::string reply_to, after_esc;
    int steps = run_script({{"KelTup - 2 Messages",
                             [&](HWND dlg) {
                                 a = shown(dlg); // the oldest first
                                 press(dlg, IDC_NEXT);
                             }},
                            {"KelTup - 2 Messages",
                             [&](HWND dlg) {
                                 b = shown(dlg);
                                 press(dlg, IDC_NEXT); // already the newest: stays
                             }},
                            {"KelTup - 2 Messages",
                             [&](HWND dlg) {
                                 c = shown(dlg);
                                 press_key(dlg, VK_ESCAPE); // does not close the viewer
                             }},
                            {"KelTup - 2 Messages",
                             [&](HWND dlg) {
                                 after_esc = "open";
                                 press(dlg, IDC_REPLY);
                             }},
                            {"KelTup",
                             [&](HWND dlg) {
                                 reply_to = control_text(dlg, IDC_TO_COMBO);
                                 press(dlg, UI_IDOK); // the compose dialog's Cancel
                             }},
                            {"KelTup - 2 Messages", [&](HWND dlg) { press(dlg, IDC_DELETE); }},
                            {"KelTup - 1 Messages",
                             [&](HWND dlg) {
                                 d = shown(dlg);
                                 press(dlg, IDC_CLOSE);
                             }}},
                           [] { viewer_open(0); });
    EXPECT_EQ(steps, 7);
    EXPECT_EQ(a.to, "BOB");
    EXPECT_EQ(a.from, "ALICE");
    EXPECT_EQ(a.body, "first");
    EXPECT_GE(a.time.size(), 24u);
    EXPECT_EQ(b.from, "CAROL");
    EXPECT_EQ(b.body, "second");
    EXPECT_EQ(c.body, "second");
    EXPECT_EQ(after_esc, "open");
    EXPECT_EQ(reply_to, "CAROL");
    // Deleting the newest shows the one before it.
    EXPECT_EQ(d.body, "first");
    EXPECT_EQ(guard_viewer, 0);
    EXPECT_EQ(inbox_count(), 1);

    // Deleting the last message closes the viewer by itself; compose from the tray afterwards
    // starts with an empty recipient.
    steps = run_script({{"KelTup - 1 Messages", [](HWND dlg) { press(dlg, IDC_DELETE); }}},
                       [] { viewer_open(0); });
    EXPECT_EQ(steps, 1);
    EXPECT_EQ(inbox_count(), 0);
    std::string to = "unset";
    run_script({{"KelTup",
                 [&](HWND dlg) {
                     to = control_text(dlg, IDC_TO_COMBO);
                     press(dlg, UI_IDCANCEL);
                 }}},
               [] { compose_open(0); });
    EXPECT_EQ(to, "");
    EXPECT_EQ(guard_compose, 0);
}

TEST(Win32Settings, TheDialogShowsTheSettingsAndOkSavesWhatTheFieldsHold) {
    char dir[MAX_PATH];
    GetTempPathA(MAX_PATH, dir);
    std::string file =
        std::string(dir) + "keltup-dialogs-" + std::to_string(GetCurrentProcessId()) + ".ini";
    DeleteFileA(file.c_str());
    lstrcpynA(settings_file, file.c_str(), SETTINGS_PATH_SIZE);
    strcpy(servername, "relay.example");
    strcpy(nick, "ZED");
    localport = 1234;
    remoteport = 65535;
    popup = 0;
    std::string server, nick_shown, remote, local;
    int check = -1;
    int steps = run_script({{"KelTup - Settings",
                             [&](HWND dlg) {
                                 server = control_text(dlg, IDC_SERVER);
                                 nick_shown = control_text(dlg, IDC_NICK);
                                 remote = control_text(dlg, IDC_REMOTEPORT);
                                 local = control_text(dlg, IDC_LOCALPORT);
                                 check = (int)IsDlgButtonChecked(dlg, IDC_POPUP);
                                 SetDlgItemTextA(dlg, IDC_NICK, "");
                                 type_chars(dlg, IDC_NICK, "amy");
                                 SetDlgItemTextA(dlg, IDC_LOCALPORT, "");
                                 SendMessageA(GetDlgItem(dlg, IDC_POPUP), BM_CLICK, 0, 0);
                                 press_key(dlg, VK_RETURN); // the default button, OK
                             }}},
                           [] { settings_dialog_open(0); });
    EXPECT_EQ(steps, 1);
    EXPECT_EQ(server, "relay.example");
    EXPECT_EQ(nick_shown, "ZED");
    EXPECT_EQ(remote, "65535");
    EXPECT_EQ(local, "1234");
    EXPECT_EQ(check, 0);
    EXPECT_STREQ(nick, "AMY");
    EXPECT_EQ(localport, 0);
    EXPECT_EQ(popup, 1);
    // The system's own profile functions read back all five keys.
    char buf[600];
    const char* keys[] = {"servername", "nick", "localport", "remoteport", "popup"};
    const char* want[] = {"relay.example", "AMY", "0", "65535", "1"};
    for (int i = 0; i < 5; i++) {
        GetPrivateProfileStringA("settings", keys[i], "<missing>", buf, sizeof buf, file.c_str());
        EXPECT_STREQ(buf, want[i]) << keys[i];
    }
    // Cancel changes nothing.
    run_script({{"KelTup - Settings",
                 [](HWND dlg) {
                     SetDlgItemTextA(dlg, IDC_SERVER, "elsewhere");
                     press(dlg, UI_IDCANCEL);
                 }}},
               [] { settings_dialog_open(0); });
    EXPECT_STREQ(servername, "relay.example");
    GetPrivateProfileStringA("settings", "servername", "", buf, sizeof buf, file.c_str());
    EXPECT_STREQ(buf, "relay.example");
    EXPECT_EQ(guard_settings, 0);
    DeleteFileA(file.c_str());
}

TEST(Win32About, OneAboutBoxCentredOverItsOwnerWithTheVersionLine) {
    ASSERT_EQ(ui_register_class("KelTupDialogsTest"), 1);
    UiWnd owner = ui_create_main_window("KelTupDialogsTest", "KelTup dialogs test");
    ASSERT_NE(owner, 0);
    SetWindowPos(ui_win32_hwnd(owner), nullptr, 200, 150, 400, 300, SWP_NOZORDER);
    std::string line;
    RECT box = {0, 0, 0, 0};
    int boxes = 0;
    int steps = run_script({{"About KelTup",
                             [&](HWND dlg) {
                                 line = control_text(dlg, IDC_ABOUT_TEXT);
                                 GetWindowRect(dlg, &box);
                                 about_open(1); // a second request while open does nothing
                                 boxes = count_windows("About KelTup");
                                 press_key(dlg, VK_ESCAPE);
                             }}},
                           [&] { about_open(owner); });
    EXPECT_EQ(steps, 1);
    EXPECT_EQ(line, std::string(kVersionText) + " " + kMakerNotice);
    EXPECT_LE(line.size(), 39u);
    EXPECT_EQ(boxes, 1);
    int w = box.right - box.left, h = box.bottom - box.top;
    EXPECT_EQ(box.left, 200 + (400 - w) / 2);
    EXPECT_EQ(box.top, 150 + (300 - h) / 2);
    EXPECT_EQ(guard_about, 0);
    // Destroying a main window ends the program's loop: take back the quit message it posts.
    ui_destroy_window(owner);
    MSG m;
    PeekMessageA(&m, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE);
}

// Screen readers on Windows name an edit after the static text just before it in the dialog's
// window order, the order of the template: each settings field's static comes right before it.
TEST(Win32Settings, EachFieldFollowsTheStaticThatNamesIt) {
    const int ids[] = {IDC_SERVER, IDC_REMOTEPORT, IDC_NICK, IDC_LOCALPORT};
    std::string before[4];
    int steps = run_script({{"KelTup - Settings",
                             [&](HWND dlg) {
                                 for (int i = 0; i < 4; i++)
                                     before[i] = window_caption(
                                         GetWindow(GetDlgItem(dlg, ids[i]), GW_HWNDPREV));
                                 press(dlg, UI_IDCANCEL);
                             }}},
                           [] { settings_dialog_open(0); });
    EXPECT_EQ(steps, 1);
    const char* want[] = {"Name:", "Port:", "Nick:", "Port:"};
    for (int i = 0; i < 4; i++)
        EXPECT_EQ(before[i], want[i]) << ids[i];
}
