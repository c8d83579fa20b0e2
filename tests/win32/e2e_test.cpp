// keltup.exe end to end: the real program, driven from outside through its windows, against a
// test server on 127.0.0.1. The cases run one after another: a running copy is found by every
// other copy on the desktop.
#include "tests/win32/driver.h"

#include <gtest/gtest.h>
#include <shlobj.h>
#include <string.h>

#include <string>

#include "protocol/datagram.h"

namespace {

enum { WAIT_MS = 20000 };

std::string g_exe;
std::string g_dir; // a scratch folder of this run

std::string here() {
    char path[MAX_PATH];
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    char* slash = strrchr(path, '\\');
    if (slash) *slash = 0;
    return path;
}

std::string read_key(const std::string& file, const char* key) {
    char buf[600];
    GetPrivateProfileStringA("settings", key, "<missing>", buf, sizeof buf, file.c_str());
    return buf;
}

void write_settings(const std::string& file, int server_port, int local_port, const char* nick,
                    int popup_on) {
    DeleteFileA(file.c_str());
    WritePrivateProfileStringA("settings", "servername", "127.0.0.1", file.c_str());
    WritePrivateProfileStringA("settings", "nick", nick, file.c_str());
    WritePrivateProfileStringA("settings", "localport", std::to_string(local_port).c_str(),
                               file.c_str());
    WritePrivateProfileStringA("settings", "remoteport", std::to_string(server_port).c_str(),
                               file.c_str());
    WritePrivateProfileStringA("settings", "popup", popup_on ? "1" : "0", file.c_str());
}

Datagram message(char kind, const char* from, const char* to, const char* body, unsigned id) {
    Datagram d;
    memset(&d, 0, sizeof d);
    memcpy(d.magic, "KT1", 3);
    d.kind = kind;
    d.id[0] = (unsigned char)(id & 0xFF);
    d.id[1] = (unsigned char)(id >> 8);
    strcpy(d.sender, from);
    strcpy(d.recipient, to);
    strcpy(d.body, body);
    return d;
}

int wire_length(const Datagram& d) {
    return HEADER_SIZE + (int)strlen(d.body) + 1;
}

// One running keltup.exe, ended with Exit from the tray menu (or killed when a test failed).
struct Running {
    DrvProcess proc = {nullptr, 0};
    HWND main = nullptr;
    ~Running() { drv_kill(&proc); }
};

void start(Running* r, const std::string& args) {
    ASSERT_EQ(drv_start(g_exe.c_str(), args.c_str(), &r->proc), 1) << g_exe;
    r->main = drv_wait_main(WAIT_MS);
    ASSERT_TRUE(r->main != nullptr);
}

BOOL CALLBACK list_window(HWND w, LPARAM lp) {
    char buf[256] = "", cls[64] = "";
    if (!IsWindowVisible(w)) return TRUE;
    GetWindowTextA(w, buf, sizeof buf);
    GetClassNameA(w, cls, sizeof cls);
    *(std::string*)lp += std::string(" [") + cls + ": " + buf + "]";
    return TRUE;
}

// The visible windows, for failure messages.
std::string windows_up() {
    std::string s;
    EnumWindows(list_window, (LPARAM)&s);
    return s;
}

void exit_from_menu(Running* r) {
    ASSERT_EQ(drv_menu_pick(r->main, 'X'), 1) << windows_up();
    DWORD code = 99;
    ASSERT_EQ(drv_wait_exit(&r->proc, WAIT_MS, &code), 1) << windows_up();
    EXPECT_EQ(code, 0u);
    EXPECT_FALSE(IsWindow(r->main));
}

class KelTupExe : public ::testing::Test {
  protected:
    void SetUp() override {
        server = drv_udp_open(&server_port);
        ASSERT_NE(server, INVALID_SOCKET);
        local_port = drv_free_port();
        ini =
            g_dir + "\\" + ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".ini";
    }
    void TearDown() override {
        closesocket(server);
        DeleteFileA(ini.c_str());
    }
    // Fills the settings dialog for the test server and saves with OK.
    void save_settings(HWND dlg, const char* nick) {
        drv_set_text(dlg, 1000, "127.0.0.1");
        drv_set_text(dlg, 1020, std::to_string(server_port).c_str());
        drv_set_text(dlg, 1022, nick);
        drv_set_text(dlg, 1021, std::to_string(local_port).c_str());
        drv_press(dlg, 1);
        ASSERT_EQ(drv_wait_gone(dlg, WAIT_MS), 1);
    }
    // Receives the next datagram from the client, skipping nothing.
    int receive(char* buf, int size, int timeout_ms = WAIT_MS) {
        sockaddr_in from;
        return drv_udp_recv(server, buf, size, timeout_ms, &from);
    }
    SOCKET server = INVALID_SOCKET;
    int server_port = 0;
    int local_port = 0;
    std::string ini;
};

} // namespace

