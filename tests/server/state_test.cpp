// The relay's state file, in process: what it keeps of the learned directory, how it is read
// back after a stop, a crash or damage, and what a restart makes of the time it was down.
#include "server/relay.h"
#include "server/state.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const NetAddr kAlice = {0x7F000001u, 4001};
const NetAddr kBob = {0x7F000001u, 4002};
const NetAddr kFar = {0xC0000207u, 65535}; // 192.0.2.7: only ever a value here

struct State : ::testing::Test {
    std::string path = ::testing::TempDir() + "keltup_state_test_" + std::to_string(getpid());
    void SetUp() override {
        state_writer_thread = 0; // each rewrite done when due, to look at the file at once
        relay_config.log_level = LOG_QUIET;
        relay_config.lease_ms = 600000;
        relay_config.rate = 0;
        relay_config.max_users = 256;
        relay_config.max_per_address = 1000;
        relay_reset();
        std::remove(path.c_str());
    }
    void TearDown() override {
        state_close(0);
        std::remove(path.c_str());
    }
    // nick sends a message from `from` at `now` (milliseconds).
    void send(const char* nick, const NetAddr& from, long long now, const char* to = "NOBODY") {
        char buf[RECORD_SIZE + 1] = {};
        Datagram* d = reinterpret_cast<Datagram*>(buf);
        std::memcpy(d->magic, "KT1", 3);
        d->kind = KIND_MESSAGE;
        std::memcpy(d->sender, nick, strnlen(nick, NICK_SIZE - 1));
        std::strcpy(d->recipient, to);
        RelayOut out[2];
        int n = 0;
        relay_handle(buf, HEADER_SIZE + 1, &from, now, out, &n);
    }
    std::string file() {
        std::string text;
        FILE* f = std::fopen(path.c_str(), "rb");
        if (f == nullptr) return "(none)";
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
            text.append(buf, n);
        std::fclose(f);
        return text;
    }
    void write(const std::string& text) {
        FILE* f = std::fopen(path.c_str(), "wb");
        std::fwrite(text.data(), 1, text.size(), f);
        std::fclose(f);
    }
    // A restart: the tables forgotten, then the file read at `now`.
    void restart(long long now) {
        state_close(now);
        relay_reset();
        state_open(path.c_str(), now);
    }
    StateRestore restore(const std::string& text, long long now = 1000000) {
        relay_reset();
        StateRestore r;
        state_restore_text(text.data(), text.size(), now, &r);
        return r;
    }
    // Seconds since u was last heard, at now.
    static long long age(const char* nick, long long now) {
        const RelayUser* u = relay_find(nick);
        return u == nullptr ? -1 : (now - u->seen) / 1000;
    }
};

