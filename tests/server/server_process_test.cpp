// The real keltup-server and keltup-send processes on 127.0.0.1, with clients played by sockets.
#include "protocol/datagram.h"
#include "server/net.h"
#include "server/control.h"
#include "server/relay.h"
#include "tests/server/child_process.h"
#include "tests/server/relay_process.h"
#include "tests/server/test_client.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <pwd.h>
#include <regex>
#include <set>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

// Generous bounds against hangs only; nothing here measures how long anything takes.
const int kWaitMs = 10000;

int lines(const std::string& text) {
    return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
}

// A control socket path of this test's own.
std::string control_path(const char* what) {
    static int serial;
    return ::testing::TempDir() + "keltup_ctl_" + std::to_string(getpid()) + "_" + what +
           std::to_string(++serial);
}

using Server = RelayProcess;

using Client = TestClient;

std::string users_file(const std::string& text) {
    std::string path = ::testing::TempDir() + "keltup_server_users_" + std::to_string(getpid());
    FILE* f = std::fopen(path.c_str(), "w");
    std::fputs(text.c_str(), f);
    std::fclose(f);
    return path;
}

std::string entry(const char* nick, const Client& c) {
    return std::string(nick) + " = 127.0.0.1:" + std::to_string(c.addr.port) + "\n";
}

TEST(ServerProcess, RelaysOnceAnswersEveryTryAndSurvivesJunk) {
    Client alice, bob;
    Server server;
    ASSERT_TRUE(server.start({"--verbose"}));
    Datagram d;

    // An unknown recipient: the receipt, then the notice; a resend gets the receipt only.
    alice.send(server.addr, "ALICE", "CAROL", "anyone?", 1);
    alice.send(server.addr, "ALICE", "CAROL", "anyone?", 1);
    ASSERT_GT(alice.recv(&d), 0);
    EXPECT_EQ(KIND_RECEIPT, d.kind);
    EXPECT_EQ(1u, datagram_id(&d));
    ASSERT_GT(alice.recv(&d), 0);
    EXPECT_EQ(KIND_NOTICE, d.kind);
    EXPECT_STREQ("Nobody called CAROL is known to the server.", d.body);
    ASSERT_GT(alice.recv(&d), 0);
    EXPECT_EQ(KIND_RECEIPT, d.kind);
    bob.send(server.addr, "BOB", "ALICE", "here I am", 2);
    ASSERT_GT(alice.recv(&d), 0);
    EXPECT_STREQ("here I am", d.body);
    ASSERT_GT(bob.recv(&d), 0);
    EXPECT_EQ(KIND_RECEIPT, d.kind);

    // Junk of every class: short, oversized, foreign, other kinds, looped, refused control.
    char junk[6000];
    for (size_t i = 0; i < sizeof junk; ++i)
        junk[i] = static_cast<char>(i * 7);
    for (int n : {0, 1, 75, 76, 1077, 6000})
        alice.send_raw(junk, n, server.addr);
    for (const char* kind : {"KT1R", "KT1A", "KT1G", "KT1M"}) {
        std::memcpy(junk, kind, 4);
        alice.send_raw(junk, kind[3] == 'M' ? 1077 : 200, server.addr);
    }
    Datagram looped;
    std::memset(&looped, 0, sizeof looped);
    const char alice_nick[NICK_SIZE] = "ALICE";
    datagram_complete(&looped, alice_nick, 3);
    std::memcpy(looped.reserved, "RLY1", 4);
    alice.send_raw(&looped, HEADER_SIZE + 1, server.addr);
    std::memcpy(junk, "KT1C", 4);
    alice.send_raw(junk, 200, server.addr);

    // Ten tries of the same message (a client whose receipts got lost), then another one.
    for (int i = 0; i < 10; ++i)
        alice.send(server.addr, "ALICE", "BOB", "only once", 4);
    alice.send(server.addr, "ALICE", "BOB", "second", 5);
    ASSERT_GT(bob.recv(&d), 0);
    EXPECT_STREQ("only once", d.body);
    EXPECT_STREQ("ALICE", d.sender);
    EXPECT_STREQ("BOB", d.recipient);
    ASSERT_GT(bob.recv(&d), 0);
    EXPECT_STREQ("second", d.body);
    std::vector<unsigned> ids;
    for (int i = 0; i < 11; ++i) {
        ASSERT_GT(alice.recv(&d), 0);
        EXPECT_EQ(KIND_RECEIPT, d.kind);
        ids.push_back(datagram_id(&d));
    }
    EXPECT_EQ((std::vector<unsigned>{4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 5}), ids);
    alice.send(server.addr, "ALICE", "BOB", "third", 6); // and nothing between for Bob
    ASSERT_GT(bob.recv(&d), 0);
    EXPECT_STREQ("third", d.body);

    std::string log;
    EXPECT_EQ(0, server.stop(SIGINT, &log));
    EXPECT_NE(std::string::npos,
              log.find("12 dropped in all, 3 short, 3 oversized, 1 foreign, 3 wrong kind, "
                       "1 looped, 1 refused control"))
        << log;
    EXPECT_NE(std::string::npos, log.find("stopping: 4 delivered, 10 resends, 1 unknown")) << log;
}

