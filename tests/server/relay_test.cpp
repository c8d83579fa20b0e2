// The relay's routing rules, in process: no sockets, datagrams in and out as bytes.
#include "server/relay.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <unistd.h>
#include <string>

namespace {

const NetAddr kAlice = {0x7F000001u, 4001};
const NetAddr kBob = {0x7F000001u, 4002};
const NetAddr kCarol = {0x7F000001u, 4003};
const NetAddr kFar = {0xC0000207u, 4004}; // 192.0.2.7: only ever a value here, never sent to

// A client's message: header, body and its NUL, as the client puts it on the wire.
int message(char* buf, const char* from, const char* to, const char* body, unsigned id,
            char kind = KIND_MESSAGE) {
    std::memset(buf, 0, RECORD_SIZE + 1);
    Datagram* d = reinterpret_cast<Datagram*>(buf);
    std::memcpy(d->magic, "KT1", 3);
    d->kind = kind;
    d->id[0] = static_cast<unsigned char>(id & 0xFF);
    d->id[1] = static_cast<unsigned char>(id >> 8);
    std::strncpy(d->sender, from, NICK_SIZE);
    std::strncpy(d->recipient, to, NICK_SIZE);
    std::strncpy(d->body, body, BODY_SIZE);
    return HEADER_SIZE + static_cast<int>(std::strlen(body)) + 1;
}

const Datagram* rec(const RelayOut& o) {
    return reinterpret_cast<const Datagram*>(o.data);
}

struct Relay : ::testing::Test {
    char buf[RECORD_SIZE + 1];
    RelayOut out[2];
    int n = -1;
    void SetUp() override {
        relay_config.log_level = LOG_QUIET;
        relay_config.lease_ms = 600000;
        relay_config.rate = 0;
        relay_reset();
    }
    RelayOutcome handle(int len, const NetAddr& from, long long now = 100) {
        return relay_handle(buf, len, &from, now, out, &n);
    }
    // Bytes of this round's output addressed to `to`.
    int bytes_to(const NetAddr& to) {
        int sum = 0;
        for (int i = 0; i < n; ++i)
            if (net_equal(&out[i].to, &to)) sum += out[i].len;
        return sum;
    }
    std::string write_file(const char* text) {
        std::string path = ::testing::TempDir() + "keltup_users_test_" + std::to_string(getpid());
        FILE* f = std::fopen(path.c_str(), "w");
        std::fputs(text, f);
        std::fclose(f);
        return path;
    }
};

TEST_F(Relay, DropsAndCountsEveryMalformedClass) {
    relay_pin("BOB", &kBob);
    int len = message(buf, "ALICE", "BOB", "x", 1);
    EXPECT_EQ(RELAY_DROPPED, relay_handle(buf, 0, &kAlice, 1, out, &n));
    EXPECT_EQ(RELAY_DROPPED, relay_handle(buf, HEADER_SIZE - 1, &kAlice, 1, out, &n));
    EXPECT_EQ(DROP_SHORT, relay_last_drop());
    EXPECT_EQ(RELAY_DROPPED, relay_handle(buf, RECORD_SIZE + 1, &kAlice, 1, out, &n));
    EXPECT_EQ(RELAY_DROPPED, relay_handle(buf, 65000, &kAlice, 1, out, &n));
    EXPECT_EQ(DROP_OVERSIZED, relay_last_drop());
    std::memcpy(buf, "kt1", 3);
    EXPECT_EQ(RELAY_DROPPED, handle(len, kAlice));
    EXPECT_EQ(DROP_FOREIGN, relay_last_drop());
    for (char kind : {'R', 'A', 'G', 'X', '\0'}) {
        message(buf, "ALICE", "BOB", "x", 1, kind);
        EXPECT_EQ(RELAY_DROPPED, handle(len, kAlice)) << kind;
        EXPECT_EQ(DROP_KIND, relay_last_drop());
    }
    // A datagram the relay itself sent never goes round again.
    message(buf, "ALICE", "BOB", "x", 1);
    std::memcpy(reinterpret_cast<Datagram*>(buf)->reserved, kRelayMark, sizeof kRelayMark);
    EXPECT_EQ(RELAY_DROPPED, handle(len, kAlice));
    EXPECT_EQ(DROP_LOOP, relay_last_drop());
    // Control datagrams are no longer taken over UDP, from loopback or elsewhere.
    for (const NetAddr& from : {kFar, kAlice, kCarol}) {
        len = message(buf, "", "", "take over", 7, KIND_CONTROL);
        EXPECT_EQ(RELAY_DROPPED, handle(len, from));
        EXPECT_EQ(DROP_CONTROL, relay_last_drop());
    }
    EXPECT_EQ(0, n);

    EXPECT_EQ(2, relay_stats.dropped[DROP_SHORT]);
    EXPECT_EQ(2, relay_stats.dropped[DROP_OVERSIZED]);
    EXPECT_EQ(1, relay_stats.dropped[DROP_FOREIGN]);
    EXPECT_EQ(5, relay_stats.dropped[DROP_KIND]);
    EXPECT_EQ(1, relay_stats.dropped[DROP_LOOP]);
    EXPECT_EQ(3, relay_stats.dropped[DROP_CONTROL]);
    EXPECT_EQ(14, relay_dropped_total());
    EXPECT_EQ(nullptr, relay_find("ALICE")); // nothing learned from dropped datagrams
    EXPECT_EQ(0, relay_stats.notices);
}

TEST_F(Relay, ForwardsOnlyCleanBoundedFields) {
    relay_pin("BOB", &kBob);
    // A bare header (no body, no NUL) is an empty message.
    message(buf, "ALICE", "BOB", "", 1);
    ASSERT_EQ(RELAY_DELIVERED, handle(HEADER_SIZE, kAlice));
    ASSERT_EQ(2, n);
    EXPECT_TRUE(net_equal(&out[0].to, &kBob));
    EXPECT_EQ(HEADER_SIZE + 1, out[0].len);
    EXPECT_STREQ("", rec(out[0])->body);
    EXPECT_TRUE(net_equal(&out[1].to, &kAlice));
    EXPECT_EQ(KIND_RECEIPT, rec(out[1])->kind);
    EXPECT_EQ(1u, datagram_id(rec(out[1])));

    // Bytes the client did not send are not forwarded, even though the buffer held them.
    message(buf, "ALICE", "BOB", "abcdef", 2);
    ASSERT_EQ(RELAY_DELIVERED, handle(HEADER_SIZE + 3, kAlice));
    EXPECT_STREQ("abc", rec(out[0])->body);
    EXPECT_EQ(HEADER_SIZE + 4, out[0].len);

    // Unterminated nicknames end inside their field; a byte of 0x80 and above ends the body;
    // whatever the sender put in the reserved field is not passed on.
    message(buf, "ALICE", "BOB", "caf\xE9 au lait", 3);
    Datagram* d = reinterpret_cast<Datagram*>(buf);
    std::memset(d->sender, 'A', NICK_SIZE);
    std::memset(d->reserved, 0x55, sizeof d->reserved);
    ASSERT_EQ(RELAY_DELIVERED, handle(HEADER_SIZE + 14, kAlice));
    EXPECT_EQ(std::string(NICK_SIZE - 1, 'A'), rec(out[0])->sender);
    EXPECT_STREQ("caf", rec(out[0])->body);
    EXPECT_EQ(0, std::memcmp(rec(out[0])->reserved, kRelayMark, sizeof kRelayMark));
    for (size_t i = sizeof kRelayMark; i < sizeof d->reserved; ++i)
        EXPECT_EQ(0, rec(out[0])->reserved[i]);

    // A full record without any NUL: 999 characters go out, the last byte is the terminator.
    message(buf, "ALICE", "BOB", "", 4);
    std::memset(d->body, 'z', BODY_SIZE);
    ASSERT_EQ(RELAY_DELIVERED, handle(RECORD_SIZE, kAlice));
    EXPECT_EQ(RECORD_SIZE, out[0].len);
    EXPECT_EQ(BODY_SIZE - 1, static_cast<int>(std::strlen(rec(out[0])->body)));
}

TEST_F(Relay, ResendsAreAnsweredButHandledOnce) {
    relay_pin("BOB", &kBob);
    int len = message(buf, "ALICE", "BOB", "once", 42);
    ASSERT_EQ(RELAY_DELIVERED, handle(len, kAlice, 1000000));
    for (int t = 1; t < 10; ++t) {
        EXPECT_EQ(RELAY_RESENT, handle(len, kAlice, 1000000 + 200 * t));
        ASSERT_EQ(1, n);
        EXPECT_TRUE(net_equal(&out[0].to, &kAlice));
        EXPECT_EQ(KIND_RECEIPT, rec(out[0])->kind);
        EXPECT_EQ(42u, datagram_id(rec(out[0])));
    }
    EXPECT_EQ(RELAY_RESENT, handle(len, kAlice, 1000000 + RELAY_RESEND_MS));
    // The same bytes from another address, another id or later on are new messages.
    EXPECT_EQ(RELAY_DELIVERED, handle(len, kCarol, 1002000));
    EXPECT_EQ(RELAY_DELIVERED, handle(message(buf, "ALICE", "BOB", "once", 43), kAlice, 1002000));
    len = message(buf, "ALICE", "BOB", "once", 42);
    EXPECT_EQ(RELAY_DELIVERED, handle(len, kAlice, 1000001 + RELAY_RESEND_MS));
    EXPECT_EQ(4, relay_stats.delivered);
    EXPECT_EQ(10, relay_stats.resent);

    // Many messages in between do not make a recent one look new.
    len = message(buf, "ALICE", "BOB", "kept", 99);
    ASSERT_EQ(RELAY_DELIVERED, handle(len, kAlice, 2000000));
    char body[32];
    for (int i = 0; i < 400; ++i) {
        std::snprintf(body, sizeof body, "other %d", i);
        handle(message(buf, "CAROL", "BOB", body, static_cast<unsigned>(i)), kCarol, 2000001);
    }
    EXPECT_EQ(RELAY_RESENT, handle(message(buf, "ALICE", "BOB", "kept", 99), kAlice, 2000002));
}

TEST_F(Relay, UnknownRecipientGetsReceiptThenNoticeOnce) {
    int len = message(buf, "ALICE", "BOB", "anyone?", 9);
    ASSERT_EQ(RELAY_UNKNOWN, handle(len, kAlice, 0));
    ASSERT_EQ(2, n);
    EXPECT_EQ(KIND_RECEIPT, rec(out[0])->kind);
    EXPECT_EQ(9u, datagram_id(rec(out[0])));
    EXPECT_EQ(KIND_NOTICE, rec(out[1])->kind);
    EXPECT_TRUE(net_equal(&out[0].to, &kAlice));
    EXPECT_TRUE(net_equal(&out[1].to, &kAlice));
    EXPECT_STREQ("Nobody called BOB is known to the server.", rec(out[1])->body);
    EXPECT_EQ(HEADER_SIZE + 1 + static_cast<int>(std::strlen(rec(out[1])->body)), out[1].len);
    // The client's resends: receipts only.
    for (int t = 200; t < 2000; t += 200) {
        EXPECT_EQ(RELAY_RESENT, handle(len, kAlice, t));
        ASSERT_EQ(1, n);
        EXPECT_EQ(KIND_RECEIPT, rec(out[0])->kind);
    }
    handle(message(buf, "CAROL", "", "x", 3), kCarol, 0);
    ASSERT_EQ(2, n);
    EXPECT_STREQ("A message without a recipient cannot be delivered.", rec(out[1])->body);
    EXPECT_EQ(2, relay_stats.unknown);
}

TEST_F(Relay, WhatGoesBackToASourceIsAtMostThreeTimesWhatItSent) {
    const char* recipients[] = {"", "X", "ABCDEFGHIJKLMNOPQRS", "SELF"};
    for (const char* to : recipients) {
        for (int len = HEADER_SIZE; len <= RECORD_SIZE; len += 50) {
            relay_reset();
            relay_pin("SELF", &kAlice);
            message(buf, "ABCDEFGHIJKLMNOPQRS", to, "", 5);
            std::memset(reinterpret_cast<Datagram*>(buf)->body, 'b', BODY_SIZE);
            for (int again = 0; again < 2; ++again) {
                RelayOutcome what = handle(len, kAlice);
                EXPECT_NE(RELAY_DROPPED, what);
                EXPECT_LE(bytes_to(kAlice), RELAY_AMPLIFICATION * len) << to << " " << len;
            }
        }
    }
    // The smallest datagram still brings receipt and the whole notice.
    relay_reset();
    ASSERT_EQ(RELAY_UNKNOWN,
              handle(message(buf, "ALICE", "ABCDEFGHIJKLMNOPQRS", "", 5) - 1, kAlice));
    ASSERT_EQ(2, n);
    EXPECT_LE(out[0].len + out[1].len, 3 * HEADER_SIZE);
    EXPECT_NE(nullptr, std::strstr(rec(out[1])->body, "ABCDEFGHIJKLMNOPQRS"));
}

TEST_F(Relay, NicknamesAreLeasedListedOnesNeverMove) {
    relay_pin("BOB", &kBob);
    // Alice takes her nickname with her first message; Carol's message under it is relayed but
    // the nickname stays with Alice while her lease runs.
    handle(message(buf, "ALICE", "BOB", "hi", 1), kAlice, 1000);
    ASSERT_EQ(RELAY_DELIVERED, handle(message(buf, "alice", "BOB", "spoof", 2), kCarol, 2000));
    EXPECT_TRUE(net_equal(&out[1].to, &kCarol)); // the receipt to its source
    EXPECT_TRUE(net_equal(&relay_find("ALICE")->addr, &kAlice));
    EXPECT_EQ(1, relay_stats.lease_refused);
    // Alice's own traffic renews her lease; Carol's does not.
    handle(message(buf, "ALICE", "BOB", "still here", 3), kAlice, 500000);
    handle(message(buf, "ALICE", "BOB", "mine now?", 4), kCarol, 1000000);
    EXPECT_TRUE(net_equal(&relay_find("ALICE")->addr, &kAlice));
    // Silent for the whole lease: the nickname moves.
    handle(message(buf, "ALICE", "BOB", "moved", 5), kCarol, 500000 + relay_config.lease_ms);
    EXPECT_TRUE(net_equal(&relay_find("ALICE")->addr, &kCarol));
    // A listed nickname never moves, however long it was silent.
    handle(message(buf, "BOB", "ALICE", "spoof", 6), kCarol, 100000000);
    EXPECT_TRUE(net_equal(&relay_find("BOB")->addr, &kBob));
    EXPECT_EQ(3, relay_stats.lease_refused);
    EXPECT_FALSE(relay_pin("", &kBob) || relay_pin("TWENTY-CHARACTERS-XX", &kBob) ||
                 relay_pin("A B", &kBob));
}

TEST_F(Relay, TheDirectoryIsBoundedAndEvictsTheOldestLearned) {
    relay_pin("BOB", &kBob);
    char name[NICK_SIZE];
    for (int i = 1; i < RELAY_MAX_USERS; ++i) {
        std::snprintf(name, sizeof name, "U%d", i);
        NetAddr a = {0x7F000001u, static_cast<uint16_t>(10000 + i)};
        relay_handle(buf, message(buf, name, "NOBODY", "", 1), &a, 10 + i, out, &n);
    }
    EXPECT_EQ(RELAY_MAX_USERS, relay_user_count());
    for (int i = 0; i < 3; ++i) {
        std::snprintf(name, sizeof name, "NEW%d", i);
        relay_handle(buf, message(buf, name, "NOBODY", "", 1), &kAlice, 5000 + i, out, &n);
    }
    EXPECT_EQ(RELAY_MAX_USERS, relay_user_count());
    EXPECT_NE(nullptr, relay_find("new2"));
    EXPECT_EQ(nullptr, relay_find("U1"));
    EXPECT_EQ(nullptr, relay_find("U3"));
    EXPECT_NE(nullptr, relay_find("U4"));
    EXPECT_NE(nullptr, relay_find("BOB")); // listed users are never evicted
    // Every one left is still found by name.
    for (int i = 4; i < RELAY_MAX_USERS; ++i) {
        std::snprintf(name, sizeof name, "u%d", i);
        ASSERT_NE(nullptr, relay_find(name)) << name;
        EXPECT_EQ(10000 + i, relay_find(name)->addr.port);
    }
}

TEST_F(Relay, AFloodingSourceIsLimitedAndOthersAreNot) {
    relay_config.rate = 5;
    relay_config.burst = 10;
    relay_pin("BOB", &kBob);
    char body[16];
    int passed = 0;
    for (int i = 0; i < 100; ++i) {
        std::snprintf(body, sizeof body, "%d", i);
        if (handle(message(buf, "FLOOD", "BOB", body, 1), kCarol, 1000) != RELAY_DROPPED) ++passed;
    }
    EXPECT_EQ(10, passed);
    EXPECT_EQ(90, relay_stats.dropped[DROP_RATE]);
    EXPECT_EQ(RELAY_DELIVERED, handle(message(buf, "ALICE", "BOB", "hi", 1), kAlice, 1000));
    // A second later five more tokens.
    passed = 0;
    for (int i = 0; i < 20; ++i) {
        std::snprintf(body, sizeof body, "late %d", i);
        if (handle(message(buf, "FLOOD", "BOB", body, 1), kCarol, 2000) != RELAY_DROPPED) ++passed;
    }
    EXPECT_EQ(5, passed);
    // Junk counts against the bucket too, and the source table stays bounded: many addresses
    // each start with a full bucket.
    for (int i = 0; i < 3 * RELAY_SOURCE_SETS * RELAY_SOURCE_WAYS; ++i) {
        NetAddr a = {0x0A000000u + static_cast<unsigned>(i), 5000};
        EXPECT_EQ(RELAY_DROPPED, relay_handle(buf, 3, &a, 3000, out, &n));
        ASSERT_EQ(DROP_SHORT, relay_last_drop());
    }
}

TEST_F(Relay, OperatorNoticesReachOneOrAll) {
    relay_pin("BOB", &kBob);
    handle(message(buf, "ALICE", "BOB", "hi", 1), kAlice);
    char line[200];
    EXPECT_EQ(1, relay_operator_notice("bob", "Server restarts at noon.", line, sizeof line));
    EXPECT_STREQ("Notice sent to bob.", line);
    RelayOut notice;
    ASSERT_EQ(1, relay_notice_next(&notice));
    EXPECT_TRUE(net_equal(&notice.to, &kBob));
    EXPECT_EQ(KIND_NOTICE, rec(notice)->kind);
    EXPECT_STREQ("Server restarts at noon.", rec(notice)->body);
    EXPECT_EQ(HEADER_SIZE + 25, notice.len);
    EXPECT_EQ(0, relay_notice_next(&notice));

    EXPECT_EQ(0, relay_operator_notice("NOBODY", "x", line, sizeof line));
    EXPECT_NE(nullptr, std::strstr(line, "NOBODY"));
    EXPECT_EQ(0, relay_notice_next(&notice));

    EXPECT_EQ(2, relay_operator_notice(nullptr, "To everyone.", line, sizeof line));
    EXPECT_STREQ("Notice sent to 2 nicknames.", line);
    std::string to;
    while (relay_notice_next(&notice)) {
        EXPECT_STREQ("To everyone.", rec(notice)->body);
        to += std::to_string(notice.to.port) + " ";
    }
    EXPECT_EQ("4002 4001 ", to);
    EXPECT_EQ(3, relay_stats.notices);
}

TEST_F(Relay, UsersFileIsCheckedWholeBeforeAnythingChanges) {
    std::string path = write_file("# comment\n\n  ALICE = 127.0.0.1:4001  # trailing\n"
                                  "bob\t=\t127.0.0.1:4002\nCAROL=127.0.0.1\n");
    char err[256] = "";
    ASSERT_EQ(3, relay_users_load(path.c_str(), err, sizeof err)) << err;
    EXPECT_TRUE(net_equal(&relay_find("alice")->addr, &kAlice));
    EXPECT_TRUE(net_equal(&relay_find("BOB")->addr, &kBob));
    EXPECT_EQ(RELAY_DEFAULT_PORT, relay_find("CAROL")->addr.port);

    const char* bad[] = {
        "DAVE = 127.0.0.1:4003\nERIN 127.0.0.1 4004\n",              // the old form
        "DAVE = 127.0.0.1:4003\nERIN = 127.0.0.1:0\n",               // port out of range
        "DAVE = 127.0.0.1:4003\nERIN = 127.0.0.1:65536\n",           // port out of range
        "DAVE = 127.0.0.1:4003\nERIN = 127.0.0.1:12ab\n",            // not a number
        "DAVE = 127.0.0.1:4003\nERIN = 127.0.0.1:\n",                // no port after the colon
        "DAVE = 127.0.0.1:4003\nERIN = 127.0.0.1 x\n",               // two hosts
        "DAVE = 127.0.0.1:4003\nERIN =\n",                           // no host
        "DAVE = 127.0.0.1:4003\ndave = 127.0.0.1:4004\n",            // listed twice
        "DAVE = 127.0.0.1:4003\nABCDEFGHIJKLMNOPQRST = 127.0.0.1\n", // 20 characters
        "DAVE = 127.0.0.1:4003\nER IN = 127.0.0.1\n",                // a space in the nickname
    };
    for (const char* text : bad) {
        err[0] = '\0';
        EXPECT_EQ(-1, relay_users_load(write_file(text).c_str(), err, sizeof err)) << text;
        EXPECT_NE(nullptr, std::strstr(err, ":2:")) << err;
        EXPECT_EQ(nullptr, relay_find("DAVE")) << text;
        EXPECT_NE(nullptr, relay_find("ALICE"));
    }
    EXPECT_EQ(-1, relay_users_load("/nonexistent/keltup-users", err, sizeof err));

    // Reading again unlists users no longer in the file: they become ordinary, learnable users.
    ASSERT_EQ(1, relay_users_load(write_file("ALICE = 127.0.0.1:4001\n").c_str(), err, sizeof err));
    EXPECT_FALSE(relay_find("BOB")->pinned);
    EXPECT_TRUE(relay_find("ALICE")->pinned);
    std::remove(path.c_str());

    // The shipped example reads.
    EXPECT_LT(0, relay_users_load(KELTUP_USERS_EXAMPLE, err, sizeof err)) << err;
}

} // namespace
