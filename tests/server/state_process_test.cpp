// The real keltup-server with its state file: restarts after a stop and after kill -9, a folder
// it may no longer write, a full disk, and the metrics file beside links someone else planted.
#include "protocol/datagram.h"
#include "server/net.h"
#include "tests/server/child_process.h"
#include "tests/server/relay_process.h"
#include "tests/server/test_client.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sched.h>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

// Bounds against hangs only; nothing here measures how long anything takes.
const int kWaitMs = 10000;

std::string read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

void write_file(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

// Names in a folder ending in ".tmp".
int temporary_files(const std::string& dir) {
    int n = 0;
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) return -1;
    while (dirent* e = readdir(d)) {
        std::string name = e->d_name;
        n += name.size() > 4 && name.compare(name.size() - 4, 4, ".tmp") == 0;
    }
    closedir(d);
    return n;
}

std::string find_program(const char* name) {
    for (const char* dir : {"/usr/sbin/", "/sbin/", "/usr/bin/", "/bin/"}) {
        std::string path = std::string(dir) + name;
        if (access(path.c_str(), X_OK) == 0) return path;
    }
    return "";
}

// A folder of the test's own.
std::string temp_folder() {
    std::string dir = ::testing::TempDir() + "keltup_state_XXXXXX";
    if (mkdtemp(&dir[0]) == nullptr) return "";
    return dir;
}

using Relay = RelayProcess;

struct Client : TestClient {
    Client() : TestClient(kWaitMs) {}
};

