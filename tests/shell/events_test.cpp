// The running program: tray clicks, the tray menu and the poll timer, with the re-entrant paths
// that modal boxes and dialogs open.
#include <algorithm>
#include <cstdio>
#include <string>

#include "inbox/inbox.h"
#include "inbox/viewer.h"
#include "platform/fake/fake_dialogs.h"
#include "platform/fake/fake_ui.h"
#include "protocol/busy.h"
#include "resources/resources.h"
#include "settings/settings.h"
#include "shell/network.h"
#include "shell/notices.h"
#include "shell/shell.h"
#include "tests/shell/support.h"

using EventsTest = ShellTest;

namespace {

// Starts the program against the stand-in server and plays `loop` as the main window's events,
// then chooses Exit. Returns the exit code.
int run_program(const char* file_name, int popup_value, std::function<void()> loop) {
    server_open();
    std::string file = configured_settings(file_name, popup_value);
    fake_on_loop = [loop] {
        loop();
        exit_from_tray();
    };
    int code = shell_main(file.c_str());
    std::remove(file.c_str());
    return code;
}

int opened(const char* name) {
    return static_cast<int>(fake_events_with(std::string("dialog:open:") + name).size());
}

void close_viewer(UiWnd v) {
    fake_press(v, IDC_CLOSE);
}

} // namespace

TEST_F(EventsTest, DoubleClickOpensComposeOrViewerByTheCount) {
    int code = run_program("keltup_shell_dblclk.ini", 1, [] {
        fake_script("SENDBOX", [](UiWnd c) { fake_escape(c); });
        fake_tray(UI_TRAY_DBLCLK);
        EXPECT_EQ(opened("SENDBOX"), 1);

        store_message("A", "ME", "one");
        fake_script("SHOWMSG", close_viewer);
        fake_tray(UI_TRAY_DBLCLK);
        EXPECT_EQ(opened("SHOWMSG"), 1);

        // Other mouse events and a dismissed menu do nothing.
        fake_tray(512);
        fake_tray(UI_TRAY_RBUTTONUP);
        EXPECT_EQ(fake_events_with("dialog:open:").size(), 2u);
        EXPECT_EQ(fake_events_with("foreground:main").size(), 3u); // two clicks, one compose
    });
    EXPECT_EQ(code, 0);
    EXPECT_EQ(fake_tray_icon, "");
}

// A second start: with the icon shown only the front-end raises a dialog; with no notification
// area it does what a double-click does; after Exit, nothing.
TEST_F(EventsTest, AnotherStartOpensTheViewerOnlyWithoutAShownIcon) {
    for (int area = 0; area < 2; ++area) {
        reset_everything();
        fake_tray_area = area;
        if (area == 0) fake_script("SHOWMSG", close_viewer);
        run_program("keltup_shell_again.ini", 0, [] {
            store_message("A", "ME", "waiting");
            fake_another_start();
        });
        fake_another_start();
        EXPECT_EQ(fake_events_with("dialog:open:"),
                  std::vector<std::string>(1 - area, "dialog:open:SHOWMSG"));
    }
}

TEST_F(EventsTest, TrayMenuOpensEachDialogOnceAtATime) {
    run_program("keltup_shell_menu.ini", 1, [] {
        fake_script("SENDBOX", [](UiWnd c) {
            fake_menu_commands.push_back(CMD_SEND);
            fake_tray(UI_TRAY_RBUTTONUP);
            fake_tray(UI_TRAY_DBLCLK); // the Inbox is empty: compose again, already open
            fake_press(c, UI_IDOK);
        });
        fake_script("SETBOX", [](UiWnd s) {
            fake_menu_commands.push_back(CMD_SETTINGS);
            fake_tray(UI_TRAY_RBUTTONUP);
            fake_escape(s);
        });
        fake_script("ABOUTBOX", [](UiWnd a) {
            fake_menu_commands.push_back(CMD_ABOUT);
            fake_tray(UI_TRAY_RBUTTONUP);
            fake_press(a, UI_IDOK);
        });
        for (int command : {CMD_SEND, CMD_SETTINGS, CMD_ABOUT}) {
            fake_menu_commands.push_back(command);
            fake_tray(UI_TRAY_RBUTTONUP);
        }
        EXPECT_EQ(opened("SENDBOX"), 1);
        EXPECT_EQ(opened("SETBOX"), 1);
        EXPECT_EQ(opened("ABOUTBOX"), 1);
    });
}