TEST(ServerProcess, LeasedAndListedNicknamesStayWithTheirHolders) {
    Client alice, bob, mallory, bob_moved;
    std::string users = users_file(entry("BOB", bob));
    Server server;
    ASSERT_TRUE(server.start({"--users", users, "--lease", "600", "--verbose"}));
    ASSERT_NE("", server.wait_log("1 users listed"));
    Datagram d;

    // Alice holds her nickname; Mallory's messages under her name and Bob's are relayed with a
    // receipt to Mallory, and replies still go to the holders.
    alice.send(server.addr, "ALICE", "BOB", "from alice", 1);
    ASSERT_GT(bob.recv(&d), 0);
    mallory.send(server.addr, "ALICE", "BOB", "from mallory", 2);
    ASSERT_GT(bob.recv(&d), 0);
    EXPECT_STREQ("from mallory", d.body);
    ASSERT_GT(mallory.recv_kind(&d, KIND_RECEIPT), 0);
    EXPECT_EQ(2u, datagram_id(&d));
    ASSERT_NE("", server.wait_log("ALICE stays at 127.0.0.1:" + std::to_string(alice.addr.port)));
    mallory.send(server.addr, "BOB", "ALICE", "from bob, honest", 3);
    ASSERT_NE("", server.wait_log("BOB stays at"));
    bob.send(server.addr, "BOB", "ALICE", "reply", 4);
    ASSERT_GT(alice.recv_kind(&d, KIND_MESSAGE), 0);
    EXPECT_STREQ("from bob, honest", d.body);
    ASSERT_GT(alice.recv_kind(&d, KIND_MESSAGE), 0);
    EXPECT_STREQ("reply", d.body);
    alice.send(server.addr, "ALICE", "BOB", "to bob", 5);
    ASSERT_GT(bob.recv_kind(&d, KIND_MESSAGE), 0);
    EXPECT_STREQ("to bob", d.body);

    // The users file is read again on SIGHUP; a broken one keeps the list the server has.
    users_file(entry("BOB", bob_moved));
    kill(server.child.pid, SIGHUP);
    ASSERT_NE("", server.wait_log("1 users listed"));
    alice.send(server.addr, "ALICE", "BOB", "to the new place", 6);
    ASSERT_GT(bob_moved.recv(&d), 0);
    EXPECT_STREQ("to the new place", d.body);
    users_file("BOB = 127.0.0.1:not-a-port\n");
    kill(server.child.pid, SIGHUP);
    ASSERT_NE("", server.wait_log("keeping the old list"));

    // The operator's notice, to one nickname and to all, over the control socket.
    std::string err, out;
    EXPECT_EQ(0, run({KELTUP_SERVER, "--control", server.control, "--notice", "alice",
                      "Restart at noon."},
                     &err, "", &out))
        << err;
    EXPECT_EQ("Notice sent to alice.\n", out);
    ASSERT_GT(alice.recv_kind(&d, KIND_NOTICE), 0);
    EXPECT_STREQ("Restart at noon.", d.body);
    EXPECT_EQ(1, run({KELTUP_SERVER, "--control", server.control, "--notice", "NOBODY", "x"}, &err,
                     "", &out));
    EXPECT_EQ("Nobody called NOBODY is known to the server.\n", out);
    EXPECT_EQ(0,
              run({KELTUP_SERVER, "--notice", "--all", "Back soon.", "--control", server.control},
                  &err, "", &out));
    EXPECT_EQ("Notice sent to 2 nicknames.\n", out);
    ASSERT_GT(alice.recv_kind(&d, KIND_NOTICE), 0);
    EXPECT_STREQ("Back soon.", d.body);
    ASSERT_GT(bob_moved.recv_kind(&d, KIND_NOTICE), 0);
    EXPECT_STREQ("Back soon.", d.body);
    EXPECT_EQ(2, run({KELTUP_SERVER, "--control", server.control, "--notice", "ALICE"}, &err));
    EXPECT_EQ(
        2, run({KELTUP_SERVER, "--control", server.control, "--status", "--notice", "ALICE", "x"},
               &err));

    // --reload: read beside the loop, and answered once the list is in place, a long one too.
    std::string many = entry("BOB", bob);
    for (int i = 0; i < 65000; ++i)
        many += "U" + std::to_string(i) + " = 10.0." + std::to_string(i >> 8) + "." +
                std::to_string(i & 255) + "\n";
    users_file(many);
    EXPECT_EQ(0, run({KELTUP_SERVER, "--control", server.control, "--reload"}, &err, "", &out))
        << err;
    EXPECT_EQ("65001 users listed from " + users + "\n", out);
    alice.send(server.addr, "ALICE", "BOB", "home again", 9);
    ASSERT_GT(bob.recv_kind(&d, KIND_MESSAGE), 0);
    users_file("BOB = 127.0.0.1:not-a-port\n");
    EXPECT_NE(0, run({KELTUP_SERVER, "--control", server.control, "--reload"}, &err, "", &out));
    EXPECT_NE(std::string::npos, err.find(":1: port must be")) << err;

    // A clean stop takes the socket away: the operator is told no relay is there.
    EXPECT_EQ(0, server.stop());
    EXPECT_EQ(1, run({KELTUP_SERVER, "--control", server.control, "--status"}, &err));
    EXPECT_NE(std::string::npos, err.find("no relay is listening on " + server.control)) << err;
    std::remove(users.c_str());
}