TEST(StateProcess, AUserWhoOnlyReadsIsReachedAfterAStopAndAfterAKill) {
    std::string dir = temp_folder();
    ASSERT_FALSE(dir.empty());
    std::string state = dir + "/directory", metrics = dir + "/m.prom";
    Client alice, bob, carol;
    Relay first;
    first.control = dir + "/control";
    ASSERT_TRUE(first.start({"--state", state}));
    EXPECT_NE("", first.wait_log("no state file at " + state + " yet"));
    // Bob makes himself known once, then only reads.
    ASSERT_EQ(2, bob.send_with_receipt(first.addr, "BOB", "NOBODY", "here", 1));
    ASSERT_EQ(1, alice.send_with_receipt(first.addr, "ALICE", "BOB", "before", 1));
    ASSERT_TRUE(bob.receives("before"));
    first.stop();
    EXPECT_NE(std::string::npos,
              read_file(state).find("BOB 127.0.0.1:" + std::to_string(bob.addr.port) + " "))
        << read_file(state);

    // A new start: Bob is where he was.
    Relay second;
    second.control = first.control;
    ASSERT_TRUE(second.start({"--state", state, "--metrics", metrics}));
    EXPECT_NE("", second.wait_log("restored 2 nicknames from " + state + "; skipped 0 damaged"));
    ASSERT_EQ(1, alice.send_with_receipt(second.addr, "ALICE", "BOB", "after a stop", 2));
    ASSERT_TRUE(bob.receives("after a stop"));
    std::string out;
    std::string promtool = find_program("promtool");
    if (!promtool.empty()) {
        EXPECT_EQ(0, run({promtool, "check", "metrics"}, nullptr, read_file(metrics), &out)) << out;
    }
    // Carol is learned, and the relay killed as soon as her receipt is out.
    Datagram d;
    carol.send(second.addr, "CAROL", "NOBODY", "here", 1);
    ASSERT_GT(carol.recv_kind(&d, KIND_RECEIPT), 0);
    second.stop(SIGKILL);

    // Three damaged lines at its end, as a disk might leave them: still everybody is back. A
    // rewrite the kill cut short is cleared away; a file of another name is left.
    write_file(state, read_file(state) + "x\n\x01\x02 junk\nDAVE 127.0.0.1:4");
    write_file(state + ".0badc0de.tmp", "keltup-server-state 1\nDA");
    write_file(state + ".mine.tmp", "keep me");
    Relay third;
    third.control = first.control;
    ASSERT_TRUE(third.start({"--state", state}));
    EXPECT_NE("", third.wait_log("restored 3 nicknames from " + state + "; skipped 3 damaged"));
    ASSERT_EQ(1, alice.send_with_receipt(third.addr, "ALICE", "CAROL", "after a kill", 3));
    ASSERT_TRUE(carol.receives("after a kill"));
    ASSERT_EQ(1, alice.send_with_receipt(third.addr, "ALICE", "BOB", "and to bob", 4));
    ASSERT_TRUE(bob.receives("and to bob"));
    std::string status = third.status();
    EXPECT_NE(std::string::npos, status.find("state file: " + state)) << status;
    EXPECT_NE(std::string::npos, status.find("restored at start: 3 nicknames (3 damaged"))
        << status;
    EXPECT_NE(std::string::npos, status.find("write errors: 0")) << status;
    third.stop();
    EXPECT_EQ(1, temporary_files(dir));
    EXPECT_EQ("keep me", read_file(state + ".mine.tmp"));
    struct stat st;
    ASSERT_EQ(0, stat(state.c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 07777);
}

TEST(StateProcess, AFileWrittenForALargerRelayGivesItsNewestAndTheStartSaysSoInOneLine) {
    std::string dir = temp_folder();
    ASSERT_FALSE(dir.empty());
    std::string state = dir + "/directory", text = "keltup-server-state 1\n";
    Client newest;
    // Forty users, one of them at a client of this test's and heard last.
    for (int i = 0; i < 40; ++i)
        text += "OLD" + std::to_string(i) + " 10.0.0." + std::to_string(i + 1) + ":99 " +
                std::to_string(100 + i) + "\n";
    text += "NEWEST 127.0.0.1:" + std::to_string(newest.addr.port) + " 1\n";
    write_file(state, text);
    Relay relay;
    relay.control = dir + "/control";
    ASSERT_TRUE(relay.start({"--state", state, "--max-users", "8"}));
    std::string line = relay.wait_log("restored ");
    EXPECT_NE(std::string::npos,
              line.find("restored 8 nicknames from " + state +
                        "; skipped 0 damaged lines; left out 33 older for want of room"))
        << line;
    Client alice;
    ASSERT_EQ(1, alice.send_with_receipt(relay.addr, "ALICE", "NEWEST", "you are back", 1));
    ASSERT_TRUE(newest.receives("you are back"));
    relay.stop();
    // Written whole at the stop: the directory as it was, no more.
    text = read_file(state);
    EXPECT_EQ(9, std::count(text.begin(), text.end(), '\n')) << text;
    EXPECT_EQ(std::string::npos, text.find("OLD39 ")) << text;
}

// A copy of the relay in a folder every user may read, wherever the build tree is.
std::string reachable_program(const std::string& dir) {
    std::string program = dir + "/keltup-server";
    {
        std::ifstream from(KELTUP_SERVER, std::ios::binary);
        std::ofstream to(program, std::ios::binary);
        to << from.rdbuf();
    }
    chmod(dir.c_str(), 0755);
    chmod(program.c_str(), 0755);
    return program;
}

// The relay run as nobody, from a copy every user may read, in a folder nobody owns.
struct StateAsNobody : ::testing::Test {
    const passwd* nobody = getpwnam("nobody");
    std::string bin = temp_folder(), dir = temp_folder(), state = dir + "/directory";
    Relay relay;
    void SetUp() override {
        if (geteuid() != 0 || nobody == nullptr)
            GTEST_SKIP() << "needs root and a user called nobody to run the relay as another user";
        ASSERT_FALSE(bin.empty() || dir.empty());
        ASSERT_EQ(0, chown(dir.c_str(), nobody->pw_uid, nobody->pw_gid));
        relay.program = reachable_program(bin);
        relay.as = nobody;
        relay.control = dir + "/control";
    }
};

TEST_F(StateAsNobody, AFolderItMayNoLongerWriteLeavesTheRelayRelayingAndTheOldFileWhole) {
    ASSERT_TRUE(relay.start({"--state", state}));
    Client alice, bob, carol;
    ASSERT_EQ(2, bob.send_with_receipt(relay.addr, "BOB", "NOBODY", "here", 1));

    // Its folder made read-only under it: what it learns is still appended to the open file,
    // the rewrite fails and is counted, and relaying goes on.
    ASSERT_EQ(0, chmod(dir.c_str(), 0500));
    ASSERT_EQ(2, carol.send_with_receipt(relay.addr, "CAROL", "NOBODY", "here", 1));
    kill(relay.child.pid, SIGHUP);
    EXPECT_TRUE(relay.status_shows("write errors: 1 (failing now")) << relay.status();
    std::string line = relay.wait_log("state file " + state);
    EXPECT_NE(std::string::npos, line.find("Permission denied; relaying goes on from memory"))
        << line;
    ASSERT_EQ(1, alice.send_with_receipt(relay.addr, "ALICE", "BOB", "still", 1));
    ASSERT_TRUE(bob.receives("still"));
    std::string text = read_file(state);
    EXPECT_EQ(0u, text.find("keltup-server-state 1\n")) << text;
    EXPECT_NE(std::string::npos, text.find("\nBOB 127.0.0.1:")) << text;
    EXPECT_NE(std::string::npos, text.find("\nCAROL 127.0.0.1:")) << text;
    EXPECT_EQ(0, temporary_files(dir));

    // Writable again: the next rewrite brings the file up to date.
    ASSERT_EQ(0, chmod(dir.c_str(), 0700));
    kill(relay.child.pid, SIGHUP);
    EXPECT_NE("", relay.wait_log("state file " + state + " written again"));
    EXPECT_NE(std::string::npos, relay.status().find("write errors: 1\n"));
    text = read_file(state);
    EXPECT_NE(std::string::npos, text.find("\nALICE 127.0.0.1:")) << text;
    relay.stop();
    EXPECT_EQ(0, temporary_files(dir));
}

TEST_F(StateAsNobody, AFileItCannotReadIsLeftByteForByteUntilItCanBeRead) {
    // A permissions mistake: the file is root's own, in a folder the relay may write.
    std::string kept = "keltup-server-state 1\nEVE 10.0.0.1:1 0\n";
    write_file(state, kept);
    ASSERT_EQ(0, chmod(state.c_str(), 0600));
    ASSERT_TRUE(relay.start({"--state", state}));
    std::string line = relay.wait_log("state file " + state);
    EXPECT_NE(std::string::npos, line.find("Permission denied; relaying from memory, the file left "
                                           "as it is until it can be read"))
        << line;
    Client bob;
    ASSERT_EQ(2, bob.send_with_receipt(relay.addr, "BOB", "NOBODY", "here", 1));
    // A rewrite asked for and a stop: neither puts anything in its place.
    kill(relay.child.pid, SIGHUP);
    EXPECT_TRUE(relay.status_shows("(failing now")) << relay.status();
    std::string log;
    relay.stop(SIGTERM, &log);
    EXPECT_NE(std::string::npos, log.find("state file " + state + " left as it was")) << log;
    EXPECT_EQ(kept, read_file(state));
    EXPECT_EQ(0, temporary_files(dir));

    // Mended while a relay runs: the next rewrite reads it first, and keeps what both knew.
    ASSERT_TRUE(relay.start({"--state", state}));
    ASSERT_EQ(2, bob.send_with_receipt(relay.addr, "BOB", "NOBODY", "here", 2));
    ASSERT_EQ(0, chmod(state.c_str(), 0644));
    kill(relay.child.pid, SIGHUP);
    EXPECT_NE("", relay.wait_log("restored 1 nickname from " + state));
    relay.stop();
    std::string text = read_file(state);
    EXPECT_NE(std::string::npos, text.find("\nEVE 10.0.0.1:1 ")) << text;
    EXPECT_NE(std::string::npos, text.find("\nBOB 127.0.0.1:")) << text;
}

TEST(StateProcess, AFullDiskLeavesTheRelayRelayingAndWritingResumesWhenThereIsRoom) {
    std::string dir = temp_folder();
    ASSERT_FALSE(dir.empty());
    // A small file system of this test's own, in a mount namespace of its own.
    if (geteuid() != 0 || unshare(CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=64k,mode=0700") != 0)
        GTEST_SKIP() << "needs to mount a small tmpfs in a mount namespace of its own (root)";
    std::string state = dir + "/directory", filler = dir + "/filler";
    Relay relay;
    relay.control = dir + "/control";
    ASSERT_TRUE(relay.start({"--state", state, "--rate", "0", "--max-users-per-address", "1000"}));
    Client alice, bob, flood;
    ASSERT_EQ(2, bob.send_with_receipt(relay.addr, "BOB", "NOBODY", "here", 1));
    std::string before = read_file(state);
    // The disk fills up.
    {
        std::string block(4096, 'f');
        FILE* f = std::fopen(filler.c_str(), "wb");
        ASSERT_NE(nullptr, f);
        while (std::fwrite(block.data(), 1, block.size(), f) == block.size() &&
               std::fflush(f) == 0) {
        }
        std::fclose(f);
    }
    // Two hundred newcomers: more than the state file's last page holds.
    char nick[NICK_SIZE];
    Datagram d;
    for (int i = 0; i < 200; ++i) {
        std::snprintf(nick, sizeof nick, "NEWCOMER%d", i);
        flood.send(relay.addr, nick, "NOBODY", "", static_cast<unsigned>(i));
        ASSERT_GT(flood.recv_kind(&d, KIND_RECEIPT), 0) << i;
    }
    EXPECT_TRUE(relay.status_shows("(failing now")) << relay.status();
    EXPECT_NE("", relay.wait_log("No space left on device; relaying goes on from memory"));
    // Relaying goes on, to the newcomers too, from memory.
    ASSERT_EQ(1, alice.send_with_receipt(relay.addr, "ALICE", "BOB", "still", 1));
    ASSERT_TRUE(bob.receives("still"));
    ASSERT_EQ(1, alice.send_with_receipt(relay.addr, "ALICE", "NEWCOMER199", "you too", 2));
    ASSERT_TRUE(flood.receives("you too"));
    std::string during = read_file(state);
    EXPECT_EQ(0u, during.find(before)) << during;
    EXPECT_EQ(0, temporary_files(dir));

    // Room again: the next try writes the file whole.
    std::remove(filler.c_str());
    EXPECT_NE("", relay.wait_log("state file " + state + " written again"));
    std::string after = read_file(state);
    EXPECT_NE(std::string::npos, after.find("\nNEWCOMER199 127.0.0.1:")) << after;
    EXPECT_NE(std::string::npos, after.find("\nBOB 127.0.0.1:")) << after;
    relay.stop();
    EXPECT_EQ(0, temporary_files(dir));
    umount(dir.c_str());
}

TEST(StateProcess, TheMetricsFileIsNeverWrittenThroughALinkAnotherUserPlanted) {
    std::string runuser = find_program("runuser");
    const passwd* nobody = getpwnam("nobody");
    if (geteuid() != 0 || runuser.empty() || nobody == nullptr)
        GTEST_SKIP() << "needs root, runuser and a user called nobody to play the other user";
    // A folder nobody owns: the kernel follows nobody's links in it whatever
    // fs.protected_symlinks says, as in a shared temporary folder where it is 0.
    std::string dir = temp_folder(), safe = temp_folder();
    ASSERT_FALSE(dir.empty() || safe.empty());
    ASSERT_EQ(0, chown(dir.c_str(), nobody->pw_uid, nobody->pw_gid));
    ASSERT_EQ(0, chmod(dir.c_str(), 01777));
    std::string victim = safe + "/secret", metrics = dir + "/m.prom";
    write_file(victim, "root's own\n");
    ASSERT_EQ(0, chmod(victim.c_str(), 0600));
    std::string out;
    for (const std::string& link : {metrics + ".tmp", metrics})
        ASSERT_EQ(0,
                  run({runuser, "-u", "nobody", "--", "ln", "-s", victim, link}, nullptr, "", &out))
            << out;

    Relay relay;
    relay.control = safe + "/control";
    ASSERT_TRUE(relay.start({"--state", "none", "--metrics", metrics}));
    relay.stop();
    EXPECT_EQ("root's own\n", read_file(victim));
    struct stat st;
    ASSERT_EQ(0, lstat(victim.c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 07777);
    // The link at the metrics file's name was replaced, not followed; the other left alone.
    ASSERT_EQ(0, lstat(metrics.c_str(), &st));
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(0u, st.st_uid);
    EXPECT_EQ(0644u, st.st_mode & 07777);
    EXPECT_NE(std::string::npos, read_file(metrics).find("keltup_uptime_seconds"));
    ASSERT_EQ(0, lstat((metrics + ".tmp").c_str(), &st));
    EXPECT_TRUE(S_ISLNK(st.st_mode));
}

} // namespace
