// keltup-server.exe run in a console under Windows (Wine here): messages between test clients,
// keltup-send.exe and the desktop program through it on 127.0.0.1, and its operator's pipe.
#include <winsock2.h> // first: datagram.h takes REASON_UNKNOWN back from windows.h's macro

#include "tests/server/test_client.h"
#include "tests/server/win32_process.h"
#include "tests/win32/driver.h"

#include <gtest/gtest.h>

#include <aclapi.h>
#include <sddl.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

std::string g_dir; // this run's scratch folder

std::string scratch(const char* name) {
    return g_dir + "\\" + ::testing::UnitTest::GetInstance()->current_test_info()->name() + "." +
           name;
}

// keltup-server.exe or keltup-send.exe with args; its output in *out.
int run(const char* program, const std::string& args, std::string* out) {
    return run_logged("\"" + program_dir() + "\\" + program + "\" " + args, out,
                      scratch("run.out"));
}

NetAddr relay_at(const ConsoleRelay& r) {
    return NetAddr{0x7F000001u, static_cast<uint16_t>(r.port)};
}

TEST(ConsoleRelay, RelaysMessagesWithReceiptsUnknownRecipientsAndResendsOnce) {
    TestClient alice, bob;
    std::string users = scratch("users");
    write_file(users, "ALICE = 127.0.0.1:" + std::to_string(alice.addr.port) + "\r\n");
    ConsoleRelay relay;
    ASSERT_EQ(1, relay.start("--control ktw-relay --users \"" + users + "\"", scratch("log")))
        << read_file(relay.log);
    NetAddr at = relay_at(relay);

    // A message: forwarded to its recipient, a receipt to its sender.
    EXPECT_EQ(1, bob.send_with_receipt(at, "BOB", "ALICE", "hello alice", 101));
    EXPECT_TRUE(alice.receives("hello alice"));

    // keltup-send.exe: exit 0 on its receipt, the message delivered.
    std::string out;
    EXPECT_EQ(0, run("keltup-send.exe",
                     "--port " + std::to_string(relay.port) + " --from CAROL alice \"from carol\"",
                     &out))
        << out;
    EXPECT_TRUE(alice.receives("from carol"));

    // keltup-send.exe to an unknown recipient: the notice's reason makes its exit code 3.
    EXPECT_EQ(3,
              run("keltup-send.exe",
                  "--port " + std::to_string(relay.port) + " --from CAROL nobody \"hello?\"", &out))
        << out;
    EXPECT_NE(std::string::npos, out.find("Nobody called NOBODY is known")) << out;

    // An unknown recipient: the receipt, then the notice with its reason.
    Datagram d;
    bob.send(at, "BOB", "NOBODY", "anyone?", 102);
    ASSERT_GT(bob.recv_kind(&d, KIND_RECEIPT), 0);
    EXPECT_EQ(102u, datagram_id(&d));
    ASSERT_GT(bob.recv_kind(&d, KIND_NOTICE), 0);
    EXPECT_EQ(REASON_UNKNOWN, d.reserved[RELAY_REASON_AT]);

    // A resend: a second receipt, no second delivery (the next message alice gets is the new
    // one).
    bob.send(at, "BOB", "ALICE", "only once", 103);
    ASSERT_GT(bob.recv_kind(&d, KIND_RECEIPT), 0);
    bob.send(at, "BOB", "ALICE", "only once", 103);
    ASSERT_GT(bob.recv_kind(&d, KIND_RECEIPT), 0);
    EXPECT_EQ(103u, datagram_id(&d));
    bob.send(at, "BOB", "ALICE", "the next one", 104);
    ASSERT_GT(alice.recv_kind(&d, KIND_MESSAGE), 0);
    EXPECT_STREQ("only once", d.body);
    ASSERT_GT(alice.recv_kind(&d, KIND_MESSAGE), 0);
    EXPECT_STREQ("the next one", d.body);

    EXPECT_EQ(0, run("keltup-server.exe", "--status --control ktw-relay", &out));
    EXPECT_NE(std::string::npos, out.find("resends                                 1")) << out;
    EXPECT_NE(std::string::npos, out.find("unknown recipients                      2")) << out;
}

