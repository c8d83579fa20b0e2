// The compose, settings and About dialogs, and window centring.
#include <cstring>
#include <string>

#include "dialogs/dialogs.h"
#include "platform/fake/fake_dialogs.h"
#include "platform/fake/fake_ui.h"
#include "resources/resources.h"
#include "settings/settings.h"
#include "settings/settings_dialog.h"
#include "shell/network.h"
#include "tests/shell/support.h"

using ComposeTest = ShellTest;
using SettingsDialogTest = ShellTest;
using AboutTest = ShellTest;
using CentreTest = ShellTest;

namespace {

Datagram last_sent;
int last_sent_length;
int sends_seen;

// The stand-in server answers every message with its receipt while the sender sleeps.
void serve_receipts() {
    sends_seen = 0;
    fake_on_sleep = [](int) {
        Datagram d;
        int n;
        while ((n = server_recv(&d)) >= 0) {
            last_sent = d;
            last_sent_length = n;
            ++sends_seen;
            server_send('R', datagram_id(&d), "SERVER", "", "");
        }
    };
}

void open_network() {
    server_open();
    ASSERT_EQ(network_open(FAKE_MAIN_WINDOW), 1) << event_log();
    serve_receipts();
}

} // namespace

TEST_F(ComposeTest, TypedFieldsAreSentUpperCasedAndBounded) {
    open_network();
    snprintf(nick, sizeof nick, "%s", "SENDER");
    std::string long_body(1200, 'x');
    fake_script("SENDBOX", [&](UiWnd c) {
        EXPECT_EQ(fake_text(c, IDC_TO_COMBO), "");
        fake_type(c, IDC_TO_COMBO, "bob");
        EXPECT_EQ(fake_text(c, IDC_TO_COMBO), "BOB");
        fake_type(c, IDC_BODY, long_body.c_str());
        fake_press(c, IDC_SEND);
    });
    compose_open(FAKE_MAIN_WINDOW);
    EXPECT_EQ(sends_seen, 1);
    EXPECT_STREQ(last_sent.recipient, "BOB");
    EXPECT_STREQ(last_sent.sender, "SENDER");
    EXPECT_EQ(strlen(last_sent.body), 998u);
    EXPECT_EQ(last_sent_length, 76 + 998 + 1);
    EXPECT_EQ(fake_events_with("box:"), std::vector<std::string>{"box:Send Message:Message Sent"});
    EXPECT_EQ(fake_events_with("dialog:end:SENDBOX:1007").size(), 1u);
    EXPECT_EQ(guard_compose, 0);
}

TEST_F(ComposeTest, HighByteCutsTheBodyAndEmptyFieldsGoAsTheyAre) {
    open_network();
    fake_script("SENDBOX", [](UiWnd c) {
        fake_type(c, IDC_TO_COMBO, "x\xC9y");
        fake_type(c, IDC_BODY,
                  "abc\x80"
                  "def");
        fake_press(c, IDC_SEND);
    });
    compose_open(FAKE_MAIN_WINDOW);
    EXPECT_STREQ(last_sent.recipient, "X");
    EXPECT_STREQ(last_sent.body, "abc");
    EXPECT_EQ(last_sent_length, 76 + 3 + 1);

    fake_script("SENDBOX", [](UiWnd c) { fake_press(c, IDC_SEND); });
    compose_open(FAKE_MAIN_WINDOW);
    EXPECT_STREQ(last_sent.recipient, "");
    EXPECT_EQ(last_sent_length, 77);
}

TEST_F(ComposeTest, EnterCancelAndEscCloseWithoutSending) {
    open_network();
    fake_script("SENDBOX", [](UiWnd c) {
        fake_type(c, IDC_BODY, "not sent");
        fake_enter(c);
    });
    fake_script("SENDBOX", [](UiWnd c) { fake_press(c, UI_IDOK); });
    fake_script("SENDBOX", [](UiWnd c) { fake_escape(c); });
    for (int i = 0; i < 3; ++i)
        compose_open(FAKE_MAIN_WINDOW);
    Datagram d;
    EXPECT_EQ(server_recv(&d), -1);
    EXPECT_TRUE(fake_events_with("sleep:").empty());
    EXPECT_EQ(fake_events_with("dialog:end:SENDBOX:1").size(), 2u);
    EXPECT_EQ(fake_events_with("dialog:end:SENDBOX:2").size(), 1u);
}

