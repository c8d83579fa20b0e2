// Start-up in order, its failures and their exit codes, the settings file's path, and the first
// run's settings dialog.
#include <cstdio>
#include <filesystem>
#include <string>

#include "platform/fake/fake_dialogs.h"
#include "platform/fake/fake_ui.h"
#include "protocol/endpoint.h"
#include "resources/resources.h"
#include "settings/settings.h"
#include "shell/shell.h"
#include "tests/shell/support.h"

using StartupTest = ShellTest;

namespace {

bool logged(const std::string& prefix) {
    return !fake_events_with(prefix).empty();
}

// The position of the first entry with prefix in the log, -1 when none.
int position(const std::string& prefix) {
    for (size_t i = 0; i < fake_events.size(); ++i)
        if (fake_events[i].compare(0, prefix.size(), prefix) == 0) return static_cast<int>(i);
    return -1;
}

} // namespace

TEST(CommandTail, NameQuotesAndSeparators) {
    EXPECT_STREQ(command_tail("keltup.exe settings.ini"), "settings.ini");
    EXPECT_STREQ(command_tail("keltup.exe"), "");
    EXPECT_STREQ(command_tail(""), "");
    // A quoted name runs to its closing quote, spaces included.
    EXPECT_STREQ(command_tail("\"C:\\Program Files\\keltup.exe\" a.ini"), "a.ini");
    EXPECT_STREQ(command_tail("\"C:\\Program Files\\keltup.exe\"a.ini"), "a.ini");
    // Spaces and control characters after the name go; the rest is kept as it is.
    EXPECT_STREQ(command_tail("keltup.exe \t\r\n  \"my file.ini\"  "), "\"my file.ini\"  ");
    EXPECT_STREQ(command_tail("keltup.exe a b"), "a b");
    EXPECT_STREQ(command_tail("keltup.exe\tx"), "x");
    // A quote never closed: the whole line was the name.
    EXPECT_STREQ(command_tail("\"keltup.exe a.ini"), "");
}

TEST_F(StartupTest, NormalStartRunsInOrderAndExitEndsCleanly) {
    server_open();
    std::string file = configured_settings("keltup_shell_normal.ini", 1);
    fake_on_loop = [] {
        EXPECT_TRUE(endpoint_is_open());
        exit_from_tray();
    };
    EXPECT_EQ(shell_main(file.c_str()), 0);
    const char* order[] = {"find:KelTup:Generic: Sample Application",
                           "register:KelTup",
                           "create:KelTup:Generic: Sample Application",
                           "tray:add:DROMOFF",
                           "timer:start:main:65:500",
                           "loop:start",
                           "menu:CONMENU1",
                           "destroy:main",
                           "tray:remove",
                           "quit:0",
                           "loop:end:0"};
    int last = -1;
    for (const char* step : order) {
        int at = position(step);
        EXPECT_GT(at, last) << step << "\n" << event_log();
        last = at;
    }
    EXPECT_TRUE(fake_events_with("box:").empty()) << event_log();
    EXPECT_EQ(fake_tray_icon, "");
    EXPECT_FALSE(endpoint_is_open());
    EXPECT_EQ(std::string(settings_file), file);
    EXPECT_STREQ(nick, "ME");
    std::remove(file.c_str());
}

TEST_F(StartupTest, RunningCopyRegistrationAndWindowFailuresEndWithZero) {
    fake_running_copy = 1;
    EXPECT_EQ(shell_main(""), 0);
    EXPECT_TRUE(logged("foreground:running copy"));
    EXPECT_FALSE(logged("register:"));
    EXPECT_FALSE(logged("tray:"));

    reset_everything();
    fake_register_fails = 1;
    EXPECT_EQ(shell_main(""), 0);
    EXPECT_FALSE(logged("create:"));
    EXPECT_FALSE(logged("tray:"));

    reset_everything();
    fake_create_fails = 1;
    EXPECT_EQ(shell_main(""), 0);
    EXPECT_FALSE(logged("tray:"));
    EXPECT_TRUE(fake_events_with("box:").empty());
}

