// The message viewer, opened directly over the fake main window.
#include <string>

#include "inbox/inbox.h"
#include "inbox/viewer.h"
#include "platform/fake/fake_dialogs.h"
#include "platform/fake/fake_ui.h"
#include "protocol/busy.h"
#include "resources/resources.h"
#include "tests/shell/support.h"

using ViewerTest = ShellTest;

namespace {

std::string shown_from(UiWnd v) {
    return fake_text(v, IDC_FROM);
}

std::string shown_body(UiWnd v) {
    return fake_text(v, IDC_BODY);
}

} // namespace

TEST_F(ViewerTest, OneMessageShownAndPagingStaysOnIt) {
    store_message("ALICE", "BOB", "hello there");
    fake_script("SHOWMSG", [](UiWnd v) {
        EXPECT_EQ(fake_caption(v), "KelTup - 1 Messages");
        EXPECT_EQ(fake_text(v, IDC_TO), "BOB");
        EXPECT_EQ(shown_from(v), "ALICE");
        EXPECT_EQ(shown_body(v), "hello there");
        EXPECT_EQ(fake_text(v, IDC_TIME), inbox.head->time_text);
        EXPECT_EQ(std::string(reply_to_nick), "ALICE");
        EXPECT_TRUE(fake_timer_running(v, TIMER_VIEWER));
        EXPECT_EQ(fake_foreground_window, v);
        EXPECT_TRUE(fake_press(v, IDC_PREV));
        EXPECT_EQ(shown_body(v), "hello there");
        EXPECT_TRUE(fake_press(v, IDC_NEXT));
        EXPECT_EQ(shown_body(v), "hello there");
        fake_press(v, IDC_CLOSE);
        EXPECT_FALSE(fake_timer_running(v, TIMER_VIEWER));
    });
    viewer_open(FAKE_MAIN_WINDOW);
    EXPECT_EQ(guard_viewer, 0);
    EXPECT_EQ(fake_events_with("timer:stop:SHOWMSG:66").size(), 1u);
    // The message stays; closing the viewer only closes it.
    EXPECT_EQ(inbox_count(), 1);
    // Nothing names the last shown sender once the viewer is gone.
    EXPECT_EQ(reply_to_nick[0], 0);
}

TEST_F(ViewerTest, PagingThroughThreeOpensAtTheOldest) {
    store_message("A1", "ME", "first");
    store_message("A2", "ME", "second");
    store_message("A3", "ME", "third");
    fake_script("SHOWMSG", [](UiWnd v) {
        EXPECT_EQ(fake_caption(v), "KelTup - 3 Messages");
        EXPECT_EQ(shown_body(v), "first");
        fake_press(v, IDC_PREV);
        EXPECT_EQ(shown_body(v), "first");
        fake_press(v, IDC_NEXT);
        EXPECT_EQ(shown_body(v), "second");
        fake_press(v, IDC_NEXT);
        EXPECT_EQ(shown_body(v), "third");
        EXPECT_EQ(std::string(reply_to_nick), "A3");
        fake_press(v, IDC_NEXT);
        EXPECT_EQ(shown_body(v), "third");
        fake_press(v, IDC_PREV);
        EXPECT_EQ(shown_body(v), "second");
        fake_press(v, IDC_CLOSE);
    });
    viewer_open(FAKE_MAIN_WINDOW);

    // The shown entry survives closing but the next opening starts at the oldest again.
    fake_script("SHOWMSG", [](UiWnd v) {
        EXPECT_EQ(shown_body(v), "first");
        fake_press(v, IDC_CLOSE);
    });
    viewer_open(FAKE_MAIN_WINDOW);
}

TEST_F(ViewerTest, DeleteShowsTheOlderNeighbourElseTheNewerAndClosesOnTheLast) {
    store_message("A1", "ME", "first");
    store_message("A2", "ME", "second");
    store_message("A3", "ME", "third");
    fake_script("SHOWMSG", [](UiWnd v) {
        // The middle of three: the oldest is shown next.
        fake_press(v, IDC_NEXT);
        fake_press(v, IDC_DELETE);
        EXPECT_EQ(shown_body(v), "first");
        EXPECT_EQ(fake_caption(v), "KelTup - 2 Messages");
        store_message("A4", "ME", "fourth");
        // The newest: the one before it is shown.
        fake_press(v, IDC_NEXT);
        fake_press(v, IDC_NEXT);
        EXPECT_EQ(shown_body(v), "fourth");
        fake_press(v, IDC_DELETE);
        EXPECT_EQ(shown_body(v), "third");
        fake_press(v, IDC_PREV);
        EXPECT_EQ(shown_body(v), "first");
        fake_press(v, IDC_DELETE);
        EXPECT_EQ(shown_body(v), "third");
        EXPECT_EQ(fake_caption(v), "KelTup - 1 Messages");
        EXPECT_EQ(fake_tray_icon, ICON_ON);
        // The last one: the viewer closes by itself and the icon goes back.
        fake_press(v, IDC_DELETE);
        EXPECT_FALSE(fake_timer_running(v, TIMER_VIEWER));
        EXPECT_FALSE(fake_press(v, IDC_CLOSE)); // already ended
    });
    viewer_open(FAKE_MAIN_WINDOW);
    EXPECT_EQ(inbox.head, nullptr);
    EXPECT_EQ(fake_tray_icon, ICON_OFF);
    EXPECT_EQ(fake_events_with("dialog:end:SHOWMSG").size(), 1u);
}