TEST_F(EventsTest, ArrivalPopsUpTheViewerOnlyWithPopupOn) {
    run_program("keltup_shell_popup.ini", 1, [] {
        server_send('M', 1, "ALICE", "ME", "first");
        fake_script("SHOWMSG", [](UiWnd v) {
            EXPECT_EQ(fake_text(v, IDC_BODY), "first");
            // A second arrival while open: the tick's request does nothing, the title follows.
            server_send('G', 2, "BOB", "ME", "second");
            fake_tick_main();
            EXPECT_EQ(fake_open_dialogs().size(), 1u);
            fake_tick(v, TIMER_VIEWER);
            EXPECT_EQ(fake_caption(v), "KelTup - 2 Messages");
            close_viewer(v);
        });
        fake_tick_main();
        EXPECT_EQ(opened("SHOWMSG"), 1);

        // With popup off an arrival changes nothing but the icon, and a pending count is spent.
        popup = 0;
        store_message("X", "ME", "clear");
        while (inbox.head) {
            inbox.current = inbox.head;
            viewer_delete_current();
        }
        EXPECT_EQ(fake_tray_icon, ICON_OFF);
        server_send('M', 3, "CAROL", "ME", "quiet");
        pending_arrivals = 2;
        fake_tick_main();
        EXPECT_EQ(fake_tray_icon, ICON_ON);
        EXPECT_EQ(pending_arrivals, 0);
        EXPECT_EQ(opened("SHOWMSG"), 1);
    });
}

TEST_F(EventsTest, BadDatagramAfterAMessageStoresItWithoutPopUp) {
    run_program("keltup_shell_short.ini", 1, [] {
        server_send('M', 1, "ALICE", "ME", "kept");
        server_send_raw("0123456789", 10);
        fake_tick_main();
        EXPECT_EQ(opened("SHOWMSG"), 0);
        EXPECT_EQ(inbox_count(), 1);
        // A later arrival pops it all up.
        server_send('M', 2, "ALICE", "ME", "next");
        fake_script("SHOWMSG", [](UiWnd v) {
            EXPECT_EQ(fake_caption(v), "KelTup - 2 Messages");
            close_viewer(v);
        });
        fake_tick_main();
    });
}

TEST_F(EventsTest, TickInsideTheSendsBoxOpensTheViewerForArrivals) {
    run_program("keltup_shell_send_tick.ini", 1, [] {
        // The server relays a message to us, then answers with the receipt.
        fake_on_sleep = [](int) {
            Datagram d;
            while (server_recv(&d) >= 0) {
                server_send('M', 77, "CAROL", "ME", "meanwhile");
                server_send('R', datagram_id(&d), "SERVER", "", "");
            }
        };
        fake_on_box = [](int, const char* text, const char*) {
            if (std::string(text) != "Message Sent") return;
            // The send still holds the socket; the tick opens the viewer for the arrival.
            EXPECT_EQ(busy_flag, 1);
            fake_tick_main();
        };
        fake_script("SENDBOX", [](UiWnd c) {
            fake_type(c, IDC_TO_COMBO, "carol");
            fake_type(c, IDC_BODY, "hello");
            fake_press(c, IDC_SEND);
        });
        fake_script("SHOWMSG", [](UiWnd v) {
            // Opened while busy: the count reads 0, To and From stay blank.
            EXPECT_EQ(fake_text(v, IDC_FROM), "");
            EXPECT_EQ(fake_caption(v), "KelTup - Message");
            EXPECT_EQ(fake_open_dialogs(), (std::vector<std::string>{"SENDBOX", "SHOWMSG"}));
            close_viewer(v);
        });
        fake_menu_commands.push_back(CMD_SEND);
        fake_tray(UI_TRAY_RBUTTONUP);
        EXPECT_EQ(pending_arrivals, 0);
        EXPECT_EQ(busy_flag, 0);
        EXPECT_EQ(inbox_count(), 1);
        // Later ticks do not pop it up again.
        fake_tick_main();
        EXPECT_EQ(opened("SHOWMSG"), 1);
    });
    std::vector<std::string> seen;
    for (const std::string& e : fake_events)
        if (e.rfind("box:", 0) == 0 || e.rfind("dialog:open:", 0) == 0) seen.push_back(e);
    EXPECT_EQ(seen,
              (std::vector<std::string>{"dialog:open:SENDBOX", "box:Send Message:Message Sent",
                                        "dialog:open:SHOWMSG"}));
}

TEST_F(EventsTest, NoticeBoxWithFurtherTicksInside) {
    run_program("keltup_shell_notice.ini", 1, [] {
        server_send('A', 1, "SERVER", "ME", "server going down");
        server_send('M', 2, "DAVE", "ME", "queued behind it");
        int boxes = 0;
        fake_on_box = [&boxes](int, const char*, const char*) {
            // Ticks keep coming while the notice is up; the nested poll takes the message.
            if (++boxes == 1) {
                fake_tick_main();
                fake_tick_main();
            }
        };
        fake_script("SHOWMSG", [](UiWnd v) {
            EXPECT_EQ(fake_text(v, IDC_BODY), "queued behind it");
            close_viewer(v);
        });
        fake_tick_main();
        fake_on_box = nullptr;
        EXPECT_EQ(boxes, 1);
        EXPECT_EQ(opened("SHOWMSG"), 1);
        EXPECT_EQ(inbox_count(), 1);
    });
    EXPECT_EQ(fake_events_with("box:"), std::vector<std::string>{"box:KelTup:server going down"});
}