TEST_F(KelTupExe, FirstRunShowsSettingsAndOkWritesAllFiveKeysThenExitEndsWithZero) {
    HANDLE f = CreateFileA(ini.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(f, INVALID_HANDLE_VALUE);
    CloseHandle(f);
    Running r;
    start(&r, ini);
    HWND dlg = drv_wait_window("KelTup - Settings", WAIT_MS);
    ASSERT_TRUE(dlg != nullptr);
    EXPECT_EQ(drv_get_text(dlg, 1000), "0.0.0.0");
    EXPECT_EQ(drv_get_text(dlg, 1022), "MRNOBODY");
    EXPECT_EQ(drv_get_text(dlg, 1020), "99");
    EXPECT_EQ(drv_get_text(dlg, 1021), "99");
    EXPECT_EQ(drv_get_check(dlg, 1023), 1);
    save_settings(dlg, "alice");
    EXPECT_EQ(read_key(ini, "servername"), "127.0.0.1");
    EXPECT_EQ(read_key(ini, "nick"), "ALICE");
    EXPECT_EQ(read_key(ini, "localport"), std::to_string(local_port));
    EXPECT_EQ(read_key(ini, "remoteport"), std::to_string(server_port));
    EXPECT_EQ(read_key(ini, "popup"), "1");
    exit_from_menu(&r);
}

TEST_F(KelTupExe, ArrivalPopsUpTheViewerAndAReplyFromItGetsItsReceipt) {
    write_settings(ini, server_port, local_port, "BOB", 1);
    Running r;
    start(&r, ini);
    // The client is bound once its poll timer runs; a datagram sent before that is lost, so
    // repeat the message until the viewer shows up.
    Datagram in = message('M', "ALICE", "BOB", "hello there, bob", 4321);
    HWND viewer = nullptr;
    for (int i = 0; i < 10 && !viewer; i++) {
        drv_udp_send(server, &in, wire_length(in), local_port);
        viewer = drv_wait_window("KelTup - Message", 3000);
        if (!viewer) viewer = drv_wait_window("KelTup - 1 Messages", 0);
    }
    ASSERT_TRUE(viewer != nullptr);
    // The title follows the count within a refresh.
    ASSERT_TRUE(drv_wait_window("KelTup - 1 Messages", WAIT_MS) == viewer) << windows_up();
    EXPECT_EQ(drv_get_text(viewer, 1013), "BOB");
    EXPECT_EQ(drv_get_text(viewer, 1014), "ALICE");
    EXPECT_EQ(drv_get_text(viewer, 1000), "hello there, bob");
    std::string when = drv_get_text(viewer, 1015);
    // Local receipt time in asctime form: "Www Mmm dd hh:mm:ss yyyy".
    ASSERT_GE(when.size(), 24u) << when;
    EXPECT_EQ(when[3], ' ');
    EXPECT_EQ(when[13], ':');
    EXPECT_EQ(when[16], ':');

    // Reply: the compose dialog starts with the sender as recipient.
    drv_press(viewer, 1012);
    HWND compose = drv_wait_window("KelTup", WAIT_MS);
    ASSERT_TRUE(compose != nullptr);
    EXPECT_EQ(drv_get_text(compose, 1001), "ALICE");
    drv_set_text(compose, 1000, "hi alice");
    drv_press(compose, 1007);
    char buf[2048];
    int n = receive(buf, sizeof buf);
    ASSERT_EQ(n, HEADER_SIZE + 9);
    Datagram out;
    memset(&out, 0, sizeof out);
    memcpy(&out, buf, n);
    EXPECT_EQ(std::string(out.magic, 3), "KT1");
    EXPECT_EQ(out.kind, 'M');
    EXPECT_STREQ(out.recipient, "ALICE");
    EXPECT_STREQ(out.sender, "BOB");
    EXPECT_STREQ(out.body, "hi alice");
    Datagram receipt = message('R', "", "BOB", "", out.id[0] | out.id[1] << 8);
    drv_udp_send(server, &receipt, HEADER_SIZE + 1, local_port);
    HWND box = drv_wait_window("Send Message", WAIT_MS);
    ASSERT_TRUE(box != nullptr);
    EXPECT_EQ(drv_box_text(box), "Message Sent");
    drv_press(box, IDOK);
    EXPECT_EQ(drv_wait_gone(compose, WAIT_MS), 1);
    // The viewer stays until Close.
    EXPECT_TRUE(IsWindowVisible(viewer));
    drv_press(viewer, 1017);
    EXPECT_EQ(drv_wait_gone(viewer, WAIT_MS), 1);
    exit_from_menu(&r);
}

TEST_F(KelTupExe, ASilentServerGetsTenDatagramsThenNoResponseFromServer) {
    write_settings(ini, server_port, local_port, "CAROL", 1);
    Running r;
    start(&r, ini);
    // A double-click with an empty inbox opens the compose dialog.
    drv_tray(r.main, WM_LBUTTONDBLCLK);
    HWND compose = drv_wait_window("KelTup", WAIT_MS);
    ASSERT_TRUE(compose != nullptr);
    drv_set_text(compose, 1001, "dave");
    drv_set_text(compose, 1000, "anyone there?");
    drv_press(compose, 1007);
    HWND box = drv_wait_window("Send Message", 60000);
    ASSERT_TRUE(box != nullptr);
    EXPECT_EQ(drv_box_text(box), "No response from server!");
    int count = 0;
    char buf[2048];
    unsigned first_id = 0;
    int n;
    while ((n = receive(buf, sizeof buf, 300)) > 0) {
        Datagram d;
        memset(&d, 0, sizeof d);
        memcpy(&d, buf, n);
        unsigned id = d.id[0] | d.id[1] << 8;
        if (count == 0) first_id = id;
        EXPECT_EQ(id, first_id);
        EXPECT_STREQ(d.recipient, "DAVE");
        EXPECT_EQ(n, HEADER_SIZE + 14);
        count++;
    }
    EXPECT_EQ(count, 10);
    drv_press(box, IDOK);
    EXPECT_EQ(drv_wait_gone(compose, WAIT_MS), 1);
    exit_from_menu(&r);
}

TEST_F(KelTupExe, ASecondCopyEndsWithZeroAndLeavesTheFirstRunning) {
    write_settings(ini, server_port, local_port, "ERIN", 1);
    Running first;
    start(&first, ini);
    DrvProcess second = {nullptr, 0};
    ASSERT_EQ(drv_start(g_exe.c_str(), ini.c_str(), &second), 1);
    DWORD code = 99;
    EXPECT_EQ(drv_wait_exit(&second, WAIT_MS, &code), 1);
    EXPECT_EQ(code, 0u);
    drv_kill(&second);
    EXPECT_EQ(WaitForSingleObject(first.proc.process, 0), (DWORD)WAIT_TIMEOUT);
    EXPECT_TRUE(IsWindow(first.main));
    exit_from_menu(&first);
}

TEST_F(KelTupExe, AMissingSettingsFileEndsWithCantOpenAndCodeOne) {
    std::string missing = g_dir + "\\no such folder\\none.ini";
    DrvProcess p = {nullptr, 0};
    ASSERT_EQ(drv_start(g_exe.c_str(), missing.c_str(), &p), 1);
    HWND box = drv_wait_window("Fatal Error", WAIT_MS);
    ASSERT_TRUE(box != nullptr);
    EXPECT_EQ(drv_box_text(box), "Can't open settings file");
    drv_press(box, IDOK);
    DWORD code = 99;
    EXPECT_EQ(drv_wait_exit(&p, WAIT_MS, &code), 1);
    EXPECT_EQ(code, 1u);
    drv_kill(&p);
    // Nothing reached the network.
    char buf[64];
    EXPECT_EQ(receive(buf, sizeof buf, 200), -1);
}

TEST_F(KelTupExe, TheDefaultSettingsFileIsPerUserAndAnOldWindowsFolderFileIsStillRead) {
    char appdata[MAX_PATH], windir[MAX_PATH];
    ASSERT_EQ(SHGetFolderPathA(nullptr, CSIDL_APPDATA, nullptr, 0, appdata), S_OK);
    GetWindowsDirectoryA(windir, MAX_PATH);
    std::string user_ini = std::string(appdata) + "\\KelTup\\KELTUP.INI";
    std::string old_ini = std::string(windir) + "\\KELTUP.INI";
    DeleteFileA(user_ini.c_str());

    // An existing installation: its settings in the Windows folder are read, no first run.
    write_settings(old_ini, server_port, local_port, "OLDTIMER", 1);
    {
        Running r;
        start(&r, "");
        drv_tray(r.main, WM_LBUTTONDBLCLK);
        HWND compose = drv_wait_window("KelTup", WAIT_MS);
        ASSERT_TRUE(compose != nullptr);
        EXPECT_FALSE(drv_window_up("KelTup - Settings"));
        drv_set_text(compose, 1001, "X");
        drv_press(compose, 1007);
        char buf[2048];
        int n = receive(buf, sizeof buf);
        ASSERT_GT(n, HEADER_SIZE);
        EXPECT_STREQ(buf + 6, "OLDTIMER");
        Datagram receipt =
            message('R', "", "", "", (unsigned char)buf[4] | (unsigned char)buf[5] << 8);
        drv_udp_send(server, &receipt, HEADER_SIZE + 1, local_port);
        HWND box = drv_wait_window("Send Message", WAIT_MS);
        ASSERT_TRUE(box != nullptr);
        drv_press(box, IDOK);
        drv_wait_gone(compose, WAIT_MS);
        // Saving from the settings dialog goes to the per-user file.
        ASSERT_EQ(drv_menu_pick(r.main, 'E'), 1);
        HWND dlg = drv_wait_window("KelTup - Settings", WAIT_MS);
        ASSERT_TRUE(dlg != nullptr);
        EXPECT_EQ(drv_get_text(dlg, 1022), "OLDTIMER");
        drv_set_text(dlg, 1022, "NEWTIMER");
        drv_press(dlg, 1);
        ASSERT_EQ(drv_wait_gone(dlg, WAIT_MS), 1);
        exit_from_menu(&r);
    }
    EXPECT_EQ(read_key(user_ini, "nick"), "NEWTIMER");
    EXPECT_EQ(read_key(user_ini, "servername"), "127.0.0.1");
    EXPECT_EQ(read_key(user_ini, "popup"), "1");
    EXPECT_EQ(read_key(old_ini, "nick"), "OLDTIMER");
    DeleteFileA(old_ini.c_str());

    // From now on the per-user file is the one read.
    {
        Running r;
        start(&r, "");
        EXPECT_FALSE(drv_window_up("KelTup - Settings"));
        ASSERT_EQ(drv_menu_pick(r.main, 'E'), 1);
        HWND dlg = drv_wait_window("KelTup - Settings", WAIT_MS);
        ASSERT_TRUE(dlg != nullptr);
        EXPECT_EQ(drv_get_text(dlg, 1022), "NEWTIMER");
        drv_press(dlg, 2);
        drv_wait_gone(dlg, WAIT_MS);
        exit_from_menu(&r);
    }
    DeleteFileA(user_ini.c_str());
}

static std::wstring wide(const std::string& utf8) {
    wchar_t buf[MAX_PATH * 2];
    MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, buf, MAX_PATH * 2);
    return buf;
}

