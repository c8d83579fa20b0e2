// The relay's routing rules, in process: no sockets, datagrams in and out as bytes.
#include "server/relay.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

const NetAddr kAlice = {0x7F000001u, 4001};
const NetAddr kBob = {0x7F000001u, 4002};
const NetAddr kCarol = {0x7F000001u, 4003};

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
    void SetUp() override { relay_reset(); }
    RelayOutcome handle(int len, const NetAddr& from, long long now = 100) {
        return relay_handle(buf, len, &from, now, out, &n);
    }
    std::string write_file(const char* text) {
        std::string path = ::testing::TempDir() + "keltup_users_test.txt";
        FILE* f = std::fopen(path.c_str(), "w");
        std::fputs(text, f);
        std::fclose(f);
        return path;
    }
};

TEST_F(Relay, IgnoresWhatIsNotAClientMessage) {
    relay_pin("BOB", &kBob);
    int len = message(buf, "ALICE", "BOB", "x", 1);
    EXPECT_EQ(RELAY_IGNORED, relay_handle(buf, HEADER_SIZE - 1, &kAlice, 1, out, &n));
    EXPECT_EQ(RELAY_IGNORED, relay_handle(buf, RECORD_SIZE + 1, &kAlice, 1, out, &n));
    EXPECT_EQ(RELAY_IGNORED, relay_handle(buf, 5000, &kAlice, 1, out, &n));
    std::memcpy(buf, "kt1", 3);
    EXPECT_EQ(RELAY_IGNORED, handle(len, kAlice));
    for (char kind : {'R', 'A', 'G', 'X'}) {
        message(buf, "ALICE", "BOB", "x", 1, kind);
        EXPECT_EQ(RELAY_IGNORED, handle(len, kAlice)) << kind;
        EXPECT_EQ(0, n);
    }
    // A datagram the relay itself sent never goes round again.
    message(buf, "ALICE", "BOB", "x", 1);
    std::memcpy(reinterpret_cast<Datagram*>(buf)->reserved, kRelayMark, sizeof kRelayMark);
    EXPECT_EQ(RELAY_IGNORED, handle(len, kAlice));
    EXPECT_EQ(0, n);
    EXPECT_EQ(9, relay_stats.ignored);
    EXPECT_EQ(nullptr, relay_find("ALICE")); // nothing learned from ignored datagrams
}