TEST(ServerProcess, RefusesBadStartsWithOneLineNamingTheCause) {
    std::string err;
    EXPECT_EQ(2, run({KELTUP_SERVER, "--port", "65536"}, &err));
    EXPECT_EQ(2, run({KELTUP_SERVER, "--lease", "0"}, &err));
    EXPECT_EQ(2, run({KELTUP_SERVER, "--rate", "-1"}, &err));
    EXPECT_EQ(2, run({KELTUP_SERVER, "-x"}, &err));
    EXPECT_EQ(2, run({KELTUP_SERVER, "--port"}, &err));
    EXPECT_EQ(2, run({KELTUP_SERVER, "--notice", "--all"}, &err));
    EXPECT_EQ(0, run({KELTUP_SERVER, "--help"}, &err));

    // Each bad start: exit code 1 and exactly one line, which names what is wrong.
    std::string users = users_file("BOB = 127.0.0.1:4002\n");
    std::string socket = control_path("bad");
    Client taken;
    std::string long_path = ::testing::TempDir() + std::string(120, 'c');
    struct Case {
        std::vector<std::string> args;
        std::string cause;
    } cases[] = {
        {{"--users", "/nonexistent/users"}, "/nonexistent/users"},
        {{"--port", std::to_string(taken.addr.port)}, "bind"},
        {{"--metrics", "/nonexistent/folder/keltup.prom"},
         "metrics file /nonexistent/folder/keltup.prom: cannot make a temporary file beside it: "
         "No such file or directory"},
        {{"--control", "/nonexistent/folder/control"},
         "control socket /nonexistent/folder/control: cannot make it: No such file or directory"},
        {{"--control", users}, "control socket " + users + ": a file that is not a socket"},
        {{"--control", long_path}, "the path must have 1 to 107 bytes"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {KELTUP_SERVER, "--bind",    "127.0.0.1", "--port",
                                         "0",           "--control", socket};
        args.insert(args.end(), c.args.begin(), c.args.end());
        EXPECT_EQ(1, run(args, &err)) << c.cause;
        EXPECT_EQ(1, lines(err)) << err;
        EXPECT_NE(std::string::npos, err.find(c.cause)) << err;
    }
    // None of them left a socket behind.
    EXPECT_NE(0, access(socket.c_str(), F_OK));

    // A live relay keeps its socket; one that died leaves a stale socket, which the next takes.
    {
        Server first;
        ASSERT_TRUE(first.start());
        EXPECT_EQ(1, run({KELTUP_SERVER, "--bind", "127.0.0.1", "--port", "0", "--control",
                          first.control},
                         &err));
        EXPECT_EQ(1, lines(err)) << err;
        EXPECT_NE(std::string::npos, err.find("another relay is listening")) << err;
        first.stop(SIGKILL);
        ASSERT_EQ(0, access(first.control.c_str(), F_OK));
        Server second;
        second.control = first.control;
        ASSERT_TRUE(second.start());
        EXPECT_EQ(0, run({KELTUP_SERVER, "--status", "--control", second.control}, &err)) << err;
        EXPECT_EQ(0, second.stop());
    }

    // No relay there: the operator is told, with exit code 1.
    EXPECT_EQ(1, run({KELTUP_SERVER, "--control", socket, "--notice", "--all", "x"}, &err));
    EXPECT_NE(std::string::npos, err.find("no relay is listening on " + socket)) << err;
    std::remove(users.c_str());
}

// The fields of the status's directory lines, in the order printed.
std::vector<std::vector<std::string>> directory_lines(const std::string& status) {
    std::vector<std::vector<std::string>> rows;
    size_t at = status.find("\nnickname ");
    if (at == std::string::npos) return rows;
    at = status.find('\n', at + 1);
    while (at != std::string::npos && at + 1 < status.size()) {
        size_t eol = status.find('\n', at + 1);
        std::string line = status.substr(at + 1, eol - at - 1);
        std::vector<std::string> row;
        size_t p = 0;
        while ((p = line.find_first_not_of(' ', p)) != std::string::npos) {
            size_t q = line.find("  ", p);
            row.push_back(line.substr(p, q == std::string::npos ? q : q - p));
            p = q;
        }
        rows.push_back(row);
        at = eol;
    }
    return rows;
}

// The value of a counter line "LABEL   VALUE" in the status, or -1.
long long counter(const std::string& status, const std::string& label) {
    size_t at = status.find("\n" + label + " ");
    if (at == std::string::npos) return -1;
    size_t eol = status.find('\n', at + 1);
    std::string line = status.substr(at + 1, eol - at - 1);
    return std::stoll(line.substr(line.find_last_of(' ') + 1));
}

TEST(ServerProcess, StatusShowsCountersAndTheDirectoryAndMetricsParse) {
    Client alice, bob, dave, zed;
    // More listed users than one answer buffer of the relay's holds.
    std::string list = entry("BOB", bob);
    char line[64];
    for (int i = 0; i < 800; ++i) {
        std::snprintf(line, sizeof line, "U%04d = 127.0.0.1:%d\n", i, 20000 + i);
        list += line;
    }
    std::string users = users_file(list);
    std::string metrics = control_path("metrics") + ".prom";
    Server server;
    ASSERT_TRUE(server.start({"--users", users, "--metrics", metrics}));
    Datagram d;

    // A short datagram, a delivery, its resend, an unknown recipient, two more senders. Each
    // message's receipt says the relay has handled it and what came before it from that socket.
    alice.send_raw("KT1", 3, server.addr);
    zed.send(server.addr, "ZED", "NOBODY", "hello?", 1);
    ASSERT_GT(zed.recv_kind(&d, KIND_RECEIPT), 0);
    alice.send(server.addr, "ALICE", "BOB", "hi", 2);
    alice.send(server.addr, "ALICE", "BOB", "hi", 2);
    ASSERT_GT(alice.recv_kind(&d, KIND_RECEIPT), 0);
    ASSERT_GT(alice.recv_kind(&d, KIND_RECEIPT), 0);
    dave.send(server.addr, "dave", "ALICE", "hi alice", 3);
    ASSERT_GT(dave.recv_kind(&d, KIND_RECEIPT), 0);

    std::string err, out;
    ASSERT_EQ(0, run({KELTUP_SERVER, "--status", "--control", server.control}, &err, "", &out))
        << err;
    EXPECT_EQ(0u, out.find("up 0d ")) << out;
    EXPECT_EQ(2, counter(out, "delivered")) << out;
    EXPECT_EQ(1, counter(out, "resends")) << out;
    EXPECT_EQ(1, counter(out, "unknown recipients")) << out;
    EXPECT_EQ(1, counter(out, "dropped (short)")) << out;
    for (const char* label : {"lease refused", "notices", "directory full", "resend memory full",
                              "impersonation refused", "send failed", "dropped (oversized)",
                              "dropped (foreign)", "dropped (wrong kind)", "dropped (looped)",
                              "dropped (rate-limited)", "dropped (refused control)"})
        EXPECT_EQ(0, counter(out, label)) << label << "\n" << out;
    EXPECT_NE(std::string::npos, out.find("\ndirectory: 804 nicknames")) << out;
    // Every nickname once, sorted without regard to case.
    auto rows = directory_lines(out);
    ASSERT_EQ(804u, rows.size());
    rows.erase(rows.begin() + 3, rows.begin() + 803);
    const char* nicks[] = {"ALICE", "BOB", "dave", "ZED"};
    const Client* at[] = {&alice, &bob, &dave, &zed};
    for (int i = 0; i < 4; ++i) {
        ASSERT_EQ(4u, rows[i].size()) << out;
        EXPECT_EQ(nicks[i], rows[i][0]);
        EXPECT_EQ("127.0.0.1:" + std::to_string(at[i]->addr.port), rows[i][1]);
        EXPECT_EQ(i == 1 ? "pinned" : "learned", rows[i][2]);
        // Bob, listed, only received: a delivery counts as hearing of him.
        EXPECT_NE(std::string::npos, rows[i][3].find(" s ago")) << rows[i][3];
    }
    rows = directory_lines(out);
    for (int i = 0; i < 800; ++i) {
        std::snprintf(line, sizeof line, "U%04d", i);
        ASSERT_EQ(line, rows[3 + i][0]);
        ASSERT_EQ("127.0.0.1:" + std::to_string(20000 + i), rows[3 + i][1]);
    }

    // The metrics file is there from the start, in the text exposition format: every sample
    // named keltup_..., its HELP and TYPE before it, every drop reason once.
    std::string text;
    for (int tries = 0; tries < 100 && text.empty(); ++tries) {
        FILE* f = std::fopen(metrics.c_str(), "r");
        if (f == nullptr) {
            usleep(50000);
            continue;
        }
        char line[512];
        while (std::fgets(line, sizeof line, f) != nullptr)
            text += line;
        std::fclose(f);
    }
    ASSERT_FALSE(text.empty());
    std::regex sample("(keltup_[a-z_]+)(\\{reason=\"[a-z_]+\"\\})? [0-9]+");
    std::regex help("# HELP (keltup_[a-z_]+) [^\\n]+");
    std::regex type("# TYPE (keltup_[a-z_]+) (counter|gauge)");
    std::set<std::string> typed, reasons;
    std::set<std::string> names;
    size_t start = 0;
    while (start < text.size()) {
        size_t eol = text.find('\n', start);
        ASSERT_NE(std::string::npos, eol) << "the last line is not ended";
        std::string line = text.substr(start, eol - start);
        start = eol + 1;
        std::smatch m;
        if (std::regex_match(line, m, type)) {
            EXPECT_TRUE(typed.insert(m[1]).second) << line;
        } else if (std::regex_match(line, m, help)) {
            EXPECT_EQ(0u, typed.count(m[1])) << "HELP after TYPE: " << line;
        } else {
            ASSERT_TRUE(std::regex_match(line, m, sample)) << line;
            EXPECT_EQ(1u, typed.count(m[1])) << "no TYPE before " << line;
            names.insert(m[1]);
            if (m[2].matched) {
                EXPECT_TRUE(reasons.insert(m[1].str() + m[2].str()).second) << line;
            }
        }
    }
    EXPECT_EQ(static_cast<size_t>(DROP_REASONS + GROUP_REFUSALS), reasons.size()) << text;
    EXPECT_EQ(typed, names);
    for (const char* name : {"keltup_uptime_seconds", "keltup_users", "keltup_delivered_total",
                             "keltup_resends_total", "keltup_unknown_recipients_total",
                             "keltup_directory_full_total", "keltup_resend_memory_full_total",
                             "keltup_impersonation_refused_total", "keltup_dropped_total"})
        EXPECT_EQ(1u, names.count(name)) << name;
    EXPECT_NE(std::string::npos, text.find("\nkeltup_dropped_total{reason=\"wrong_kind\"} 0\n"));
    EXPECT_NE(0, access((metrics + ".tmp").c_str(), F_OK));
    EXPECT_EQ(0, server.stop());
    std::remove(users.c_str());
    std::remove(metrics.c_str());
}

TEST(ServerProcess, StuckOperatorConnectionsDoNotHoldUpTheRelay) {
    Client alice, bob;
    std::string users = users_file(entry("BOB", bob));
    Server server;
    ASSERT_TRUE(server.start({"--users", users}));
    // Every connection the relay serves at once taken by an operator who never finishes asking.
    std::vector<int> stuck;
    sockaddr_un a;
    std::memset(&a, 0, sizeof a);
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof a.sun_path, "%s", server.control.c_str());
    for (int i = 0; i < CONTROL_CLIENTS; ++i) {
        int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        ASSERT_EQ(0, connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a));
        if (i == 0) {
            ASSERT_EQ(4, write(fd, "stat", 4)); // half a request
        }
        stuck.push_back(fd);
    }
    // Messages go through meanwhile, and the next operator is served once the stuck ones are
    // closed for want of progress.
    Datagram d;
    alice.send(server.addr, "ALICE", "BOB", "still here", 1);
    ASSERT_GT(bob.recv_kind(&d, KIND_MESSAGE), 0);
    EXPECT_STREQ("still here", d.body);
    ASSERT_GT(alice.recv_kind(&d, KIND_RECEIPT), 0);
    std::string err, out;
    EXPECT_EQ(0, run({KELTUP_SERVER, "--status", "--control", server.control}, &err, "", &out))
        << err;
    EXPECT_EQ(1, counter(out, "delivered")) << out;
    char buf[16];
    for (int fd : stuck) {
        EXPECT_EQ(0, read(fd, buf, sizeof buf)); // closed without an answer
        close(fd);
    }
    std::string log;
    EXPECT_EQ(0, server.stop(SIGTERM, &log));
    EXPECT_NE(std::string::npos, log.find("control connection closed: no progress")) << log;
    std::remove(users.c_str());
}