TEST_F(EventsTest, NoticeStormToAnUnattendedClientShowsEveryNoticeInOrder) {
    // Nobody answers: every box's modal loop ticks again, and the server sends a batch per tick
    // (the socket holds what open boxes leave unread), with a message now and then.
    const int total = 2000;
    int sent = 0, depth = 0, deepest = 0;
    run_program("keltup_shell_storm.ini", 0, [&] {
        auto send_batch = [&] {
            for (int i = 0; i < 20 && sent < total; ++i, ++sent) {
                server_send('A', 1, "SERVER", "ME", ("notice " + std::to_string(sent)).c_str());
                if (sent % 400 == 0) server_send('M', 2, "DAVE", "ME", "still here");
            }
        };
        fake_on_box = [&](int, const char*, const char*) {
            deepest = std::max(deepest, ++depth);
            do {
                send_batch();
                fake_tick_main();
            } while (sent < total);
            --depth;
        };
        send_batch();
        fake_tick_main();
        fake_on_box = nullptr;
    });
    EXPECT_EQ(deepest, 8);
    std::vector<std::string> want(total, "box:KelTup:notice ");
    for (int i = 0; i < total; ++i)
        want[i] += std::to_string(i);
    EXPECT_EQ(fake_events_with("box:"), want);
    EXPECT_EQ(inbox_count(), 5);
}

// Past what the waiting line holds, the oldest notices give way to one box that counts them. An
// over-long text first (cut; texts then cross the ring's end), an empty one, then 50,000 more.
TEST_F(EventsTest, NoticesThatGaveWayAreCountedInTheirPlace) {
    notices_reset();
    // 8 bytes waiting, with its NUL: the line holds a whole number of them.
    auto text = [](int i) { return "n" + std::to_string(1000000 + i).substr(1); };
    fake_on_box = [&text](int, const char*, const char*) {
        if (notices_open() < NOTICE_BOXES) return notice_show(notices_open() == 1 ? "" : "up");
        for (int i = 0; i < 50000; ++i)
            notice_push(text(i).c_str());
        fake_on_box = nullptr;
    };
    notice_show(std::string(3 * NOTICE_TEXT_SIZE, 'x').c_str());
    std::vector<std::string> boxes = fake_events_with("box:");
    const int kept = NOTICE_WAITING_BYTES / 8, gave_way = 50000 - kept;
    ASSERT_EQ(boxes.size(), static_cast<size_t>(NOTICE_BOXES + 1 + kept));
    EXPECT_EQ(boxes[0], "box:KelTup:" + std::string(NOTICE_TEXT_SIZE - 1, 'x'));
    EXPECT_EQ(boxes[1], "box:KelTup:");
    EXPECT_EQ(boxes[NOTICE_BOXES], "box:KelTup:" + std::to_string(gave_way) +
                                       " notices from the server were not kept: too many were "
                                       "waiting.");
    for (int i = 0; i < kept; ++i)
        ASSERT_EQ(boxes[NOTICE_BOXES + 1 + i], "box:KelTup:" + text(gave_way + i)) << i;
}

TEST_F(EventsTest, ViewerSendAndDeleteInTheRunningProgram) {
    run_program("keltup_shell_reply.ini", 1, [] {
        fake_on_sleep = [](int) {
            Datagram d;
            while (server_recv(&d) >= 0) {
                EXPECT_STREQ(d.recipient, "ERIN");
                EXPECT_STREQ(d.sender, "ME");
                server_send('R', datagram_id(&d), "SERVER", "", "");
            }
        };
        server_send('M', 1, "ERIN", "ME", "question?");
        fake_script("SHOWMSG", [](UiWnd v) {
            fake_press(v, IDC_REPLY);
            fake_press(v, IDC_DELETE);
        });
        fake_script("SENDBOX", [](UiWnd c) {
            EXPECT_EQ(fake_text(c, IDC_TO_COMBO), "ERIN");
            fake_type(c, IDC_BODY, "answer");
            fake_press(c, IDC_SEND);
        });
        fake_tick_main();
        EXPECT_EQ(inbox.head, nullptr);
        EXPECT_EQ(fake_tray_icon, ICON_OFF);
        // From the tray the compose dialog starts empty after the reply.
        fake_script("SENDBOX", [](UiWnd c) {
            EXPECT_EQ(fake_text(c, IDC_TO_COMBO), "");
            fake_escape(c);
        });
        fake_tray(UI_TRAY_DBLCLK);
    });
}