TEST(ConsoleRelay, TheDesktopProgramSendsThroughItAndGetsWhatIsSentToIt) {
    TestClient bob;
    int desk_port = drv_free_port();
    std::string users = scratch("users");
    write_file(users, "BOB = 127.0.0.1:" + std::to_string(bob.addr.port) + "\r\n");
    ConsoleRelay relay;
    ASSERT_EQ(1, relay.start("--control ktw-desk --users \"" + users + "\"", scratch("log")))
        << read_file(relay.log);
    std::string ini = scratch("ini");
    DeleteFileA(ini.c_str());
    WritePrivateProfileStringA("settings", "servername", "127.0.0.1", ini.c_str());
    WritePrivateProfileStringA("settings", "nick", "DESK", ini.c_str());
    WritePrivateProfileStringA("settings", "localport", std::to_string(desk_port).c_str(),
                               ini.c_str());
    WritePrivateProfileStringA("settings", "remoteport", std::to_string(relay.port).c_str(),
                               ini.c_str());
    WritePrivateProfileStringA("settings", "popup", "1", ini.c_str());
    DrvProcess desk = {nullptr, 0};
    ASSERT_EQ(1, drv_start((program_dir() + "\\keltup.exe").c_str(), ini.c_str(), &desk));
    HWND main = drv_wait_main(CHILD_WAIT_MS);
    ASSERT_TRUE(main != nullptr);

    // From the desktop program: delivered to bob, and its receipt comes back.
    drv_tray(main, WM_LBUTTONDBLCLK);
    HWND compose = drv_wait_window("KelTup", CHILD_WAIT_MS);
    ASSERT_TRUE(compose != nullptr);
    drv_set_text(compose, 1001, "bob");
    drv_set_text(compose, 1000, "hello from the desk");
    drv_press(compose, 1007);
    HWND box = drv_wait_window("Send Message", CHILD_WAIT_MS);
    ASSERT_TRUE(box != nullptr);
    EXPECT_EQ(drv_box_text(box), "Message Sent");
    drv_press(box, IDOK);
    EXPECT_TRUE(bob.receives("hello from the desk"));

    // To it, by the nickname the relay learned from that message: the viewer pops up.
    std::string out;
    EXPECT_EQ(0, run("keltup-send.exe",
                     "--port " + std::to_string(relay.port) + " --from BOB desk \"hi desk\"", &out))
        << out;
    HWND viewer = drv_wait_window("KelTup - 1 Messages", CHILD_WAIT_MS);
    if (viewer == nullptr) viewer = drv_wait_window("KelTup - Message", CHILD_WAIT_MS);
    ASSERT_TRUE(viewer != nullptr);
    EXPECT_EQ(drv_get_text(viewer, 1000), "hi desk");
    EXPECT_EQ(drv_get_text(viewer, 1014), "BOB");
    drv_press(viewer, 1017);
    drv_wait_gone(viewer, CHILD_WAIT_MS);
    ASSERT_EQ(drv_menu_pick(main, 'X'), 1);
    DWORD code = 99;
    EXPECT_EQ(1, drv_wait_exit(&desk, CHILD_WAIT_MS, &code));
    drv_kill(&desk);
}

TEST(ConsoleRelay, TheOperatorsPipeTakesStatusNoticesAndReload) {
    TestClient alice;
    std::string users = scratch("users");
    write_file(users, "\xEF\xBB\xBF# as Notepad saves it\r\nALICE = 127.0.0.1:" +
                          std::to_string(alice.addr.port) + "\r\n");
    ConsoleRelay relay;
    ASSERT_EQ(1, relay.start("--control ktw-operator --users \"" + users + "\"", scratch("log")))
        << read_file(relay.log);

    std::string out;
    EXPECT_EQ(0, run("keltup-server.exe", "--status --control ktw-operator", &out));
    EXPECT_NE(std::string::npos, out.find("directory: 1 nicknames (room for 65536)")) << out;
    EXPECT_NE(std::string::npos, out.find("ALICE                127.0.0.1:")) << out;
    // The full pipe path works as well as its name.
    EXPECT_EQ(0, run("keltup-server.exe", "--status --control \\\\.\\pipe\\ktw-operator", &out));

    EXPECT_EQ(
        0, run("keltup-server.exe", "--control ktw-operator --notice alice \"Back soon.\"", &out));
    EXPECT_EQ("Notice sent to alice.\r\n", out);
    Datagram d;
    ASSERT_GT(alice.recv_kind(&d, KIND_NOTICE), 0);
    EXPECT_STREQ("Back soon.", d.body);
    EXPECT_EQ(REASON_OPERATOR, d.reserved[RELAY_REASON_AT]);
    EXPECT_EQ(1, run("keltup-server.exe", "--control ktw-operator --notice NOBODY x", &out));

    // --reload: the new list, or the old one kept when the new has a fault.
    write_file(users, "ALICE = 127.0.0.1:4001\r\nBOB = 127.0.0.1:4002\r\n");
    EXPECT_EQ(0, run("keltup-server.exe", "--reload --control ktw-operator", &out));
    EXPECT_NE(std::string::npos, out.find("2 users listed from")) << out;
    write_file(users, "ALICE = 127.0.0.1:4001\r\nnot an entry\r\n");
    EXPECT_EQ(1, run("keltup-server.exe", "--reload --control ktw-operator", &out));
    EXPECT_NE(std::string::npos, out.find(":2: ")) << out;
    EXPECT_EQ(0, run("keltup-server.exe", "--status --control ktw-operator", &out));
    EXPECT_NE(std::string::npos, out.find("BOB                  127.0.0.1:4002")) << out;

    // No relay on a pipe: exit 1 and why.
    EXPECT_EQ(1, run("keltup-server.exe", "--status --control ktw-nobody-here", &out));
    EXPECT_NE(std::string::npos, out.find("no relay is listening on \\\\.\\pipe\\ktw-nobody-here"))
        << out;
}