// The path of a program in the usual places, or "".
std::string find_program(const char* name) {
    for (const char* dir : {"/usr/sbin/", "/sbin/", "/usr/bin/", "/bin/"}) {
        std::string path = std::string(dir) + name;
        if (access(path.c_str(), X_OK) == 0) return path;
    }
    return "";
}

TEST(ServerProcess, OnlyRootTheRelaysUserAndItsGroupMayControlIt) {
    std::string runuser = find_program("runuser");
    passwd* nobody = getpwnam("nobody");
    if (geteuid() != 0 || runuser.empty() || nobody == nullptr)
        GTEST_SKIP() << "needs root, runuser and a user called nobody to act as another user";
    // A folder and a copy of the program that nobody can reach wherever the build tree is.
    std::string dir = ::testing::TempDir() + "keltup_ctl_XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(&dir[0]));
    ASSERT_EQ(0, chmod(dir.c_str(), 0755));
    std::string program = dir + "/keltup-server";
    {
        std::ifstream from(KELTUP_SERVER, std::ios::binary);
        std::ofstream to(program, std::ios::binary);
        to << from.rdbuf();
    }
    ASSERT_EQ(0, chmod(program.c_str(), 0755));
    Client alice;
    Server server;
    server.control = dir + "/control";
    server.program = program;
    ASSERT_TRUE(server.start());
    Datagram d;
    alice.send(server.addr, "ALICE", "NOBODY", "learn me", 1);
    ASSERT_GT(alice.recv_kind(&d, KIND_RECEIPT), 0);
    ASSERT_GT(alice.recv_kind(&d, KIND_NOTICE), 0); // nobody called NOBODY
    struct stat st;
    ASSERT_EQ(0, stat(server.control.c_str(), &st));
    EXPECT_EQ(static_cast<mode_t>(0660), st.st_mode & 07777);
    auto as_nobody = [&](std::vector<std::string> args, std::string* err, std::string* out) {
        std::vector<std::string> all = {runuser, "-u",        "nobody",      "--",
                                        program, "--control", server.control};
        all.insert(all.end(), args.begin(), args.end());
        return run(all, err, "", out);
    };
    std::string err, out;

    // The socket's permissions keep nobody out...
    EXPECT_EQ(3, as_nobody({"--notice", "--all", "spoofed"}, &err, &out)) << err;
    EXPECT_NE(std::string::npos, err.find("not allowed to control this relay")) << err;
    EXPECT_NE(std::string::npos, err.find("Permission denied")) << err;
    // ... and so do the relay's own checks where the permissions would let anyone in.
    ASSERT_EQ(0, chmod(server.control.c_str(), 0666));
    EXPECT_EQ(3, as_nobody({"--notice", "ALICE", "spoofed"}, &err, &out)) << err;
    EXPECT_NE(std::string::npos,
              err.find("not allowed to control this relay: uid " + std::to_string(nobody->pw_uid)))
        << err;
    EXPECT_EQ(3, as_nobody({"--status"}, &err, &out)) << err;
    EXPECT_EQ("", out);

    // A member of the socket's group is served.
    ASSERT_EQ(0, chown(server.control.c_str(), 0, nobody->pw_gid));
    ASSERT_EQ(0, chmod(server.control.c_str(), 0660));
    EXPECT_EQ(0, as_nobody({"--notice", "ALICE", "From the operators."}, &err, &out)) << err;
    EXPECT_EQ("Notice sent to ALICE.\n", out);
    ASSERT_GT(alice.recv_kind(&d, KIND_NOTICE), 0);
    EXPECT_STREQ("From the operators.", d.body); // and nothing spoofed before it

    std::string log;
    EXPECT_EQ(0, server.stop(SIGTERM, &log));
    EXPECT_NE(std::string::npos,
              log.find("control request from uid " + std::to_string(nobody->pw_uid)))
        << log;
    EXPECT_NE(0, access(server.control.c_str(), F_OK));
    std::remove(program.c_str());
    rmdir(dir.c_str());
}