TEST_F(StartupTest, UnreadableSettingsFileEndsWithOneAndTakesTheIconAway) {
    std::string existing = write_settings_file("keltup_shell_exists.ini", "[settings]\n");
    std::filesystem::path dir = test_folder();
    std::string missing = (dir / "keltup_shell_no_such_file.ini").string();
    // Over 511 characters yet naming a real file: refused, never cut to another path.
    std::string padded = dir.string();
    while (padded.size() < 520)
        padded += std::string(1, '/') + ".";
    padded += "/keltup_shell_exists.ini";
    FILE* probe = fopen(padded.c_str(), "rb");
    ASSERT_NE(probe, nullptr) << "the long path should name the file";
    fclose(probe);
    // 512 characters whose first 511 name a real file: cutting would read another file.
    std::string cut = dir.string() + "/";
    std::string name = "keltup_shell_exists.ini";
    if ((511 - cut.size() - name.size()) % 2) cut += "/";
    while (cut.size() + name.size() < 511)
        cut += "./";
    cut += name + "x";
    ASSERT_EQ(cut.size(), 512u);
    const std::string tails[] = {missing, "\"" + missing + "\"", padded, cut, dir.string(), "\"\""};
    for (const std::string& tail : tails) {
        SCOPED_TRACE(tail);
        reset_everything();
        EXPECT_EQ(shell_main(tail.c_str()), 1);
        EXPECT_EQ(fake_events_with("box:"),
                  std::vector<std::string>{"box:Fatal Error:Can't open settings file"});
        EXPECT_EQ(fake_events_with("tray:"),
                  (std::vector<std::string>{"tray:add:DROMOFF", "tray:remove"}));
        EXPECT_FALSE(logged("dialog:"));
        EXPECT_FALSE(logged("loop:"));
        EXPECT_FALSE(endpoint_is_open());
    }
    std::remove(existing.c_str());
}

TEST_F(StartupTest, QuotedPathWithSpacesIsTestedReadAndSaved) {
    server_open();
    std::string file = configured_settings("keltup shell quoted.ini", 1);
    fake_on_loop = [] {
        fake_menu_commands.push_back(CMD_SETTINGS);
        fake_tray(UI_TRAY_RBUTTONUP);
        exit_from_tray();
    };
    fake_script("SETBOX", [](UiWnd s) {
        EXPECT_EQ(fake_text(s, IDC_SERVER), "127.0.0.1");
        fake_type(s, IDC_NICK, "saved");
        fake_press(s, UI_IDOK);
    });
    EXPECT_EQ(shell_main(("\"" + file + "\"").c_str()), 0);
    EXPECT_EQ(std::string(settings_file), file);
    EXPECT_EQ(settings_value(file, "nick"), "SAVED");
    std::remove(file.c_str());
}

TEST_F(StartupTest, RelativePathIsMadeFullOnce) {
    server_open();
    std::string made = configured_settings("keltup_shell_relative.ini", 1);
    std::filesystem::path old_dir = std::filesystem::current_path();
    std::filesystem::current_path(test_folder());
    fake_on_loop = [] {
        // The program's folder may change later; the file it tested stays the one it uses.
        fake_menu_commands.push_back(CMD_SETTINGS);
        fake_tray(UI_TRAY_RBUTTONUP);
        exit_from_tray();
    };
    fake_script("SETBOX", [&](UiWnd s) {
        std::filesystem::current_path(old_dir);
        fake_type(s, IDC_NICK, "relative");
        fake_press(s, UI_IDOK);
    });
    EXPECT_EQ(shell_main("keltup_shell_relative.ini"), 0);
    std::filesystem::current_path(old_dir);
    EXPECT_TRUE(std::filesystem::path(settings_file).is_absolute()) << settings_file;
    EXPECT_TRUE(std::filesystem::equivalent(settings_file, made));
    EXPECT_EQ(settings_value(made, "nick"), "RELATIVE");
    std::remove(made.c_str());
}

TEST_F(StartupTest, EndpointFailureTakesTheIconAwayAndEndsWithZero) {
    server_open();
    // The stand-in server holds the port the client is told to bind.
    localport = server_port();
    char content[200];
    snprintf(content, sizeof content,
             "[settings]\nservername=127.0.0.1\nlocalport=%d\nremoteport=%d\n", server_port(),
             server_port());
    std::string file = write_settings_file("keltup_shell_bind.ini", content);
    EXPECT_EQ(shell_main(file.c_str()), 0);
    EXPECT_EQ(fake_events_with("box:"), std::vector<std::string>{"box:KelTup:Cant bind!"});
    EXPECT_EQ(fake_events_with("tray:"),
              (std::vector<std::string>{"tray:add:DROMOFF", "tray:remove"}));
    EXPECT_FALSE(logged("timer:"));
    EXPECT_FALSE(logged("loop:"));
    std::remove(file.c_str());
}

TEST_F(StartupTest, FailedPollTimerIsReportedTwiceAndStartUpGoesOn) {
    server_open();
    std::string file = configured_settings("keltup_shell_timer.ini", 1);
    fake_failing_timers.push_back(TIMER_POLL);
    fake_last_error = 1816;
    fake_on_loop = [] {
        EXPECT_FALSE(fake_tick_main());
        exit_from_tray();
    };
    EXPECT_EQ(shell_main(file.c_str()), 0);
    EXPECT_EQ(fake_events_with("box:"),
              (std::vector<std::string>{"box:KelTup:Cant make timer! CHECKBUF",
                                        "box:Error Number:1816"}));
    EXPECT_TRUE(logged("loop:end:0"));
    std::remove(file.c_str());
}