TEST(ConsoleRelay, WhatItLearnedSurvivesItsEndInTheStateFileAndTheMetricsFileIsWritten) {
    TestClient alice, bob;
    std::string users = scratch("users"), state = scratch("state"), metrics = scratch("prom");
    DeleteFileA(state.c_str());
    write_file(users, "ALICE = 127.0.0.1:" + std::to_string(alice.addr.port) + "\r\n");
    std::string args = "--control ktw-state --users \"" + users + "\" --state \"" + state +
                       "\" --metrics \"" + metrics + "\"";
    {
        ConsoleRelay relay;
        ASSERT_EQ(1, relay.start(args, scratch("log"))) << read_file(relay.log);
        NetAddr at = relay_at(relay);
        EXPECT_EQ(1, bob.send_with_receipt(at, "BOB", "ALICE", "learn me", 301));
        EXPECT_TRUE(alice.receives("learn me"));
        std::string prom = read_file(metrics);
        EXPECT_NE(std::string::npos, prom.find("# TYPE keltup_delivered_total counter\n")) << prom;
        EXPECT_NE(std::string::npos, prom.find("\nkeltup_users_pinned 1\n")) << prom;
        // The learned nickname is in the file before the answers leave: ended without a stop.
        relay.kill();
    }
    EXPECT_NE(std::string::npos, read_file(state).find("\nBOB 127.0.0.1:")) << read_file(state);
    ConsoleRelay again;
    ASSERT_EQ(1, again.start(args, scratch("log2"))) << read_file(again.log);
    std::string out;
    EXPECT_EQ(0, run("keltup-server.exe", "--status --control ktw-state", &out));
    size_t at = out.find("\nBOB ");
    std::string line =
        at == std::string::npos ? "" : out.substr(at + 1, out.find('\n', at + 1) - at);
    EXPECT_NE(std::string::npos, line.find("127.0.0.1:" + std::to_string(bob.addr.port) + " "))
        << out;
    EXPECT_NE(std::string::npos, line.find(" learned ")) << out;
    again.kill();
    DeleteFileA(state.c_str());
    DeleteFileA(metrics.c_str());
}

TEST(ConsoleRelay, EveryCopyOfAThousandMemberGroupGoesOutAtOnce) {
    // The sender and 999 members, ten at each of a hundred addresses from 127.1.0.1 (Wine's
    // sockets send from 127.0.0.1 whatever they are bound to, but take what is sent to these).
    TestClient sender;
    std::vector<std::unique_ptr<TestClient>> hosts;
    std::string list = "SENDER = 127.0.0.1:" + std::to_string(sender.addr.port) + "\r\n";
    std::string group = "group ALL = SENDER";
    char line[80];
    for (int i = 0; i < 999; ++i) {
        if (i % 10 == 0)
            hosts.push_back(std::make_unique<TestClient>(
                CHILD_WAIT_MS, ("127.1.0." + std::to_string(i / 10 + 1)).c_str()));
        std::snprintf(line, sizeof line, "M%04d = 127.1.0.%d:%d\r\n", i, i / 10 + 1,
                      hosts.back()->addr.port);
        list += line;
        group += " " + std::string(line, 5);
    }
    std::string users = scratch("users");
    write_file(users, list + group + "\r\n");
    ConsoleRelay relay;
    ASSERT_EQ(1, relay.start("--control ktw-group --users \"" + users + "\"", scratch("log")))
        << read_file(relay.log);
    ASSERT_EQ(1, sender.send_with_receipt(relay_at(relay), "SENDER", "ALL", "all hands", 1));

    // Every copy within the bound against hangs, not after the loop's next timer.
    Datagram d;
    int copies = 0;
    ULONGLONG end = GetTickCount64() + CHILD_WAIT_MS;
    for (size_t h = 0; h < hosts.size(); ++h)
        for (int k = 0; k < (h + 1 < hosts.size() ? 10 : 9); ++k) {
            ULONGLONG now = GetTickCount64();
            if (hosts[h]->recv(&d, now < end ? static_cast<int>(end - now) : 0) < 0) break;
            copies += d.kind == KIND_GREETING && std::strcmp(d.body, "all hands") == 0;
        }
    EXPECT_EQ(999, copies);
    relay.kill();
}