TEST_F(ViewerTest, EnterAndEscLeaveItOpen) {
    store_message("A1", "ME", "first");
    fake_script("SHOWMSG", [](UiWnd v) {
        EXPECT_TRUE(fake_escape(v));
        EXPECT_TRUE(fake_enter(v));
        EXPECT_EQ(fake_open_dialogs().size(), 1u);
        EXPECT_TRUE(fake_press(v, IDC_CLOSE));
    });
    viewer_open(FAKE_MAIN_WINDOW);
    EXPECT_EQ(fake_events_with("dialog:end:").size(), 1u);
}

TEST_F(ViewerTest, RefreshTimerFollowsTheCountAndBlanksWhileBusy) {
    store_message("A1", "ME", "first");
    fake_script("SHOWMSG", [](UiWnd v) {
        // A new arrival changes the title only; the shown message stays.
        store_message("A2", "ME", "second");
        EXPECT_TRUE(fake_tick(v, TIMER_VIEWER));
        EXPECT_EQ(fake_caption(v), "KelTup - 2 Messages");
        EXPECT_EQ(shown_body(v), "first");
        EXPECT_EQ(shown_from(v), "A1");
        // While a send waits, To and From go blank; title, time and body stay.
        busy_flag = 1;
        fake_tick(v, TIMER_VIEWER);
        EXPECT_EQ(fake_text(v, IDC_TO), "");
        EXPECT_EQ(shown_from(v), "");
        EXPECT_EQ(fake_caption(v), "KelTup - 2 Messages");
        EXPECT_EQ(shown_body(v), "first");
        // A delete made meanwhile keeps the send's hold on the socket.
        fake_press(v, IDC_DELETE);
        EXPECT_EQ(busy_flag, 1);
        busy_flag = 0;
        fake_press(v, IDC_PREV);
        EXPECT_EQ(shown_body(v), "second");
        EXPECT_EQ(fake_caption(v), "KelTup - 1 Messages");
        fake_press(v, IDC_CLOSE);
    });
    viewer_open(FAKE_MAIN_WINDOW);
}

TEST_F(ViewerTest, FailedRefreshTimerIsReportedOnce) {
    store_message("A1", "ME", "first");
    fake_failing_timers.push_back(TIMER_VIEWER);
    fake_script("SHOWMSG", [](UiWnd v) {
        EXPECT_EQ(shown_body(v), "first");
        EXPECT_FALSE(fake_tick(v, TIMER_VIEWER));
        fake_press(v, IDC_CLOSE);
    });
    viewer_open(FAKE_MAIN_WINDOW);
    EXPECT_EQ(fake_events_with("box:"), std::vector<std::string>{"box:KelTup:Cant make timer! "
                                                                 "CHECKSHOW"});
}

TEST_F(ViewerTest, EmptyInboxDeleteOnlyRefreshes) {
    // Opened for an arrival the Inbox could not keep: nothing to show or delete.
    fake_script("SHOWMSG", [](UiWnd v) {
        EXPECT_EQ(fake_caption(v), "KelTup - Message");
        fake_press(v, IDC_DELETE);
        fake_press(v, IDC_PREV);
        EXPECT_EQ(fake_open_dialogs().size(), 1u);
        // An arrival while open becomes the shown entry at the next tick.
        store_message("LATE", "ME", "late");
        fake_tick(v, TIMER_VIEWER);
        EXPECT_EQ(fake_caption(v), "KelTup - 1 Messages");
        fake_press(v, IDC_NEXT);
        EXPECT_EQ(shown_body(v), "late");
        fake_press(v, IDC_CLOSE);
    });
    viewer_open(FAKE_MAIN_WINDOW);
}

TEST_F(ViewerTest, SecondOpenAndReplyFromTheViewer) {
    store_message("ALICE", "ME", "ping");
    fake_script("SHOWMSG", [](UiWnd v) {
        // A second request while open does nothing (no script is queued for it).
        viewer_open(FAKE_MAIN_WINDOW);
        EXPECT_EQ(fake_open_dialogs().size(), 1u);
        fake_press(v, IDC_REPLY);
        // After the reply the nick is refilled from the shown message.
        EXPECT_EQ(std::string(reply_to_nick), "ALICE");
        fake_press(v, IDC_CLOSE);
    });
    fake_script("SENDBOX", [](UiWnd c) {
        EXPECT_EQ(fake_text(c, IDC_TO_COMBO), "ALICE");
        EXPECT_EQ(fake_open_dialogs(), (std::vector<std::string>{"SHOWMSG", "SENDBOX"}));
        fake_press(c, UI_IDCANCEL);
    });
    viewer_open(FAKE_MAIN_WINDOW);
    EXPECT_EQ(reply_to_nick[0], 0);
}