TEST_F(ComposeTest, SecondOpenAndSecondSendWhileSendingDoNothing) {
    open_network();
    fake_script("SENDBOX", [](UiWnd c) {
        compose_open(FAKE_MAIN_WINDOW); // no second dialog
        EXPECT_EQ(fake_open_dialogs().size(), 1u);
        fake_type(c, IDC_BODY, "once");
        // The outcome box is owned by the main window: the dialog can still be clicked.
        fake_on_box = [c](int, const char*, const char*) {
            fake_on_box = nullptr;
            EXPECT_TRUE(fake_press(c, IDC_SEND));
        };
        fake_press(c, IDC_SEND);
    });
    compose_open(FAKE_MAIN_WINDOW);
    EXPECT_EQ(sends_seen, 1);
    EXPECT_EQ(fake_events_with("box:").size(), 1u);
    EXPECT_EQ(fake_events_with("dialog:end:SENDBOX").size(), 1u);
}

TEST_F(SettingsDialogTest, ShowsTheValuesAndCancelChangesNothing) {
    std::string file = write_settings_file("keltup_shell_cancel.ini", "");
    std::remove(file.c_str());
    snprintf(settings_file, sizeof settings_file, "%s", file.c_str());
    snprintf(servername, sizeof servername, "%s", "relay.local");
    snprintf(nick, sizeof nick, "%s", "JOE");
    remoteport = 1234;
    localport = -1;
    popup = 7;
    fake_script("SETBOX", [](UiWnd s) {
        EXPECT_EQ(fake_text(s, IDC_SERVER), "relay.local");
        EXPECT_EQ(fake_text(s, IDC_NICK), "JOE");
        EXPECT_EQ(fake_text(s, IDC_REMOTEPORT), "1234");
        EXPECT_EQ(fake_text(s, IDC_LOCALPORT), "4294967295"); // ports show unsigned
        EXPECT_EQ(fake_check(s, IDC_POPUP), 7);               // passed on unchanged
        settings_dialog_open(FAKE_MAIN_WINDOW);               // second open: nothing
        fake_type(s, IDC_NICK, "changed");
        fake_escape(s);
    });
    settings_dialog_open(FAKE_MAIN_WINDOW);
    EXPECT_STREQ(nick, "JOE");
    EXPECT_EQ(localport, -1);
    EXPECT_EQ(popup, 7);
    FILE* f = fopen(file.c_str(), "rb");
    EXPECT_EQ(f, nullptr) << "Cancel wrote the settings file";
    if (f) fclose(f);
    EXPECT_EQ(guard_settings, 0);
}

TEST_F(SettingsDialogTest, OkStoresWhatTheFieldsHoldAndSavesAllFive) {
    std::string file = write_settings_file("keltup_shell_ok.ini", "");
    std::remove(file.c_str());
    snprintf(settings_file, sizeof settings_file, "%s", file.c_str());
    fake_script("SETBOX", [](UiWnd s) {
        // Built-in values: the server unconfigured, the checked Pop-Up box.
        EXPECT_EQ(fake_text(s, IDC_SERVER), "0.0.0.0");
        EXPECT_EQ(fake_text(s, IDC_NICK), "MRNOBODY"); // the field upper-cases it
        EXPECT_EQ(fake_text(s, IDC_REMOTEPORT), "99");
        EXPECT_EQ(fake_check(s, IDC_POPUP), 1);
        fake_type(s, IDC_SERVER, "relay.example");
        fake_type(s, IDC_NICK, "new nick");
        fake_type(s, IDC_REMOTEPORT, "");
        fake_type(s, IDC_LOCALPORT, "12a3"); // the field takes only the digits
        EXPECT_EQ(fake_text(s, IDC_LOCALPORT), "123");
        fake_click_check(s, IDC_POPUP);
        fake_enter(s);
    });
    settings_dialog_open(FAKE_MAIN_WINDOW);
    EXPECT_STREQ(servername, "relay.example");
    EXPECT_STREQ(nick, "NEW NICK");
    EXPECT_EQ(remoteport, 0);
    EXPECT_EQ(localport, 123);
    EXPECT_EQ(popup, 0);
    EXPECT_EQ(settings_value(file, "servername"), "relay.example");
    EXPECT_EQ(settings_value(file, "nick"), "NEW NICK");
    EXPECT_EQ(settings_value(file, "remoteport"), "0");
    EXPECT_EQ(settings_value(file, "localport"), "123");
    EXPECT_EQ(settings_value(file, "popup"), "0");

    // OK without changes rewrites all five; the nick as the field returns it; a port too large
    // for an unsigned number reads as 0, one just inside round-trips through a negative value.
    snprintf(nick, sizeof nick, "%s", "lower");
    fake_script("SETBOX", [](UiWnd s) {
        fake_type(s, IDC_REMOTEPORT, "99999999999");
        fake_type(s, IDC_LOCALPORT, "4294967295");
        fake_click_check(s, IDC_POPUP);
        fake_press(s, UI_IDOK);
    });
    settings_dialog_open(FAKE_MAIN_WINDOW);
    EXPECT_EQ(settings_value(file, "nick"), "LOWER");
    EXPECT_EQ(remoteport, 0);
    EXPECT_EQ(localport, -1);
    EXPECT_EQ(settings_value(file, "localport"), "-1");
    EXPECT_EQ(settings_value(file, "popup"), "1");
    std::remove(file.c_str());
}