// The user's AppData folder as the shell gives it, pointed elsewhere for one test and put back.
struct AppDataMoved {
    const wchar_t* key =
        L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";
    wchar_t old[MAX_PATH * 2];
    DWORD size = sizeof old;
    explicit AppDataMoved(const std::wstring& folder) {
        RegGetValueW(HKEY_CURRENT_USER, key, L"AppData", RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND,
                     nullptr, old, &size);
        RegSetKeyValueW(HKEY_CURRENT_USER, key, L"AppData", REG_EXPAND_SZ, folder.c_str(),
                        (DWORD)((folder.size() + 1) * sizeof(wchar_t)));
    }
    ~AppDataMoved() {
        RegSetKeyValueW(HKEY_CURRENT_USER, key, L"AppData", REG_EXPAND_SZ, old, size);
    }
};

// A user named Юрий on a Western code page: the AppData folder's name has letters the ANSI code
// page lacks. The first run's settings are saved there and read back at the next start, and the
// same file named on the command line is read and saved to.
TEST_F(KelTupExe, SettingsInAFolderOutsideTheAnsiCodePageAreSavedAndReadBack) {
    ASSERT_EQ(GetACP(), 1252u) << "the test wants a Western code page";
    std::string appdata = g_dir + "\\Юрий";
    std::string user_ini = appdata + "\\KelTup\\KELTUP.INI";
    CreateDirectoryW(wide(appdata).c_str(), nullptr);
    // Opens the settings from the tray menu (with no nickname shown, the first run's dialog),
    // checks the nickname shown and saves another.
    auto edit_nick = [&](const std::string& args, const char* shown, const char* typed) {
        Running r;
        start(&r, args);
        if (shown && drv_menu_pick(r.main, 'E') != 1) FAIL() << windows_up();
        HWND dlg = drv_wait_window("KelTup - Settings", WAIT_MS);
        ASSERT_TRUE(dlg != nullptr);
        EXPECT_TRUE(!shown || drv_get_text(dlg, 1022) == shown) << drv_get_text(dlg, 1022);
        save_settings(dlg, typed);
        exit_from_menu(&r);
    };
    {
        AppDataMoved moved(wide(appdata));
        edit_nick("", nullptr, "YURI");
        // No first run this time: its dialog would show the built-in nickname.
        edit_nick("", "YURI", "AGAIN");
    }
    edit_nick("\"" + user_ini + "\"", "AGAIN", "NAMED");
    edit_nick("\"" + user_ini + "\"", "NAMED", "NAMED");
    DeleteFileW(wide(user_ini).c_str());
    RemoveDirectoryW(wide(appdata + "\\KelTup").c_str());
    RemoveDirectoryW(wide(appdata).c_str());
}

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    g_exe = here() + "\\keltup.exe";
    char tmp[MAX_PATH];
    GetTempPathA(MAX_PATH, tmp);
    g_dir = std::string(tmp) + "keltup-e2e-" + std::to_string(GetCurrentProcessId());
    CreateDirectoryA(g_dir.c_str(), nullptr);
    int rc = RUN_ALL_TESTS();
    RemoveDirectoryA(g_dir.c_str());
    return rc;
}