#ifdef KELTUP_SEND
std::vector<std::string> sender(const Server& s, std::vector<std::string> rest) {
    std::vector<std::string> args = {KELTUP_SEND, "--server", "127.0.0.1", "--port",
                                     std::to_string(s.addr.port)};
    args.insert(args.end(), rest.begin(), rest.end());
    return args;
}

TEST(KeltupSend, SendsLikeTheTrayClientAndSaysWhetherTheReceiptCame) {
    Client bob;
    std::string users = users_file(entry("BOB", bob));
    Server server;
    ASSERT_TRUE(server.start({"--users", users, "--verbose"}));
    Datagram d;
    std::string err;

    // Words after the recipient make the message; nicknames go out in upper case.
    EXPECT_EQ(0, run(sender(server, {"--from", "carol", "bob", "lunch", "at", "one?"}), &err));
    EXPECT_NE(std::string::npos, err.find("Message Sent")) << err;
    ASSERT_EQ(HEADER_SIZE + 14, bob.recv(&d));
    EXPECT_EQ(KIND_MESSAGE, d.kind);
    EXPECT_STREQ("CAROL", d.sender);
    EXPECT_STREQ("BOB", d.recipient);
    EXPECT_STREQ("lunch at one?", d.body);

    // Without words, standard input is the message, less its final line break.
    EXPECT_EQ(0, run(sender(server, {"BOB"}), &err, "line one\nline two\n"));
    ASSERT_GT(bob.recv(&d), 0);
    EXPECT_STREQ("KELTUP-SEND", d.sender);
    EXPECT_STREQ("line one\nline two", d.body);

    // Cut as the compose dialog cuts: 998 characters, and at a byte of 0x80 and above; the
    // nicknames at 19 characters.
    EXPECT_EQ(0, run(sender(server, {"BOB", std::string(1200, 'x')}), &err)) << err;
    EXPECT_NE(std::string::npos, err.find("cut")) << err;
    ASSERT_EQ(HEADER_SIZE + 999, bob.recv(&d));
    EXPECT_EQ(std::string(998, 'x'), d.body);
    EXPECT_EQ(0, run(sender(server, {"BOB"}), &err, std::string(5000, 'y')));
    ASSERT_EQ(HEADER_SIZE + 999, bob.recv(&d));
    EXPECT_EQ(0,
              run(sender(server, {"-n", "ABCDEFGHIJKLMNOPQRSTUV", "BOB", "caf\xC3\xA9!"}), &err));
    ASSERT_GT(bob.recv(&d), 0);
    EXPECT_STREQ("caf", d.body);
    EXPECT_STREQ("ABCDEFGHIJKLMNOPQRS", d.sender);

    // Server and nick from a settings file; options after it win. Its local port belongs to the
    // tray client: keltup-send keeps to a free one unless told.
    std::string ini = ::testing::TempDir() + "keltup_send_test_" + std::to_string(getpid());
    FILE* f = std::fopen(ini.c_str(), "w");
    std::fprintf(f, "[settings]\nservername=127.0.0.1\nnick=DAVE\nlocalport=%u\nremoteport=%u\n",
                 bob.addr.port, server.addr.port);
    std::fclose(f);
    EXPECT_EQ(0, run({KELTUP_SEND, "--settings", ini, "BOB", "from the file"}, &err)) << err;
    ASSERT_GT(bob.recv(&d), 0);
    EXPECT_STREQ("DAVE", d.sender);
    std::string spare_port;
    {
        Client spare; // a port that was free a moment ago
        spare_port = std::to_string(spare.addr.port);
    }
    EXPECT_EQ(0, run({KELTUP_SEND, "-f", ini, "--from", "erin", "--local-port", spare_port, "BOB",
                      "override"},
                     &err))
        << err;
    ASSERT_GT(bob.recv(&d), 0);
    EXPECT_STREQ("ERIN", d.sender);
    ASSERT_NE("", server.wait_log("127.0.0.1:" + spare_port + ": ERIN -> BOB: delivered"));
    std::remove(ini.c_str());

    // An unknown recipient: the receipt came, the notice is shown, and the exit code says the
    // recipient was not reached.
    EXPECT_EQ(3, run(sender(server, {"NOBODY", "hello?"}), &err)) << err;
    EXPECT_NE(std::string::npos, err.find("Message Sent")) << err;
    EXPECT_NE(std::string::npos, err.find("Nobody called NOBODY is known")) << err;

    // Bad arguments never reach the network; no relay at all is no response.
    EXPECT_EQ(2, run(sender(server, {}), &err));
    EXPECT_EQ(2, run(sender(server, {"--port", "70000", "BOB", "x"}), &err));
    EXPECT_EQ(2, run(sender(server, {"--bogus", "1", "BOB", "x"}), &err));
    EXPECT_EQ(2, run({KELTUP_SEND, "--settings", "/nonexistent/keltup.ini", "BOB", "x"}, &err));
    EXPECT_EQ(0, server.stop());
    EXPECT_EQ(1, run({KELTUP_SEND, "--port", std::to_string(server.addr.port), "BOB", "x"}, &err));
    EXPECT_NE(std::string::npos, err.find("No response from server!")) << err;
    std::remove(users.c_str());
}

