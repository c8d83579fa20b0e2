// keltup-server.exe run in a console under Windows (Wine here): messages between test clients,
// keltup-send.exe and the desktop program through it on 127.0.0.1, and its operator's pipe.
#include <winsock2.h> // first: datagram.h takes REASON_UNKNOWN back from windows.h's macro

#include "server/win32/security.h"
#include "tests/server/test_client.h"
#include "tests/server/win32_process.h"
#include "tests/win32/driver.h"

#include <gtest/gtest.h>

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
    // Ten members at each address from 127.1.0.1; Wine's sockets send from 127.0.0.1.
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
    ASSERT_EQ(1, relay.start("--control ktw-group --users \"" + users + "\"", scratch("log")));
    ASSERT_EQ(1, sender.send_with_receipt(relay_at(relay), "SENDER", "ALL", "all hands", 1));
    Datagram d; // all within the bound against hangs, not after the loop's next timer
    int copies = 0;
    ULONGLONG end = GetTickCount64() + CHILD_WAIT_MS;
    for (ULONGLONG now = GetTickCount64(); copies < 999 && now < end; now = GetTickCount64())
        copies += hosts[copies / 10]->recv(&d, static_cast<int>(end - now)) > 0;
    EXPECT_EQ(999, copies);
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

// The rights an access list's allowing entries give sid on its object, or with in_file on a file
// made in it (the entries it inherits), mapped to a file's rights. *named counts the allowing
// entries that apply there and name sid: a denying entry is never counted.
ACCESS_MASK rights_of(PACL acl, const char* sid_text, bool in_file, DWORD* named) {
    PSID sid = nullptr;
    ConvertStringSidToSidA(sid_text, &sid);
    GENERIC_MAPPING map = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE,
                           FILE_ALL_ACCESS};
    ACCESS_MASK allowed = 0;
    for (DWORD i = 0; acl != nullptr && i < acl->AceCount; ++i) {
        ACE_HEADER* ace = nullptr;
        GetAce(acl, i, reinterpret_cast<void**>(&ace));
        bool applies = in_file ? (ace->AceFlags & OBJECT_INHERIT_ACE) != 0
                               : (ace->AceFlags & INHERIT_ONLY_ACE) == 0;
        auto* entry = reinterpret_cast<ACCESS_ALLOWED_ACE*>(ace);
        if (!applies || ace->AceType != ACCESS_ALLOWED_ACE_TYPE || !EqualSid(&entry->SidStart, sid))
            continue;
        ++*named;
        ACCESS_MASK m = entry->Mask;
        MapGenericMask(&m, &map);
        allowed |= m;
    }
    LocalFree(sid);
    return allowed;
}

// The list of path as the system reads it back. Where the list read back is not the protected
// one that was set (Wine keeps no lists on files), the one the relay sets, with a note.
PSECURITY_DESCRIPTOR list_of(const std::string& path, int (*set)(char*, int)) {
    PSECURITY_DESCRIPTOR sd = nullptr;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    if (GetNamedSecurityInfoA(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                              nullptr, nullptr, nullptr, &sd) == ERROR_SUCCESS &&
        GetSecurityDescriptorControl(sd, &control, &revision) && (control & SE_DACL_PROTECTED))
        return sd;
    if (sd != nullptr) LocalFree(sd);
    std::printf("note: the system keeps no list of its own on %s: checking the one set\n",
                path.c_str());
    char sddl[SDDL_SIZE] = "";
    set(sddl, sizeof sddl);
    ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &sd, nullptr);
    return sd;
}