TEST_F(State, EveryFieldSurvivesAStopAndAStartAndTheDowntimeDoesNotCount) {
    state_open(path.c_str(), 1000);
    // Nicknames as the wire allows them: any byte from 0x01 to 0x7F, 19 at most.
    const char* odd = "a b%c\t\x7F\x01~!=#:.19abc";
    send("ALICE", kAlice, 2000);
    send("bob", kBob, 50000);
    send(odd, kFar, 90000);
    state_close(100000);
    std::string text = file();
    EXPECT_EQ(0, text.find(std::string(kStateVersionLine) + "\n")) << text;
    EXPECT_NE(std::string::npos, text.find("ALICE 127.0.0.1:4001 98\n")) << text;
    EXPECT_NE(std::string::npos, text.find("bob 127.0.0.1:4002 50\n")) << text;
    EXPECT_NE(std::string::npos, text.find("a%20b%25c%09%7F%01~!=#:.19abc 192.0.2.7:65535 10\n"))
        << text;
#ifndef _WIN32 // a file's access on Windows is its folder's
    struct stat st;
    ASSERT_EQ(0, stat(path.c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 0777);
#endif

    // Two hours later by the wall clock, restarted on a clock that began again at 5 s.
    relay_reset();
    state_open(path.c_str(), 5000);
    ASSERT_EQ(3, relay_user_count());
    for (const char* nick : {"alice", "BOB", odd}) {
        const RelayUser* u = relay_find(nick);
        ASSERT_NE(nullptr, u) << nick;
        EXPECT_FALSE(u->pinned);
    }
    EXPECT_TRUE(net_equal(&kAlice, &relay_find("ALICE")->addr));
    EXPECT_TRUE(net_equal(&kBob, &relay_find("BOB")->addr));
    EXPECT_TRUE(net_equal(&kFar, &relay_find(odd)->addr));
    EXPECT_STREQ("bob", relay_find("BOB")->nick);
    EXPECT_STREQ(odd, relay_find(odd)->nick);
    EXPECT_EQ(98, age("ALICE", 5000));
    EXPECT_EQ(50, age("BOB", 5000));
    EXPECT_EQ(10, age(odd, 5000));
    // Heard 50 s ago counts as 50 s ago: BOB's lease holds against another host.
    send("BOB", kFar, 6000);
    EXPECT_TRUE(net_equal(&kBob, &relay_find("BOB")->addr));
    StateReport rep;
    state_report(&rep);
    EXPECT_EQ(3, rep.at_start.restored);
    EXPECT_EQ(0, rep.at_start.damaged);
}

TEST_F(State, WhatWasLearnedIsInTheFileWhenTheDrainEndsWithoutAStop) {
    state_open(path.c_str(), 1000);
    send("ALICE", kAlice, 2000);
    send("ALICE", kAlice, 3000); // heard again: not journalled
    EXPECT_EQ(std::string(kStateVersionLine) + "\n", file());
    state_flush(3000);
    EXPECT_EQ(std::string(kStateVersionLine) + "\nALICE 127.0.0.1:4001 0\n", file());
    // A move after the lease is journalled; so is a slot taken by a newcomer.
    send("ALICE", kBob, 700000);
    relay_config.max_users = 1;
    state_flush(700000);
    EXPECT_EQ(std::string(kStateVersionLine) + "\nALICE 127.0.0.1:4001 0\nALICE 127.0.0.1:4002 0\n",
              file());
    // Killed here: the next relay finds ALICE where she went.
    relay_config.max_users = 256;
    relay_reset();
    state_open(path.c_str(), 1000);
    ASSERT_NE(nullptr, relay_find("ALICE"));
    EXPECT_TRUE(net_equal(&kBob, &relay_find("ALICE")->addr));
    EXPECT_EQ(1, relay_user_count());
}

TEST_F(State, TheFileIsRewrittenAboutOnceAMinuteWhileALeaseItDecidesMayRun) {
    state_open(path.c_str(), 0);
    send("ALICE", kAlice, 1000);
    state_flush(1000);
    StateReport rep;
    state_report(&rep);
    EXPECT_EQ(1, rep.compactions); // at the start
    // Synced a second after the append; rewritten a minute after the start.
    long long next = state_tick(1000);
    EXPECT_EQ(1000 + STATE_SYNC_MS, next);
    next = state_tick(next);
    EXPECT_EQ(STATE_COMPACT_MS, next);
    state_tick(next);
    EXPECT_NE(std::string::npos, file().find("ALICE 127.0.0.1:4001 59\n")) << file();
    // Silent since: the ages are still brought up to date for the lease and a minute more.
    long long now = next;
    while ((now = state_tick(now)) < 1000 + relay_config.lease_ms + STATE_COMPACT_MS) {
    }
    state_report(&rep);
    long long rewrites = rep.compactions;
    EXPECT_LE(11, rewrites);
    EXPECT_NE(std::string::npos, file().find("ALICE 127.0.0.1:4001 6")) << file();
    // Then nothing is due, and the relay is not woken before a minute has passed.
    for (int i = 0; i < 5; ++i) {
        long long wake = state_tick(now);
        EXPECT_EQ(now + STATE_COMPACT_MS, wake);
        now = wake;
    }
    state_report(&rep);
    EXPECT_EQ(rewrites, rep.compactions);
}

TEST_F(State, ASlotReusedIsJournalledAndTheFileIsRewrittenBeforeItOutgrowsTheDirectory) {
    relay_config.max_users = 4;
    relay_config.lease_ms = 1000;
    relay_reset();
    state_open(path.c_str(), 0);
    char nick[NICK_SIZE];
    long long now = 0;
    for (int i = 0; i < 4; ++i) {
        std::snprintf(nick, sizeof nick, "N%d", i);
        send(nick, {0x0A000001u, static_cast<uint16_t>(1000 + i)}, now += 10);
    }
    state_flush(now);
    // Leases over: a newcomer takes N0's slot.
    send("NEW", kFar, now += 5000);
    state_flush(now);
    std::string text = file();
    EXPECT_NE(std::string::npos, text.find("NEW 192.0.2.7:65535 0\n")) << text;
    // Four journal lines on four slots: the next tick rewrites the file.
    EXPECT_LT(now, state_tick(now));
    text = file();
    EXPECT_EQ(std::string::npos, text.find("N0 ")) << text;
    EXPECT_NE(std::string::npos, text.find("NEW 192.0.2.7:65535 0\n")) << text;
    EXPECT_EQ(5, std::count(text.begin(), text.end(), '\n')) << text;
    restart(now);
    EXPECT_EQ(4, relay_user_count());
    EXPECT_EQ(nullptr, relay_find("N0"));
}

TEST_F(State, WhatIsLearnedWhileTheWriterRewritesIsInWhicheverFileIsInPlace) {
    // The writer thread, asked to rewrite over and over: a line flushed at any point of a rewrite
    // (snapshot, write, rename) is in the file at the path from then on.
    state_writer_thread = 1;
    relay_config.max_users = 8192;
    relay_reset();
    char nick[NICK_SIZE], line[64];
    for (int i = 0; i < 1000; ++i) { // a file that takes the writer a while
        std::snprintf(nick, sizeof nick, "OLD%d", i);
        send(nick, {0x0A000002u, static_cast<uint16_t>(1000 + i)}, 0);
    }
    state_open(path.c_str(), 0);
    for (int i = 0; i < 200; ++i) {
        state_compact_now(i);
        std::snprintf(nick, sizeof nick, "N%d", i);
        send(nick, {0x0A000001u, static_cast<uint16_t>(1000 + i)}, i);
        state_flush(i);
        // Every line so far, looked at twice; Windows renames in two steps, the file briefly gone.
        for (int look = 0; look < 2; ++look, usleep(200)) {
            std::string text;
            for (int tries = 0; tries < 1000 && (text = file()) == "(none)"; ++tries)
                usleep(1000);
            for (int j = std::max(0, i - 1); j <= i; ++j) {
                std::snprintf(line, sizeof line, "\nN%d 10.0.0.1:%d ", j, 1000 + j);
                ASSERT_NE(std::string::npos, text.find(line)) << i;
            }
        }
        state_tick(i);
    }
    state_close(200);
    std::string text = file();
    EXPECT_EQ(1201, std::count(text.begin(), text.end(), '\n'));
    StateReport rep;
    state_report(&rep);
    EXPECT_LT(1, rep.compactions);
}

TEST_F(State, TheNewestFitWhenTheFileHoldsMoreThanTheDirectory) {
    relay_config.max_users = 4;
    relay_config.max_per_address = 2;
    relay_reset();
    // Written for a bigger relay: six hosts' users, ages out of order, a nickname twice.
    std::string text = std::string(kStateVersionLine) + "\n"
                                                        "OLD1 10.0.0.1:1 500\n"
                                                        "NEW1 10.0.0.2:1 5\n"
                                                        "MID1 10.0.0.3:1 100\n"
                                                        "NEW2 10.0.0.4:1 6\n"
                                                        "HOST1 10.0.0.9:1 1\n"
                                                        "HOST2 10.0.0.9:2 2\n"
                                                        "HOST3 10.0.0.9:3 3\n"
                                                        "OLD2 10.0.0.5:1 400\n"
                                                        "new1 10.0.0.6:1 50\n";
    StateRestore r = restore(text, 1000000);
    EXPECT_EQ(4, r.restored);
    EXPECT_EQ(0, r.damaged);
    EXPECT_EQ(4, r.no_room); // HOST3 over its host's share, MID1, OLD1, OLD2 over the directory
    for (const char* nick : {"HOST1", "HOST2", "NEW1", "NEW2"})
        EXPECT_NE(nullptr, relay_find(nick)) << nick;
    EXPECT_EQ(5, age("NEW1", 1000000));
    EXPECT_EQ(0x0A000002u, relay_find("NEW1")->addr.ip);
    // The restored are in their order by last heard: the longest silent makes room first.
    relay_config.lease_ms = 1;
    send("LATE", kFar, 1000001);
    EXPECT_NE(nullptr, relay_find("LATE"));
    EXPECT_EQ(nullptr, relay_find("NEW2"));
    EXPECT_NE(nullptr, relay_find("NEW1"));

    // Listed users come from the users file only: a state entry under a listed name is left.
    relay_config.max_users = 256;
    relay_reset();
    relay_pin("ALICE", &kAlice);
    std::string listed = "ALICE 10.0.0.7:1 0\n";
    StateRestore r2;
    state_restore_text(listed.data(), listed.size(), 1000, &r2);
    EXPECT_EQ(0, r2.restored);
    EXPECT_TRUE(relay_find("ALICE")->pinned);
    EXPECT_TRUE(net_equal(&kAlice, &relay_find("ALICE")->addr));
    state_open(path.c_str(), 1000);
    EXPECT_EQ(std::string(kStateVersionLine) + "\n", file()); // nor written to it

    // Nor does a learned nickname come back under a group's name.
    std::string users = path + ".users";
    FILE* f = std::fopen(users.c_str(), "w");
    ASSERT_NE(nullptr, f);
    std::fputs("group SALES = ALICE BOB\n", f);
    std::fclose(f);
    char err[300];
    ASSERT_LE(0, relay_users_load(users.c_str(), err, sizeof err)) << err;
    std::remove(users.c_str());
    std::string group = "sales 10.0.0.8:1 0\n";
    StateRestore r3;
    state_restore_text(group.data(), group.size(), 1000, &r3);
    EXPECT_EQ(0, r3.restored);
    EXPECT_EQ(nullptr, relay_find("SALES"));
}

TEST_F(State, ATruncatedFileGivesEveryWholeLineAndCountsTheCutOne) {
    std::string text = std::string(kStateVersionLine) +
                       "\nALICE 127.0.0.1:4001 7\nBOB 127.0.0.1:4002 12\nC%20D 192.0.2.7:99 0\n";
    size_t ends[] = {text.find('\n') + 1, text.find("BOB"), text.find("C%20D"), text.size()};
    for (size_t cut = 0; cut <= text.size(); ++cut) {
        StateRestore r = restore(text.substr(0, cut));
        int whole = 0;
        for (size_t i = 1; i < 4; ++i)
            whole += ends[i] <= cut;
        bool at_end = false;
        for (size_t e : ends)
            at_end = at_end || e == cut;
        EXPECT_EQ(whole, r.restored) << cut;
        EXPECT_EQ(cut == 0 || at_end ? 0 : 1, r.damaged) << cut;
        EXPECT_EQ(whole, relay_user_count()) << cut;
    }
    restore(text);
    ASSERT_NE(nullptr, relay_find("C D"));
    EXPECT_EQ(99, relay_find("C D")->addr.port);
}

TEST_F(State, DamagedLinesAreCountedAndTheGoodOnesAroundThemRestored) {
    const char* bad[] = {
        "keltup-server-state 1", // a version line after the first
        "TWENTY_CHARACTERS_19 10.0.0.1:1 0",
        "%4 10.0.0.1:1 0",
        "%4g 10.0.0.1:1 0",
        "%00 10.0.0.1:1 0",
        "%80 10.0.0.1:1 0",
        "%7f 10.0.0.1:1 0",
        " 10.0.0.1:1 0",
        "A\x01 10.0.0.1:1 0",
        "A\x80 10.0.0.1:1 0",
        "A 10.0.0.1:1 0 ",
        "A 10.0.0.1:1 0\r",
        "A  10.0.0.1:1 0",
        "A 10.0.0.1:1",
        "A 10.0.0.1:1 ",
        "A 10.0.0.1 0",
        "A 10.0.0:1 0",
        "A 256.0.0.1:1 0",
        "A 10.0.0.1:0 0",
        "A 10.0.0.1:65536 0",
        "A 0.1.2.3:1 0",
        "A 224.0.0.1:1 0",
        "A 255.255.255.255:1 0",
        "A 10.0.0.1:1 -1",
        "A 10.0.0.1:1 +1",
        "A 10.0.0.1:1 99999999999",
        "A 0010.0.0.1:1 0",
        "A 10.0.0.1:000001 0",
        "A\tB 10.0.0.1:1 0",
        "A 10.0.0.1:1 1 2",
        "",
        "#comment",
        "A 10.0.0.1:1 0x10",
    };
    std::string text = std::string(kStateVersionLine) + "\nGOOD1 10.0.0.2:1 1\n";
    for (const char* line : bad)
        text += std::string(line) + "\n";
    text += std::string(200, 'x') + "\n" + std::string("NUL\0 10.0.0.1:1 0\n", 18) +
            "GOOD2 10.0.0.3:1 2\n";
    StateRestore r = restore(text);
    EXPECT_EQ(2, r.restored);
    EXPECT_EQ(static_cast<long long>(sizeof bad / sizeof bad[0]) + 2, r.damaged);
    EXPECT_EQ(2, relay_user_count());
    EXPECT_EQ(nullptr, relay_find("A"));

    // A bad first line is one damaged line: the entries after it are still read.
    for (const char* first : {"keltup-server-state 2", "KELTUP-SERVER-STATE 1", "\xEF\xBB\xBF"}) {
        r = restore(std::string(first) + "\nGOOD1 10.0.0.2:1 1\n");
        EXPECT_EQ(1, r.restored) << first;
        EXPECT_EQ(1, r.damaged) << first;
    }
    // No version line at all: nothing to skip.
    r = restore("GOOD1 10.0.0.2:1 1\n");
    EXPECT_EQ(1, r.restored);
    EXPECT_EQ(0, r.damaged);

    // A nickname twice: the one heard last wins, and of two as recent the later line.
    r = restore("keltup-server-state 1\nBOB 10.0.0.1:1 30\nbob 10.0.0.2:2 3\nBOB 10.0.0.3:3 "
                "9\nEVE 10.0.0.4:4 0\nEVE 10.0.0.5:5 0\n");
    EXPECT_EQ(2, r.restored);
    EXPECT_EQ(0, r.no_room);
    EXPECT_EQ(0x0A000002u, relay_find("BOB")->addr.ip);
    EXPECT_STREQ("bob", relay_find("BOB")->nick);
    EXPECT_EQ(0x0A000005u, relay_find("EVE")->addr.ip);
}

TEST_F(State, AFileThatCannotBeReadOrWrittenLeavesTheRelayRunningFromMemory) {
    // Its folder is missing: nothing read, every write fails and is counted.
    std::string nowhere = ::testing::TempDir() + "keltup_no_such_folder/directory";
    state_open(nowhere.c_str(), 0);
    send("ALICE", kAlice, 10);
    state_flush(10);
    EXPECT_NE(nullptr, relay_find("ALICE"));
    StateReport rep;
    state_report(&rep);
    EXPECT_EQ(1, rep.write_errors);
    EXPECT_EQ(1, rep.failing);
    EXPECT_EQ(-1, rep.compact_ms);
    EXPECT_EQ(STATE_RETRY_MS, state_tick(10));
    state_tick(STATE_RETRY_MS);
    state_report(&rep);
    EXPECT_EQ(2, rep.write_errors);
    state_close(STATE_RETRY_MS + 1);
}

} // namespace
