// The relay's routing rules, in process: no sockets, datagrams in and out as bytes.
#include "server/relay.h"
#include "server/report.h"

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

// Up to size bytes of text into a zeroed field, with no NUL when it fills it.
void put(char* field, const char* text, size_t size) {
    std::memcpy(field, text, strnlen(text, size));
}

// A client's message: header, body and its NUL, as the client puts it on the wire.
int message(char* buf, const char* from, const char* to, const char* body, unsigned id,
            char kind = KIND_MESSAGE) {
    std::memset(buf, 0, RECORD_SIZE + 1);
    Datagram* d = reinterpret_cast<Datagram*>(buf);
    std::memcpy(d->magic, "KT1", 3);
    d->kind = kind;
    d->id[0] = static_cast<unsigned char>(id & 0xFF);
    d->id[1] = static_cast<unsigned char>(id >> 8);
    put(d->sender, from, NICK_SIZE);
    put(d->recipient, to, NICK_SIZE);
    put(d->body, body, BODY_SIZE);
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
        relay_config.max_users = 256;
        relay_config.max_per_address = 1000;
        relay_reset();
    }
    // The directory and resend memory made for `users` slots.
    void resize(int users, int per_address = 1000) {
        relay_config.max_users = users;
        relay_config.max_per_address = per_address;
        relay_reset();
    }
    RelayOutcome handle(int len, const NetAddr& from, long long now = 100) {
        return relay_handle(buf, len, &from, now, out, &n);
    }
    RelayOutcome send(const char* from, const char* to, const char* body, unsigned id,
                      const NetAddr& addr, long long now) {
        return handle(message(buf, from, to, body, id), addr, now);
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

TEST_F(Relay, ResendsAreKnownByTheWholeMessageNotItsHash) {
    // A small memory, so that many records share each chain of its index.
    resize(4);
    relay_pin("BOB", &kBob);
    relay_pin("CAROL", &kCarol);
    char body[32];
    for (int i = 0; i < 40; ++i) {
        std::snprintf(body, sizeof body, "body %d", i);
        ASSERT_EQ(RELAY_DELIVERED, send("ALICE", "BOB", body, 7, kAlice, 1000)) << i;
    }
    // Same source, id and body, another recipient or sender: new messages.
    EXPECT_EQ(RELAY_DELIVERED, send("ALICE", "CAROL", "body 3", 7, kAlice, 1000));
    EXPECT_EQ(RELAY_DELIVERED, send("ALICE2", "BOB", "body 3", 7, kAlice, 1000));
    // A body that only differs past the 8 bytes hashed at a time, or in its length.
    EXPECT_EQ(RELAY_DELIVERED, send("ALICE", "BOB", "body 3 ", 7, kAlice, 1000));
    EXPECT_EQ(RELAY_DELIVERED, send("ALICE", "BOB", "body", 7, kAlice, 1000));
    for (int i = 0; i < 40; ++i) {
        std::snprintf(body, sizeof body, "body %d", i);
        ASSERT_EQ(RELAY_RESENT, send("ALICE", "BOB", body, 7, kAlice, 1200)) << i;
    }
    EXPECT_EQ(44, relay_stats.delivered);
    EXPECT_EQ(40, relay_stats.resent);
    EXPECT_EQ(0, relay_stats.resend_memory_full);
    // What the forward leaves out does not make a copy new: the reserved field, bytes past the
    // text's end.
    int len = message(buf, "ALICE", "BOB", "body 5", 7);
    std::memset(reinterpret_cast<Datagram*>(buf)->reserved + 8, 0x41, 4);
    EXPECT_EQ(RELAY_RESENT, handle(len + 5, kAlice, 1400));
}

TEST_F(Relay, AFullResendMemoryDeliversAndKeepsItsYoungEntries) {
    resize(4); // 4 KiB of records: a few dozen messages
    relay_pin("BOB", &kBob);
    char body[64];
    for (int i = 0; i < 200; ++i) {
        std::snprintf(body, sizeof body, "message %d of a burst", i);
        ASSERT_EQ(RELAY_DELIVERED,
                  send("ALICE", "BOB", body, static_cast<unsigned>(i), kAlice, 10000 + i))
            << i;
    }
    EXPECT_EQ(200, relay_stats.delivered);
    long long unremembered = relay_stats.resend_memory_full;
    EXPECT_LT(100, unremembered);
    // The first ones stayed: their resends within the window are still known.
    EXPECT_EQ(RELAY_RESENT,
              send("ALICE", "BOB", "message 0 of a burst", 0, kAlice, 10000 + RELAY_RESEND_MS));
    // Past the window the old entries make room again.
    const long long later = 10200 + RELAY_RESEND_MS;
    ASSERT_EQ(RELAY_DELIVERED, send("ALICE", "BOB", "after the burst", 1, kAlice, later));
    EXPECT_EQ(RELAY_RESENT, send("ALICE", "BOB", "after the burst", 1, kAlice, later + 200));
    EXPECT_EQ(unremembered, relay_stats.resend_memory_full);
    // Many rounds over the whole ring: records of every length wrap around its end.
    for (int i = 0; i < 2000; ++i) {
        std::snprintf(body, sizeof body, "%.*s", 1 + i % 60,
                      "wrap wrap wrap wrap wrap wrap wrap "
                      "wrap wrap wrap wrap wrap wrap wrap");
        long long t = later + 10000LL * (i + 1);
        ASSERT_EQ(RELAY_DELIVERED, send("ALICE", "BOB", body, 9, kAlice, t)) << i;
        ASSERT_EQ(RELAY_RESENT, send("ALICE", "BOB", body, 9, kAlice, t + 1800)) << i;
    }
}

TEST_F(Relay, ANicknameHeldByAnotherHostIsNotRelayed) {
    relay_pin("BOB", &kBob);
    send("ALICE", "BOB", "hi", 1, kAlice, 1000);
    // From another host: a notice to the source, no receipt, nothing to Bob; its resends get
    // nothing at all.
    int len = message(buf, "ALICE", "BOB", "it is me, honest", 2);
    ASSERT_EQ(RELAY_REFUSED, handle(len, kFar, 2000));
    ASSERT_EQ(1, n);
    EXPECT_TRUE(net_equal(&out[0].to, &kFar));
    EXPECT_EQ(KIND_NOTICE, rec(out[0])->kind);
    EXPECT_STREQ("ALICE is in use from another address; your messages are not delivered.",
                 rec(out[0])->body);
    for (int t = 1; t < 10; ++t) {
        EXPECT_EQ(RELAY_REFUSED, handle(len, kFar, 2000 + 200 * t));
        EXPECT_EQ(0, n);
    }
    EXPECT_EQ(1, relay_stats.impersonation_refused);
    EXPECT_EQ(0, relay_stats.resent);
    EXPECT_EQ(1, relay_stats.delivered);
    EXPECT_TRUE(net_equal(&relay_find("ALICE")->addr, &kAlice));
    // A listed nickname the same; the notice for the smallest message under the longest
    // nickname stays within the bound on what goes back.
    relay_pin("ABCDEFGHIJKLMNOPQRS", &kBob);
    ASSERT_EQ(RELAY_REFUSED,
              handle(message(buf, "ABCDEFGHIJKLMNOPQRS", "BOB", "", 3) - 1, kFar, 3000));
    ASSERT_EQ(1, n);
    EXPECT_LE(out[0].len, RELAY_AMPLIFICATION * HEADER_SIZE);
    EXPECT_STREQ("ABCDEFGHIJKLMNOPQRS is in use from another address; your messages are not "
                 "delivered.",
                 rec(out[0])->body);
    // Another port of the holder's own host (keltup-send beside the tray client) is relayed and
    // does not move the nickname.
    EXPECT_EQ(RELAY_DELIVERED, send("ALICE", "BOB", "from a script", 4, kCarol, 4000));
    EXPECT_TRUE(net_equal(&relay_find("ALICE")->addr, &kAlice));
    EXPECT_EQ(1, relay_stats.lease_refused);
    // Once the lease has run out the other host may take the nickname.
    EXPECT_EQ(RELAY_DELIVERED,
              send("ALICE", "BOB", "mine now", 5, kFar, 4000 + relay_config.lease_ms));
    EXPECT_TRUE(net_equal(&relay_find("ALICE")->addr, &kFar));
    EXPECT_EQ(2, relay_stats.impersonation_refused);
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

// 127.0.0.1 at port 10000 + i.
const NetAddr& port_of(int i) {
    static NetAddr ports[100];
    ports[i] = NetAddr{0x7F000001u, static_cast<uint16_t>(10000 + i)};
    return ports[i];
}

TEST_F(Relay, AFullDirectoryReusesOnlyNicknamesWhoseLeaseRanOut) {
    resize(8);
    const long long lease = relay_config.lease_ms;
    relay_pin("BOB", &kBob);
    char name[NICK_SIZE];
    for (int i = 1; i < 8; ++i) {
        std::snprintf(name, sizeof name, "U%d", i);
        send(name, "NOBODY", "", 1, port_of(i), 1000 + i);
    }
    ASSERT_EQ(8, relay_user_count());
    // U1 only receives from now on; that keeps it known as sending would.
    EXPECT_EQ(RELAY_DELIVERED, send("U2", "U1", "for you", 2, port_of(2), 1000 + lease / 2));

    // Every slot live: a newcomer is not learned, but its message is handled all the same.
    EXPECT_EQ(RELAY_DELIVERED, send("NEW1", "U1", "hello", 3, kAlice, 1000 + lease - 1));
    EXPECT_TRUE(net_equal(&out[0].to, &port_of(1)));
    EXPECT_EQ(KIND_RECEIPT, rec(out[1])->kind);
    EXPECT_EQ(nullptr, relay_find("NEW1"));
    EXPECT_EQ(1, relay_stats.directory_full);

    // U3's lease has run out (U1's and U2's were renewed): U3, heard least recently, makes room,
    // then U4; later newcomers find every remaining slot live again.
    const long long t = 1000 + lease + 4;
    EXPECT_EQ(RELAY_UNKNOWN, send("NEW1", "NOBODY", "", 4, kAlice, t));
    EXPECT_EQ(RELAY_UNKNOWN, send("NEW2", "NOBODY", "", 4, kCarol, t));
    EXPECT_EQ(RELAY_UNKNOWN, send("NEW3", "NOBODY", "", 4, port_of(50), t));
    EXPECT_TRUE(net_equal(&relay_find("new1")->addr, &kAlice));
    EXPECT_TRUE(net_equal(&relay_find("new2")->addr, &kCarol));
    EXPECT_EQ(nullptr, relay_find("NEW3"));
    EXPECT_EQ(nullptr, relay_find("U3"));
    EXPECT_EQ(nullptr, relay_find("U4"));
    EXPECT_EQ(2, relay_stats.directory_full);
    for (const char* kept : {"BOB", "U1", "U2", "U5", "U6", "U7"})
        EXPECT_NE(nullptr, relay_find(kept)) << kept;

    // A listed user silent for ages is never the one to go.
    EXPECT_EQ(RELAY_UNKNOWN, send("NEW3", "NOBODY", "", 5, port_of(50), 100 * lease));
    EXPECT_NE(nullptr, relay_find("BOB"));
    EXPECT_NE(nullptr, relay_find("NEW3"));
    // Reused slots keep every chain whole: each one known is found by name at its address.
    int found = 0;
    for (int i = 0; i < relay_user_slots(); ++i) {
        const RelayUser* u = relay_user_at(i);
        ASSERT_NE(nullptr, u);
        const RelayUser* f = relay_find(u->nick);
        EXPECT_EQ(u, f) << u->nick;
        found += f != nullptr;
    }
    EXPECT_EQ(8, found);

    // A directory of listed users only: nothing can be learned, nothing is lost.
    resize(2);
    relay_pin("A", &kAlice);
    relay_pin("B", &kBob);
    EXPECT_EQ(RELAY_DELIVERED, send("C", "A", "x", 1, kCarol, 100 * lease));
    EXPECT_EQ(nullptr, relay_find("C"));
    EXPECT_FALSE(relay_pin("C", &kCarol));
}

TEST_F(Relay, OneHostHoldsAtMostItsShareOfLearnedNicknames) {
    resize(16, 3);
    relay_pin("LISTED1", &port_of(90)); // listed ones on the host do not count
    relay_pin("LISTED2", &port_of(91));
    char name[NICK_SIZE];
    for (int i = 1; i <= 5; ++i) {
        std::snprintf(name, sizeof name, "LOCAL%d", i);
        EXPECT_EQ(RELAY_UNKNOWN, send(name, "NOBODY", "", 1, port_of(i), 100 + i));
    }
    EXPECT_NE(nullptr, relay_find("LOCAL3"));
    EXPECT_EQ(nullptr, relay_find("LOCAL4"));
    EXPECT_EQ(nullptr, relay_find("LOCAL5"));
    EXPECT_EQ(2, relay_stats.address_full);
    // Another host still learns, and the capped host's messages still go through.
    EXPECT_EQ(RELAY_UNKNOWN, send("FAR", "NOBODY", "", 1, kFar, 200));
    EXPECT_NE(nullptr, relay_find("FAR"));
    EXPECT_EQ(RELAY_DELIVERED, send("LOCAL5", "FAR", "hi", 2, port_of(5), 300));
    // A nickname of the host that moves elsewhere after its lease frees a place for another.
    EXPECT_EQ(RELAY_UNKNOWN,
              send("LOCAL1", "NOBODY", "", 3, kFar, 100 + relay_config.lease_ms + 1));
    EXPECT_TRUE(net_equal(&relay_find("LOCAL1")->addr, &kFar));
    EXPECT_EQ(RELAY_UNKNOWN,
              send("LOCAL4", "NOBODY", "", 3, port_of(4), 100 + relay_config.lease_ms + 2));
    EXPECT_NE(nullptr, relay_find("LOCAL4"));
    // Unlisting counts them again: the host is over its share and learns nothing more.
    relay_unpin_all();
    EXPECT_EQ(RELAY_UNKNOWN, send("LOCAL6", "NOBODY", "", 4, port_of(6), 1000000));
    EXPECT_EQ(nullptr, relay_find("LOCAL6"));
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
    EXPECT_EQ(1, relay_operator_notice("bob", "Server restarts at noon.", line, sizeof line, 100));
    EXPECT_STREQ("Notice sent to bob.", line);
    RelayOut notice;
    ASSERT_EQ(1, relay_notice_next(&notice));
    EXPECT_TRUE(net_equal(&notice.to, &kBob));
    EXPECT_EQ(KIND_NOTICE, rec(notice)->kind);
    EXPECT_STREQ("Server restarts at noon.", rec(notice)->body);
    EXPECT_EQ(HEADER_SIZE + 25, notice.len);
    EXPECT_EQ(0, relay_notice_next(&notice));

    EXPECT_EQ(0, relay_operator_notice("NOBODY", "x", line, sizeof line, 100));
    EXPECT_NE(nullptr, std::strstr(line, "NOBODY"));
    EXPECT_EQ(0, relay_notice_next(&notice));

    EXPECT_EQ(2, relay_operator_notice(nullptr, "To everyone.", line, sizeof line, 100));
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

TEST_F(Relay, ControlRequestsOfEveryLengthStayInsideTheirBuffer) {
    relay_pin("BOB", &kBob);
    struct {
        char in[CONTROL_REQUEST_SIZE + 1], after[8]; // one byte more than a request may have
    } r;
    static ControlAnswer a;
    for (int len = CONTROL_REQUEST_SIZE - 1; len <= CONTROL_REQUEST_SIZE + 1; ++len) {
        std::memset(&r, '#', sizeof r);
        std::memcpy(r.in, "notice\nBOB\n", 11);
        control_answer(r.in, len, 1, "", &a, -1, 1000);
        EXPECT_EQ(len <= CONTROL_REQUEST_SIZE ? 'o' : 'e', a.out[0]) << len;
        EXPECT_EQ(std::string(8, '#'), std::string(r.after, 8)) << len;
    }
}

} // namespace