TEST_F(AboutTest, CentredVersionLineAndOneAtATime) {
    fake_set_rect(FAKE_MAIN_WINDOW, {100, 100, 500, 400});
    fake_script("ABOUTBOX", [](UiWnd a) {
        EXPECT_EQ(fake_text(a, IDC_ABOUT_TEXT), std::string("V0.9.4 ") + kMakerNotice);
        UiRect r = fake_rect(a);
        int w = r.right - r.left;
        int h = r.bottom - r.top;
        EXPECT_EQ(r.left, 100 + (400 - w) / 2);
        EXPECT_EQ(r.top, 100 + (300 - h) / 2);
        EXPECT_EQ(fake_foreground_window, a);
        about_open(FAKE_MAIN_WINDOW); // a second request: nothing
        EXPECT_EQ(fake_open_dialogs().size(), 1u);
        fake_press(a, IDC_ABOUT_TEXT); // not a command it answers
        EXPECT_EQ(fake_open_dialogs().size(), 1u);
        fake_escape(a);
    });
    fake_script("ABOUTBOX", [](UiWnd a) { fake_enter(a); });
    about_open(FAKE_MAIN_WINDOW);
    about_open(FAKE_MAIN_WINDOW);
    EXPECT_EQ(fake_events_with("dialog:end:ABOUTBOX:2").size(), 1u);
    EXPECT_EQ(fake_events_with("dialog:end:ABOUTBOX:1").size(), 1u);
    EXPECT_EQ(guard_about, 0);
}

TEST_F(CentreTest, PlacementRules) {
    const UiWnd ref = 7, w = 8;
    struct Case {
        const char* what;
        UiRect area;
        int area_known;
        UiRect ref;
        int width, height;
        int x, y;
    } cases[] = {
        {"inside", {0, 0, 1280, 984}, 1, {0, 0, 1000, 800}, 200, 100, 400, 350},
        // -101 / 2 is -50 and -1 / 2 is 0: the division truncates toward zero.
        {"truncation", {-1000, -1000, 2000, 2000}, 1, {10, 10, 110, 110}, 201, 101, -40, 10},
        {"left of the area", {0, 0, 1280, 984}, 1, {-500, 100, -100, 400}, 200, 100, 0, 200},
        // Wider than the area but not left of it: the right rule leaves the left edge outside.
        {"wider, right rule", {0, 0, 800, 600}, 1, {0, 0, 1000, 600}, 900, 100, -100, 250},
        // Wider and left of it: the left rule wins and the right one is not applied.
        {"wider, left rule", {0, 0, 800, 600}, 1, {0, 0, 100, 100}, 900, 100, 0, 0},
        {"below the area", {0, 0, 800, 600}, 1, {0, 500, 800, 700}, 100, 100, 350, 500},
        {"above the area", {0, 40, 800, 600}, 1, {0, 0, 800, 60}, 100, 100, 350, 40},
        // No work area: the screen stands in for it.
        {"screen fallback", {0, 0, 0, 0}, 0, {600, 400, 700, 500}, 100, 100, 540, 380},
    };
    fake_screen_width = 640;
    fake_screen_height = 480;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fake_work_area_rect = c.area;
        fake_work_area_known = c.area_known;
        fake_set_rect(ref, c.ref);
        fake_set_rect(w, {3, 3, 3 + c.width, 3 + c.height});
        centre_window(w, ref);
        UiRect r = fake_rect(w);
        EXPECT_EQ(r.left, c.x);
        EXPECT_EQ(r.top, c.y);
        EXPECT_EQ(r.right - r.left, c.width);
        EXPECT_EQ(r.bottom - r.top, c.height);
    }
}