// A stand-in relay answers keltup-send's first try with a notice and then the receipt: only a
// notice the relay marked as its own with the reason "unknown recipient" makes exit code 3,
// whatever the notice's text says.
TEST(KeltupSend, NotReachedComesFromTheReasonByteNotTheText) {
    struct Case {
        bool marked;
        char reason;
        int exit_code;
    };
    const Case cases[] = {{true, REASON_UNKNOWN, 3},
                          {true, REASON_OPERATOR, 0},
                          {true, REASON_NICK_IN_USE, 0},
                          {false, REASON_UNKNOWN, 0}};
    for (const Case& k : cases) {
        SCOPED_TRACE(std::string("reason ") + k.reason + (k.marked ? ", marked" : ", unmarked"));
        Client relay;
        Child send = spawn({KELTUP_SEND, "--port", std::to_string(relay.addr.port), "BOB", "hi"});
        Datagram msg, notice, receipt;
        NetAddr from;
        ASSERT_EQ(1, net_wait(relay.fd, kWaitMs));
        ASSERT_GT(net_recv(relay.fd, &msg, sizeof msg, &from), 0);

        std::memset(&notice, 0, sizeof notice);
        std::memcpy(notice.magic, "KT1", 3);
        notice.kind = KIND_NOTICE;
        if (k.marked) std::memcpy(notice.reserved, kRelayMark, sizeof kRelayMark);
        notice.reserved[RELAY_REASON_AT] = k.reason;
        std::strcpy(notice.body, "Nobody called BOB is known to the server.");
        receipt = notice;
        receipt.kind = KIND_RECEIPT;
        std::memcpy(receipt.id, msg.id, sizeof msg.id);
        receipt.reserved[RELAY_REASON_AT] = REASON_NONE;
        receipt.body[0] = '\0';
        relay.send_raw(&notice, datagram_send_length(&notice), from);
        relay.send_raw(&receipt, datagram_send_length(&receipt), from);

        std::string err = read_all(send.err);
        EXPECT_EQ(k.exit_code, finish(send)) << err;
        EXPECT_NE(std::string::npos, err.find("Nobody called BOB is known")) << err;
        EXPECT_NE(std::string::npos, err.find("Message Sent")) << err;
    }
}
#endif

} // namespace