// The pipe's descriptor as the system reads it back, in SDDL.
std::string pipe_descriptor(const char* name) {
    HANDLE h = CreateFileA(name, READ_CONTROL, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return "cannot open: " + std::to_string(GetLastError());
    PSECURITY_DESCRIPTOR sd = nullptr;
    PACL dacl = nullptr;
    DWORD got = GetSecurityInfo(h, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                &dacl, nullptr, &sd);
    CloseHandle(h);
    if (got != ERROR_SUCCESS) return "cannot read: " + std::to_string(got);
    char* text = nullptr;
    std::string s = ConvertSecurityDescriptorToStringSecurityDescriptorA(
                        sd, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr)
                        ? text
                        : "cannot convert";
    LocalFree(text);
    LocalFree(sd);
    return s;
}

// Whether the descriptor has an entry of this type giving or denying all rights to the account:
// GA as made, FA once Windows has mapped it to the pipe's rights (Wine keeps GA).
bool in_full(const std::string& sddl, const char* type, const char* account) {
    std::string ga = std::string("(") + type + ";;GA;;;" + account + ")";
    std::string fa = std::string("(") + type + ";;FA;;;" + account + ")";
    return sddl.find(ga) != std::string::npos || sddl.find(fa) != std::string::npos;
}

TEST(ConsoleRelay, ThePipeIsMadeWithItsOwnDescriptorAndTheNameIsTheFirstRelays) {
    ConsoleRelay relay;
    ASSERT_EQ(1, relay.start("--control ktw-acl --control-group Users", scratch("log")))
        << read_file(relay.log);
    std::string sddl = pipe_descriptor("\\\\.\\pipe\\ktw-acl");
    // Protected (nothing inherited); network callers denied; SYSTEM and the Administrators in
    // full; the group may read and write but not make an instance of the pipe.
    EXPECT_EQ(0u, sddl.find("D:P")) << sddl;
    EXPECT_TRUE(in_full(sddl, "D", "NU")) << sddl;
    EXPECT_TRUE(in_full(sddl, "A", "SY")) << sddl;
    EXPECT_TRUE(in_full(sddl, "A", "BA")) << sddl;
    EXPECT_NE(std::string::npos, sddl.find("(A;;0x120183;;;BU)")) << sddl;
    EXPECT_EQ(std::string::npos, sddl.find("WD")) << sddl; // not Everyone

    // A second relay on the same pipe name does not start.
    std::string out;
    EXPECT_EQ(1, run("keltup-server.exe", "--bind 127.0.0.1 --port 0 --control ktw-acl", &out));
    EXPECT_NE(std::string::npos, out.find("another relay is listening on it")) << out;
    // An unknown group is a fault at the start.
    EXPECT_EQ(1, run("keltup-server.exe",
                     "--bind 127.0.0.1 --port 0 --control ktw-acl2 --control-group NoSuchGroup",
                     &out));
    EXPECT_NE(std::string::npos, out.find("control group NoSuchGroup")) << out;
}

} // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    char tmp[MAX_PATH];
    GetTempPathA(MAX_PATH, tmp);
    g_dir = std::string(tmp) + "keltup-relay-" + std::to_string(GetCurrentProcessId());
    CreateDirectoryA(g_dir.c_str(), nullptr);
    int rc = RUN_ALL_TESTS();
    // The scratch files, then their folder.
    WIN32_FIND_DATAA f;
    HANDLE found = FindFirstFileA((g_dir + "\\*").c_str(), &f);
    for (BOOL more = found != INVALID_HANDLE_VALUE; more; more = FindNextFileA(found, &f))
        DeleteFileA((g_dir + "\\" + f.cFileName).c_str());
    if (found != INVALID_HANDLE_VALUE) FindClose(found);
    RemoveDirectoryA(g_dir.c_str());
    return rc;
}