TEST_F(Relay, ForwardsOnlyCleanBoundedFields) {
    relay_pin("BOB", &kBob);
    // A bare header (no body, no NUL) is an empty message.
    message(buf, "ALICE", "BOB", "", 1);
    ASSERT_EQ(RELAY_DELIVERED, handle(HEADER_SIZE, kAlice));
    EXPECT_EQ(HEADER_SIZE + 1, out[0].len);
    EXPECT_STREQ("", rec(out[0])->body);

    // Bytes the client did not send are not forwarded: the rest of a short datagram reads as
    // zeros even though the buffer held something there.
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
    EXPECT_EQ(HEADER_SIZE + 4, out[0].len);
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

TEST_F(Relay, AResendGetsAReceiptButIsNotDeliveredAgain) {
    relay_pin("BOB", &kBob);
    int len = message(buf, "ALICE", "BOB", "once", 42);
    ASSERT_EQ(RELAY_DELIVERED, handle(len, kAlice, 1000000));
    EXPECT_EQ(RELAY_RESENT, handle(len, kAlice, 1001000));
    ASSERT_EQ(1, n);
    EXPECT_TRUE(net_equal(&out[0].to, &kAlice));
    EXPECT_EQ(KIND_RECEIPT, rec(out[0])->kind);
    EXPECT_EQ(42u, datagram_id(rec(out[0])));
    EXPECT_EQ(RELAY_RESENT, handle(len, kAlice, 1000000 + RELAY_RESEND_MS));

    // The same bytes from another address, another id or later on are new messages.
    EXPECT_EQ(RELAY_DELIVERED, handle(len, kCarol, 1002000));
    EXPECT_EQ(RELAY_DELIVERED, handle(message(buf, "ALICE", "BOB", "once", 43), kAlice, 1002000));
    len = message(buf, "ALICE", "BOB", "once", 42);
    EXPECT_EQ(RELAY_DELIVERED, handle(len, kAlice, 1000001 + RELAY_RESEND_MS));

    // An undeliverable message is not remembered: once its recipient is known it goes through.
    len = message(buf, "ALICE", "DAVE", "later", 5);
    EXPECT_EQ(RELAY_UNKNOWN, handle(len, kAlice, 2000));
    relay_pin("DAVE", &kCarol);
    EXPECT_EQ(RELAY_DELIVERED, handle(len, kAlice, 2001));
}

TEST_F(Relay, UnknownRecipientIsToldOnceTheSenderHasGivenUp) {
    EXPECT_EQ(-1, relay_next_notice(0));
    // Ten tries 200 ms apart: each one moves the notice later.
    int len = message(buf, "ALICE", "BOB", "anyone?", 9);
    for (int t = 0; t < 2000; t += 200)
        EXPECT_EQ(RELAY_UNKNOWN, handle(len, kAlice, t));
    EXPECT_EQ(RELAY_NOTICE_DELAY_MS, relay_next_notice(1800));
    EXPECT_EQ(0, relay_due_notice(1800 + RELAY_NOTICE_DELAY_MS - 1, &out[0]));
    ASSERT_EQ(1, relay_due_notice(1800 + RELAY_NOTICE_DELAY_MS, &out[0]));
    EXPECT_TRUE(net_equal(&out[0].to, &kAlice));
    EXPECT_EQ(KIND_NOTICE, rec(out[0])->kind);
    EXPECT_EQ(0, std::memcmp(rec(out[0])->magic, "KT1", 3));
    EXPECT_NE(nullptr, std::strstr(rec(out[0])->body, "BOB")) << rec(out[0])->body;
    EXPECT_EQ(HEADER_SIZE + 1 + static_cast<int>(std::strlen(rec(out[0])->body)), out[0].len);
    EXPECT_EQ(0, relay_due_notice(100000, &out[0])); // once only
    EXPECT_EQ(-1, relay_next_notice(100000));

    // Senders and nicknames are told apart; a missing recipient gets its own wording; a notice
    // is given up when a later message to that nickname goes through.
    handle(message(buf, "ALICE", "BOB", "x", 1), kAlice, 0);
    handle(message(buf, "ALICE", "DAVE", "x", 2), kAlice, 0);
    handle(message(buf, "CAROL", "", "x", 3), kCarol, 0);
    handle(message(buf, "CAROL", "dave", "x", 4), kCarol, 0);
    relay_pin("DAVE", &kBob);
    EXPECT_EQ(RELAY_DELIVERED, handle(message(buf, "ALICE", "Dave", "x", 5), kAlice, 10));
    std::string told;
    while (relay_due_notice(RELAY_NOTICE_DELAY_MS, &out[0]))
        told += std::to_string(out[0].to.port) + ":" + rec(out[0])->body + "\n";
    EXPECT_NE(std::string::npos, told.find("4001:Nobody called BOB ")) << told;
    EXPECT_EQ(std::string::npos, told.find("4001:Nobody called DAVE ")) << told;
    EXPECT_NE(std::string::npos, told.find("4003:Nobody called dave ")) << told;
    EXPECT_NE(std::string::npos, told.find("4003:A message without a recipient")) << told;
    EXPECT_EQ(4, relay_stats.notices);

    // A full table gives up the notice due first.
    char nick[NICK_SIZE];
    for (int i = 0; i <= RELAY_NOTICES; ++i) {
        std::snprintf(nick, sizeof nick, "GHOST%d", i);
        handle(message(buf, "ALICE", nick, "x", 5), kAlice, 10000 + i);
    }
    told.clear();
    int count = 0;
    while (relay_due_notice(20000, &out[0])) {
        told += rec(out[0])->body;
        ++count;
    }
    EXPECT_EQ(RELAY_NOTICES, count);
    EXPECT_EQ(std::string::npos, told.find("GHOST0 ")) << told;
    EXPECT_NE(std::string::npos, told.find("GHOST64 ")) << told;
}

TEST_F(Relay, LearnedUsersMoveListedOnesStayAndTheTableEvictsTheOldestLearned) {
    // A learned user moves with its traffic; a listed one does not.
    handle(message(buf, "ALICE", "NOBODY", "", 1), kAlice);
    handle(message(buf, "alice", "NOBODY", "", 2), kCarol);
    EXPECT_TRUE(net_equal(&relay_find("ALICE")->addr, &kCarol));
    relay_pin("BOB", &kBob);
    EXPECT_EQ(RELAY_UNKNOWN, handle(message(buf, "bob", "NOBODY", "spoof", 1), kCarol));
    EXPECT_TRUE(net_equal(&relay_find("BOB")->addr, &kBob));
    EXPECT_FALSE(relay_pin("", &kBob) || relay_pin("TWENTY-CHARACTERS-XX", &kBob));

    // Fill the table with learned users heard from at increasing times, then one more.
    char name[NICK_SIZE];
    for (int i = 1; i < RELAY_MAX_USERS - 1; ++i) {
        std::snprintf(name, sizeof name, "U%d", i);
        NetAddr a = {0x7F000001u, static_cast<uint16_t>(10000 + i)};
        relay_handle(buf, message(buf, name, "NOBODY", "", 1), &a, 10 + i, out, &n);
    }
    EXPECT_EQ(RELAY_MAX_USERS, relay_user_count());
    relay_handle(buf, message(buf, "NEWCOMER", "NOBODY", "", 1), &kAlice, 5000, out, &n);
    EXPECT_EQ(RELAY_MAX_USERS, relay_user_count());
    EXPECT_NE(nullptr, relay_find("NEWCOMER"));
    EXPECT_EQ(nullptr, relay_find("U1"));
    EXPECT_NE(nullptr, relay_find("U2"));
    EXPECT_NE(nullptr, relay_find("BOB")); // listed users are never evicted
}

TEST_F(Relay, UsersFileIsCheckedWholeBeforeAnythingChanges) {
    std::string path = write_file("# comment\n\n  ALICE 127.0.0.1 4001  # trailing\n"
                                  "bob\t127.0.0.1\t4002\n");
    char err[256] = "";
    ASSERT_EQ(2, relay_users_load(path.c_str(), err, sizeof err)) << err;
    EXPECT_TRUE(net_equal(&relay_find("alice")->addr, &kAlice));
    EXPECT_TRUE(net_equal(&relay_find("BOB")->addr, &kBob));

    const char* bad[] = {
        "CAROL 127.0.0.1 4003\nDAVE 127.0.0.1\n",                      // missing port
        "CAROL 127.0.0.1 4003\nDAVE 127.0.0.1 0\n",                    // port out of range
        "CAROL 127.0.0.1 4003\nDAVE 127.0.0.1 65536\n",                // port out of range
        "CAROL 127.0.0.1 4003\nDAVE 127.0.0.1 12ab\n",                 // not a number
        "CAROL 127.0.0.1 4003\nDAVE 127.0.0.1 4004 x\n",               // extra field
        "CAROL 127.0.0.1 4003\ncarol 127.0.0.1 4004\n",                // listed twice
        "CAROL 127.0.0.1 4003\nABCDEFGHIJKLMNOPQRST 127.0.0.1 4004\n", // 20 characters
    };
    for (const char* text : bad) {
        err[0] = '\0';
        EXPECT_EQ(-1, relay_users_load(write_file(text).c_str(), err, sizeof err)) << text;
        EXPECT_NE(nullptr, std::strstr(err, ":2:")) << err;
        EXPECT_EQ(nullptr, relay_find("CAROL")) << text;
        EXPECT_NE(nullptr, relay_find("ALICE"));
    }
    EXPECT_EQ(-1, relay_users_load("/nonexistent/keltup-users", err, sizeof err));

    // Reading again unlists users no longer in the file: they become ordinary, learnable users.
    ASSERT_EQ(1, relay_users_load(write_file("ALICE 127.0.0.1 4001\n").c_str(), err, sizeof err));
    EXPECT_FALSE(relay_find("BOB")->pinned);
    EXPECT_TRUE(relay_find("ALICE")->pinned);
    handle(message(buf, "BOB", "ALICE", "", 1), kCarol);
    EXPECT_TRUE(net_equal(&relay_find("BOB")->addr, &kCarol));

    // The shipped example reads.
    EXPECT_EQ(2, relay_users_load(KELTUP_USERS_EXAMPLE, err, sizeof err)) << err;
}

} // namespace
