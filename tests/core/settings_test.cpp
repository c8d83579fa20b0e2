#include "platform/fake/fake_dialogs.h"
#include "platform/fake/fake_ui.h"
#include "resources/resources.h"
#include "settings/profile.h"
#include "settings/settings.h"
#include "settings/settings_dialog.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#ifdef _WIN32
#include <process.h>
#else
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

long process_id() {
#ifdef _WIN32
    return static_cast<long>(_getpid());
#else
    return static_cast<long>(getpid());
#endif
}

// A fresh folder under the system's temporary folder, removed afterwards.
class TempFolder : public ::testing::Test {
  protected:
    void SetUp() override {
        static int serial;
        // Unique per process: every test case may run as a process of its own, in parallel.
        dir = fs::temp_directory_path() /
              ("keltup-core-" + std::to_string(process_id()) + "-" + std::to_string(++serial));
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    std::string path(const char* name) const { return (dir / name).string(); }
    static void write(const std::string& file, const std::string& text) {
        std::ofstream(file, std::ios::binary) << text;
    }
    static std::string read(const std::string& file) {
        std::ifstream in(file, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    fs::path dir;
};

using Profile = TempFolder;

std::string get(const char* section, const char* key, const char* def, const std::string& file,
                int size = 100) {
    char buf[200];
    std::memset(buf, 'x', sizeof buf);
    int n = profile_get_string(section, key, def, buf, size, file.c_str());
    EXPECT_EQ(n, static_cast<int>(std::strlen(buf)));
    return buf;
}

TEST_F(Profile, ReadingMatchesNamesWithoutCaseAndTrims) {
    std::string f = path("a.ini");
    write(f, "; comment=not a key\r\n"
             "[Other]\r\n"
             "name=other\r\n"
             "\r\n"
             "  [ Settings ]  \r\n"
             "  ServerName   =   host.example   \r\n"
             "nick=\tBOB\t\r\n"
             "empty=\r\n"
             "quoted=\"  spaced  \"\r\n"
             "[settings2]\r\n"
             "nick=WRONG\r\n");
    EXPECT_EQ(get("settings", "servername", "d", f), "host.example");
    EXPECT_EQ(get("SETTINGS", "NICK", "d", f), "BOB");
    EXPECT_EQ(get("other", "name", "d", f), "other");
    EXPECT_EQ(get("settings", "empty", "d", f), "");
    EXPECT_EQ(get("settings", "quoted", "d", f), "  spaced  ");
    // Missing key, section or file: the default.
    EXPECT_EQ(get("settings", "missing", "dflt", f), "dflt");
    EXPECT_EQ(get("nosuch", "nick", "dflt", f), "dflt");
    EXPECT_EQ(get("settings", "nick", "dflt", path("none.ini")), "dflt");
    EXPECT_EQ(get("settings", "comment", "dflt", f), "dflt");
    // At most size - 1 characters.
    EXPECT_EQ(get("settings", "servername", "d", f, 5), "host");
    EXPECT_EQ(get("settings", "missing", "0.0.0.0", f, 4), "0.0");
}

TEST_F(Profile, IntegersAreTheLeadingSignedNumber) {
    std::string f = path("n.ini");
    write(f, "[s]\nplain=42\nneg=-17\nplus=+5\nlead= 12abc \nword=abc\nempty=\nbig=4294967297\n");
    const char* file = f.c_str();
    EXPECT_EQ(profile_get_int("s", "plain", 7, file), 42);
    EXPECT_EQ(profile_get_int("S", "NEG", 7, file), -17);
    EXPECT_EQ(profile_get_int("s", "plus", 7, file), 5);
    EXPECT_EQ(profile_get_int("s", "lead", 7, file), 12);
    EXPECT_EQ(profile_get_int("s", "word", 7, file), 0);
    EXPECT_EQ(profile_get_int("s", "empty", 7, file), 7);
    EXPECT_EQ(profile_get_int("s", "big", 7, file), 1);
    EXPECT_EQ(profile_get_int("s", "missing", 99, file), 99);
    EXPECT_EQ(profile_get_int("s", "plain", -3, path("none.ini").c_str()), -3);
}

std::string without_blank_lines(const std::string& text) {
    std::string out;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        end = end == std::string::npos ? text.size() : end + 1;
        std::string line = text.substr(start, end - start);
        if (line != "\r\n" && line != "\n") out += line;
        start = end;
    }
    return out;
}

TEST_F(Profile, WritingReplacesInPlaceAndKeepsTheRest) {
    std::string f = path("w.ini");
    write(f, "; top comment\r\n"
             "[first]\r\n"
             "a=1\r\n"
             "; inner comment\r\n"
             "b=2\r\n"
             "\r\n"
             "[settings]\r\n"
             "nick=OLD\r\n"
             "popup=1\r\n"
             "\r\n"
             "[last]\r\n"
             "z=26\r\n");
    EXPECT_EQ(profile_write_string("SETTINGS", "NICK", "NEW", f.c_str()), 1);
    // Only the nick's value changed; every other line is where it was (blank lines aside, which
    // some implementations drop).
    std::string text = without_blank_lines(read(f));
    EXPECT_EQ(text, "; top comment\r\n[first]\r\na=1\r\n; inner comment\r\nb=2\r\n"
                    "[settings]\r\nnick=NEW\r\npopup=1\r\n[last]\r\nz=26\r\n");
    EXPECT_EQ(get("settings", "nick", "d", f), "NEW");

    // A new key joins its section; a new section is added; both read back.
    EXPECT_EQ(profile_write_string("settings", "localport", "1234", f.c_str()), 1);
    EXPECT_EQ(profile_write_string("fresh", "k", "v", f.c_str()), 1);
    EXPECT_EQ(profile_get_int("settings", "localport", 0, f.c_str()), 1234);
    EXPECT_EQ(get("fresh", "k", "d", f), "v");
    EXPECT_EQ(get("last", "z", "d", f), "26");
    EXPECT_EQ(get("first", "b", "d", f), "2");
    text = read(f);
    EXPECT_LT(text.find("localport=1234"), text.find("[last]")) << text;
    EXPECT_NE(text.find("; inner comment"), std::string::npos);

    // A missing file is created.
    std::string g = path("new.ini");
    EXPECT_EQ(profile_write_string("settings", "servername", "h", g.c_str()), 1);
    EXPECT_EQ(get("settings", "servername", "d", g), "h");
}

using Settings = TempFolder;

void builtins() {
    std::strcpy(servername, "unset");
    std::strcpy(nick, "mrnobody");
    localport = SETTINGS_DEFAULT_LOCALPORT;
    remoteport = 99;
    popup = 1;
}

void use_file(const std::string& f) {
    std::snprintf(settings_file, sizeof settings_file, "%s", f.c_str());
}

TEST_F(Settings, LoadRules) {
    // No file: a first run; the settings dialog shows "0.0.0.0" and the built-in values, and
    // Cancel leaves them in memory and writes nothing.
    fake_ui_reset();
    fake_dialogs_reset();
    builtins();
    use_file(path("none.ini"));
    std::string shown_server, shown_nick, shown_ports;
    int shown_popup = -1;
    fake_script("SETBOX", [&](UiWnd dlg) {
        shown_server = fake_text(dlg, IDC_SERVER);
        shown_nick = fake_text(dlg, IDC_NICK);
        shown_ports = fake_text(dlg, IDC_REMOTEPORT) + "/" + fake_text(dlg, IDC_LOCALPORT);
        shown_popup = fake_check(dlg, IDC_POPUP);
        fake_press(dlg, UI_IDCANCEL);
    });
    ASSERT_EQ(settings_load(), SETTINGS_FIRST_RUN);
    settings_dialog_open(0); // as start-up does on a first run
    EXPECT_EQ(fake_scripts_left(), 0);
    EXPECT_TRUE(fake_errors.empty());
    EXPECT_EQ(shown_server, "0.0.0.0");
    for (char& c : shown_nick)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    EXPECT_EQ(shown_nick, "mrnobody"); // the field may show it in upper case
    EXPECT_EQ(shown_ports, "99/" + std::to_string(SETTINGS_DEFAULT_LOCALPORT));
    EXPECT_EQ(shown_popup, 1);
    EXPECT_STREQ(servername, "0.0.0.0");
    EXPECT_STREQ(nick, "mrnobody");
    EXPECT_FALSE(fs::exists(path("none.ini")));

    // Only the server set: the read defaults for the rest.
    std::string f = path("server.ini");
    write(f, "[settings]\nservername=relay.example\n");
    use_file(f);
    builtins();
    fake_ui_reset();
    EXPECT_EQ(settings_load(), SETTINGS_READ);
    EXPECT_TRUE(fake_events.empty()); // no dialog
    EXPECT_STREQ(servername, "relay.example");
    EXPECT_STREQ(nick, "MRNOBODY");
    EXPECT_EQ(localport, SETTINGS_DEFAULT_LOCALPORT);
    EXPECT_EQ(remoteport, 99);
    EXPECT_EQ(popup, 1);

    // Exactly "0.0.0.0": a first run, the other keys are not read.
    write(f, "[settings]\nservername=0.0.0.0\nnick=BOB\nlocalport=1\nremoteport=2\npopup=0\n");
    builtins();
    fake_script("SETBOX", [](UiWnd dlg) { fake_press(dlg, UI_IDCANCEL); });
    ASSERT_EQ(settings_load(), SETTINGS_FIRST_RUN);
    settings_dialog_open(0);
    EXPECT_EQ(fake_scripts_left(), 0);
    EXPECT_STREQ(nick, "mrnobody");
    EXPECT_EQ(localport, SETTINGS_DEFAULT_LOCALPORT);
    EXPECT_EQ(popup, 1);

    // Every key read; the nickname keeps at most 19 characters.
    write(f, "[settings]\nservername=10.1.2.3\nnick=ABCDEFGHIJKLMNOPQRSTUVWXYZ\n"
             "localport=1\nremoteport=-2\npopup=0\n");
    builtins();
    EXPECT_EQ(settings_load(), SETTINGS_READ);
    EXPECT_STREQ(servername, "10.1.2.3");
    EXPECT_STREQ(nick, "ABCDEFGHIJKLMNOPQRS");
    EXPECT_EQ(localport, 1);
    EXPECT_EQ(remoteport, -2);
    EXPECT_EQ(popup, 0);
}

TEST_F(Settings, SaveWritesAllFiveKeysAndLoadsBack) {
    std::string f = path("save.ini");
    write(f, "; mine\n[settings]\nnick=OLD\n[extra]\nkeep=1\n");
    use_file(f);
    std::strcpy(servername, "server.example");
    std::memset(nick, 'N', sizeof nick); // a full field without a terminator
    localport = 4000;
    remoteport = -1;
    popup = 0;
    settings_save();
    EXPECT_EQ(get("settings", "servername", "d", f), "server.example");
    EXPECT_EQ(get("settings", "nick", "d", f), std::string(19, 'N'));
    EXPECT_EQ(get("settings", "localport", "d", f), "4000");
    EXPECT_EQ(get("settings", "remoteport", "d", f), "-1");
    EXPECT_EQ(get("settings", "popup", "d", f), "0");
    EXPECT_EQ(get("extra", "keep", "d", f), "1");
    EXPECT_NE(read(f).find("; mine"), std::string::npos);

    builtins();
    EXPECT_EQ(settings_load(), SETTINGS_READ);
    EXPECT_STREQ(servername, "server.example");
    EXPECT_STREQ(nick, std::string(19, 'N').c_str());
    EXPECT_EQ(localport, 4000);
    EXPECT_EQ(remoteport, -1);
    EXPECT_EQ(popup, 0);
}

#ifndef _WIN32
// The writer outside Windows (there the system's own functions write). Cases the settings fuzz
// target found: a byte-order mark lost, line ends made uniform, a final CR without a line feed.
TEST_F(Settings, SaveKeepsTheByteOrderMarkAndEveryLinesOwnEnd) {
    std::string f = path("editor.ini");
    // From a Windows editor: a mark, CR LF lines, one LF line, no line end after the last.
    write(f, "\xEF\xBB\xBF; mine\r\n[settings]\r\nnick=OLD\nservername=a.example\r\n\r\n"
             "[extra]\r\nkeep=1");
    use_file(f);
    std::strcpy(servername, "b.example");
    std::strcpy(nick, "NEW");
    localport = 1;
    remoteport = 2;
    popup = 0;
    settings_save();
    EXPECT_EQ(read(f), "\xEF\xBB\xBF; mine\r\n[settings]\r\nnick=NEW\nservername=b.example\r\n"
                       "localport=1\r\nremoteport=2\r\npopup=0\r\n\r\n[extra]\r\nkeep=1");
    builtins();
    EXPECT_EQ(settings_load(), SETTINGS_READ);
    EXPECT_STREQ(servername, "b.example");
    EXPECT_STREQ(nick, "NEW");
    EXPECT_EQ(popup, 0);

    // A section added after a last line without an end: that line gets the file's end (LF here),
    // and so does every added line.
    write(f, "[a]\nk=v");
    EXPECT_EQ(profile_write_string("settings", "nick", "X", f.c_str()), 1);
    EXPECT_EQ(read(f), "[a]\nk=v\n\n[settings]\nnick=X\n");

    // A file without any line end that ends in a CR is a CR LF file: the CR stays the line's own
    // and a second write ends its lines as the first did.
    write(f, "; note\r");
    EXPECT_EQ(profile_write_string("settings", "nick", "X", f.c_str()), 1);
    EXPECT_EQ(profile_write_string("settings", "popup", "1", f.c_str()), 1);
    EXPECT_EQ(read(f), "; note\r\r\n\r\n[settings]\r\nnick=X\r\npopup=1\r\n");
}

TEST_F(Settings, DefaultFileIsInTheUsersConfigFolder) {
    const char* old_xdg = std::getenv("XDG_CONFIG_HOME");
    std::string saved_xdg = old_xdg ? old_xdg : "";
    const char* old_home = std::getenv("HOME");
    std::string saved_home = old_home ? old_home : "";

    std::string xdg = (dir / "xdg").string();
    setenv("XDG_CONFIG_HOME", xdg.c_str(), 1);
    settings_use_default_file();
    EXPECT_EQ(std::string(settings_file), xdg + "/keltup/KELTUP.INI");

    // A relative XDG_CONFIG_HOME is not used, nor an empty one.
    setenv("HOME", dir.string().c_str(), 1);
    setenv("XDG_CONFIG_HOME", "relative", 1);
    settings_use_default_file();
    EXPECT_EQ(std::string(settings_file), dir.string() + "/.config/keltup/KELTUP.INI");
    unsetenv("XDG_CONFIG_HOME");
    settings_use_default_file();
    EXPECT_EQ(std::string(settings_file), dir.string() + "/.config/keltup/KELTUP.INI");

    // The folders are made on the first save.
    std::strcpy(servername, "made.example");
    settings_save();
    EXPECT_TRUE(fs::exists(dir / ".config" / "keltup" / "KELTUP.INI"));
    builtins();
    EXPECT_EQ(settings_load(), SETTINGS_READ);
    EXPECT_STREQ(servername, "made.example");

    if (old_xdg) setenv("XDG_CONFIG_HOME", saved_xdg.c_str(), 1);
    if (old_home) setenv("HOME", saved_home.c_str(), 1);
}
#else
#include <windows.h>

TEST_F(Settings, PerUserFileFallsBackToTheWindowsFolderForReading) {
    settings_use_default_file();
    std::string user_file = settings_file;
    EXPECT_NE(user_file.find("\\KelTup\\KELTUP.INI"), std::string::npos) << user_file;
    if (fs::exists(user_file)) GTEST_SKIP() << "a per-user settings file exists already";
    char windir[MAX_PATH];
    GetWindowsDirectoryA(windir, sizeof windir);
    std::string legacy = std::string(windir) + "\\KELTUP.INI";
    if (fs::exists(legacy)) GTEST_SKIP() << "a settings file exists in the Windows folder";
    write(legacy, "[settings]\r\nservername=legacy.example\r\nnick=OLDNICK\r\n");

    builtins();
    EXPECT_EQ(settings_load(), SETTINGS_READ);
    EXPECT_STREQ(servername, "legacy.example");
    EXPECT_STREQ(nick, "OLDNICK");

    // Saving goes to the per-user file (its folder made), which is read from then on.
    std::strcpy(servername, "user.example");
    settings_save();
    EXPECT_TRUE(fs::exists(user_file));
    EXPECT_EQ(get("settings", "servername", "d", legacy), "legacy.example");
    builtins();
    EXPECT_EQ(settings_load(), SETTINGS_READ);
    EXPECT_STREQ(servername, "user.example");

    fs::remove(legacy);
    fs::remove(user_file);
    fs::remove(fs::path(user_file).parent_path());
}
#endif

} // namespace