TEST_F(StartupTest, FirstRunCancelKeepsBuiltInValuesAndWritesNothing) {
    std::string file = write_settings_file("keltup_shell_first_cancel.ini",
                                           "[settings]\nservername=0.0.0.0\nnick=STORED\n");
    fake_script("SETBOX", [](UiWnd s) {
        EXPECT_EQ(fake_text(s, IDC_SERVER), "0.0.0.0");
        EXPECT_EQ(fake_text(s, IDC_NICK), "MRNOBODY");
        EXPECT_EQ(fake_text(s, IDC_REMOTEPORT), "99");
        EXPECT_EQ(fake_text(s, IDC_LOCALPORT), std::to_string(SETTINGS_DEFAULT_LOCALPORT));
        EXPECT_EQ(fake_check(s, IDC_POPUP), 1);
        EXPECT_FALSE(endpoint_is_open()); // the network waits for the dialog
        fake_press(s, UI_IDCANCEL);
    });
    fake_on_loop = [] { exit_from_tray(); };
    // The endpoint then opens with the built-in values or fails as the system decides; either way
    // the program ends with 0 and leaves no icon.
    EXPECT_EQ(shell_main(file.c_str()), 0);
    EXPECT_STREQ(nick, "mrnobody");
    EXPECT_EQ(settings_value(file, "nick"), "STORED");
    EXPECT_EQ(settings_value(file, "localport"), "<none>");
    EXPECT_EQ(fake_tray_icon, "");
    std::remove(file.c_str());
}

TEST_F(StartupTest, FirstRunOkSavesAndTheEndpointUsesTheTypedValues) {
    server_open();
    std::string file = write_settings_file("keltup_shell_first_ok.ini", "");
    fake_script("SETBOX", [](UiWnd s) {
        fake_type(s, IDC_SERVER, "127.0.0.1");
        fake_type(s, IDC_REMOTEPORT, std::to_string(server_port()).c_str());
        fake_type(s, IDC_LOCALPORT, std::to_string(client_port()).c_str());
        fake_type(s, IDC_NICK, "first");
        fake_press(s, UI_IDOK);
    });
    fake_on_loop = [] {
        // A message from the stand-in server reaches the client's endpoint.
        server_send('M', 5, "PEER", "FIRST", "welcome");
        popup = 0;
        EXPECT_TRUE(fake_tick_main());
        exit_from_tray();
    };
    EXPECT_EQ(shell_main(file.c_str()), 0);
    EXPECT_EQ(settings_value(file, "servername"), "127.0.0.1");
    EXPECT_EQ(settings_value(file, "nick"), "FIRST");
    EXPECT_EQ(settings_value(file, "remoteport"), std::to_string(server_port()));
    EXPECT_EQ(fake_events_with("tray:set:"), std::vector<std::string>{"tray:set:DROMON"});
    std::remove(file.c_str());
}

TEST_F(StartupTest, ExitDuringTheFirstRunDialogEndsOnceItCloses) {
    std::string file = write_settings_file("keltup_shell_first_exit.ini", "");
    fake_script("SETBOX", [](UiWnd s) {
        // Settings again: already open, nothing happens.
        fake_menu_commands.push_back(CMD_SETTINGS);
        fake_tray(UI_TRAY_RBUTTONUP);
        exit_from_tray();
        EXPECT_EQ(fake_tray_icon, "");
        fake_press(s, UI_IDCANCEL);
    });
    EXPECT_EQ(shell_main(file.c_str()), 0);
    EXPECT_EQ(fake_events_with("dialog:open:").size(), 1u);
    EXPECT_EQ(fake_events_with("tray:remove").size(), 1u);
    EXPECT_FALSE(logged("loop:"));
    EXPECT_FALSE(logged("timer:"));
    EXPECT_FALSE(endpoint_is_open());
    std::remove(file.c_str());
}

TEST_F(StartupTest, SendDuringTheFirstRunDialogReportsNoResponse) {
    std::string file = write_settings_file("keltup_shell_first_send.ini", "");
    fake_script("SETBOX", [](UiWnd s) {
        fake_menu_commands.push_back(CMD_SEND);
        fake_tray(UI_TRAY_RBUTTONUP);
        exit_from_tray();
        fake_press(s, UI_IDCANCEL);
    });
    fake_script("SENDBOX", [](UiWnd c) {
        fake_type(c, IDC_TO_COMBO, "anyone");
        fake_type(c, IDC_BODY, "too early");
        fake_press(c, IDC_SEND);
    });
    EXPECT_EQ(shell_main(file.c_str()), 0);
    EXPECT_EQ(fake_events_with("box:"),
              std::vector<std::string>{"box:Send Message:No response from server!"});
    EXPECT_FALSE(endpoint_is_open());
    std::remove(file.c_str());
}