TEST(Security, TheDataFolderAndUsersFileGiveEachAccountNoMoreThanItNeeds) {
    // The service's SID is made as Windows makes NT SERVICE\NAME's (the folder's list holds
    // keltup-server's).
    char sid[SID_TEXT_SIZE] = "";
    ASSERT_EQ(1, win32_service_sid("trustedInstaller", sid, sizeof sid));
    EXPECT_STREQ("S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464", sid);
    std::string folder = scratch("data"), example = scratch("example");
    write_file(example, "# ALICE = 127.0.0.1:4001\r\n");
    std::string out;
    ASSERT_EQ(0, run("keltup-server.exe",
                     "--prepare-data-folder \"" + folder + "\" \"" + example + "\"", &out))
        << out;
    EXPECT_EQ(read_file(example), read_file(folder + "\\users"));
    PSECURITY_DESCRIPTOR folder_sd = list_of(folder, win32_data_folder_sddl);
    PSECURITY_DESCRIPTOR users_sd = list_of(folder + "\\users", win32_users_file_sddl);
    PACL folder_acl = nullptr, users_acl = nullptr;
    BOOL present = FALSE, defaulted = FALSE;
    ASSERT_TRUE(GetSecurityDescriptorDacl(folder_sd, &present, &folder_acl, &defaulted));
    ASSERT_TRUE(GetSecurityDescriptorDacl(users_sd, &present, &users_acl, &defaulted));

    const ACCESS_MASK all = FILE_ALL_ACCESS, read = FILE_GENERIC_READ,
                      modify =
                          FILE_GENERIC_READ | FILE_GENERIC_WRITE | FILE_GENERIC_EXECUTE | DELETE,
                      list = FILE_GENERIC_READ | FILE_GENERIC_EXECUTE;
    // A file the relay makes there (state, metrics) has only what it inherits. No one else has
    // an entry (Everyone, Authenticated Users, LocalService, the creator or owner of a file):
    // every entry names one of these.
    struct {
        const char* who;
        ACCESS_MASK folder, made_file, users_file;
    } cases[] = {
        {"S-1-5-18", all, all, all},     // SYSTEM
        {"S-1-5-32-544", all, all, all}, // the Administrators
        {"S-1-5-80-606956646-1629124227-1233102191-1590753562-782887789", modify, modify, read},
        {"S-1-5-32-545", list, 0, read}, // the Users: nothing made there, nothing of the state
    };
    DWORD named[3] = {0, 0, 0};
    for (const auto& c : cases) {
        EXPECT_EQ(c.folder, rights_of(folder_acl, c.who, false, &named[0])) << c.who;
        EXPECT_EQ(c.made_file, rights_of(folder_acl, c.who, true, &named[1])) << c.who;
        EXPECT_EQ(c.users_file, rights_of(users_acl, c.who, false, &named[2])) << c.who;
    }
    EXPECT_EQ(folder_acl != nullptr ? folder_acl->AceCount : 0u, named[0]);
    EXPECT_EQ(users_acl != nullptr ? users_acl->AceCount : 0u, named[2]);
    LocalFree(folder_sd);
    LocalFree(users_sd);
    DeleteFileA((folder + "\\users").c_str());
    RemoveDirectoryA(folder.c_str());
}

// Accepting the relay itself is shown by every operator command above.
TEST(Security, TheOperatorTrustsOnlyTheRelaysOwnIdentityToServeItsPipe) {
    const char* operator_user = "S-1-5-21-1-2-3-1001";
    struct {
        PipeServer server;
        int trusted;
    } cases[] = {
        {{0, 1, "S-1-5-18", 1, 1}, 0},            // no server process known
        {{7, 1, "", 0, 0}, 1},                    // the relay's service
        {{7, 0, "S-1-5-19", 1, 0}, 1},            // a process with the service's SID
        {{7, 0, "S-1-5-19", 0, 0}, 0},            // another LocalService service
        {{7, 0, "S-1-5-21-1-2-3-1002", 0, 0}, 0}, // another user
        {{7, 0, "S-1-5-21-1-2-3-1002", 0, 1}, 1}, // an elevated administrator
        {{7, 0, "S-1-5-21-1-2-3-1001", 0, 0}, 1}, // the operator's own console relay
        {{7, 0, "", 0, 0}, 0},                    // its token unreadable
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.trusted, win32_pipe_server_trusted(&c.server, operator_user))
            << c.server.user << " pid " << c.server.pid;
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
