// The relay's groups, in process: the users file's group lines, who may write to a group, the
// copies, the notices that go back and their bounds, resends, rates and reloads.
#include "server/relay.h"
#include "server/report.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// 127.0.0.1 at port 4000 + i.
const NetAddr& at(int i) {
    static NetAddr ports[4096];
    ports[i] = NetAddr{0x7F000001u, static_cast<uint16_t>(4000 + i)};
    return ports[i];
}

// 10.0.0.h at port p: hosts of their own (only ever values here).
NetAddr host(int h, int p = 4000) {
    return NetAddr{0x0A000000u + static_cast<uint32_t>(h), static_cast<uint16_t>(p)};
}

const Datagram* rec(const RelayOut& o) {
    return reinterpret_cast<const Datagram*>(o.data);
}

struct Groups : ::testing::Test {
    char buf[RECORD_SIZE + 1];
    RelayOut out[2];
    int n = -1;
    std::string path = ::testing::TempDir() + "keltup_groups_test_" + std::to_string(getpid());
    char err[300] = "";

    void SetUp() override {
        relay_config.log_level = LOG_QUIET;
        relay_config.lease_ms = 600000;
        relay_config.rate = 0;
        relay_config.max_users = 4096;
        relay_config.max_per_address = 4096;
        relay_config.max_group_size = RELAY_DEFAULT_GROUP_SIZE;
        relay_config.group_rate = 0;
        relay_config.group_burst = RELAY_DEFAULT_GROUP_BURST;
        relay_config.dest_rate = 0;
        relay_reset();
    }
    void TearDown() override { std::remove(path.c_str()); }

    int load(const std::string& text) {
        FILE* f = std::fopen(path.c_str(), "w");
        std::fputs(text.c_str(), f);
        std::fclose(f);
        err[0] = '\0';
        return relay_users_load(path.c_str(), err, sizeof err);
    }
    // A client's message as it goes on the wire; returns its length.
    int message(const char* from, const char* to, const char* body, unsigned id) {
        std::memset(buf, 0, sizeof buf);
        Datagram* d = reinterpret_cast<Datagram*>(buf);
        std::memcpy(d->magic, "KT1", 3);
        d->kind = KIND_MESSAGE;
        d->id[0] = static_cast<unsigned char>(id & 0xFF);
        d->id[1] = static_cast<unsigned char>(id >> 8);
        // Up to a field's size, with no NUL when the text fills it (the buffer is zeroed).
        std::memcpy(d->sender, from, strnlen(from, NICK_SIZE));
        std::memcpy(d->recipient, to, strnlen(to, NICK_SIZE));
        std::memcpy(d->body, body, strnlen(body, BODY_SIZE));
        return HEADER_SIZE + static_cast<int>(std::strlen(body)) + 1;
    }
    RelayOutcome send(const char* from, const char* to, const char* body, unsigned id,
                      const NetAddr& addr, long long now = 1000) {
        return relay_handle(buf, message(from, to, body, id), &addr, now, out, &n);
    }
    // The copies waiting, taken.
    std::vector<RelayOut> copies(long long now = 1000) {
        std::vector<RelayOut> all;
        RelayOut o;
        while (relay_group_next(&o, now))
            all.push_back(o);
        return all;
    }
    std::string ports(const std::vector<RelayOut>& all) {
        std::string s;
        for (const RelayOut& o : all)
            s += std::to_string(o.to.port) + " ";
        return s;
    }
    // Users U1..Un at ports 4001.. and the group text's member list "U1 U2 ...".
    std::string users(int count, int first = 1) {
        std::string text;
        for (int i = first; i < first + count; ++i)
            text += "U" + std::to_string(i) + " = 127.0.0.1:" + std::to_string(4000 + i) + "\n";
        return text;
    }
};

TEST_F(Groups, UsersFileGroupLinesAreCheckedWholeAndChangeNothingOnAFault) {
    ASSERT_EQ(4, load("# staff\nALICE = 127.0.0.1:4001\nBOB = 127.0.0.1:4002\n"
                      "group = 127.0.0.1:4003\nopen = 127.0.0.1:4004\n"
                      "  Group\tsales =\tALICE bob  carol # learned ones too\n"
                      "OPEN GROUP HelpDesk = BOB\n"))
        << err;
    ASSERT_EQ(2, relay_group_count());
    int sales = relay_group_find("SALES"), desk = relay_group_find("helpdesk");
    ASSERT_GE(sales, 0);
    ASSERT_GE(desk, 0);
    EXPECT_STREQ("sales", relay_group_name(sales));
    EXPECT_FALSE(relay_group_open(sales));
    EXPECT_TRUE(relay_group_open(desk));
    ASSERT_EQ(3, relay_group_size(sales));
    EXPECT_STREQ("carol", relay_group_member(sales, 2));
    // Users called "group" and "open" are users as they always were.
    EXPECT_NE(nullptr, relay_find("group"));
    EXPECT_NE(nullptr, relay_find("open"));
    EXPECT_EQ(-1, relay_group_find("group"));

    relay_config.max_group_size = 3;
    const char* bad[] = {
        "group TEAM = A\ngroup ALICE = BOB\n",              // named like a listed user
        "group TEAM = A\nopen group team = B\n",            // listed twice
        "group TEAM = A\ngroup CREW = A TEAM\n",            // a member that is a group
        "group TEAM = A\ngroup CREW = A B C D\n",           // over --max-group-size
        "group TEAM = A\ngroup CREW = A B a\n",             // a member twice
        "group TEAM = A\ngroup CREW =\n",                   // no members
        "group TEAM = A\ngroup CREW A B\n",                 // no '='
        "group TEAM = A\ngroup CR EW = A\n",                // a blank in the name
        "group TEAM = A\ngroup ABCDEFGHIJKLMNOPQRST = A\n", // 20 characters
        "group TEAM = A\ngroup CREW = A ABCDEFGHIJKLMNOPQRST\n",
        "group TEAM = A\ngroup CREW = A \x01\n",
    };
    for (const char* text : bad) {
        std::string file = std::string("ALICE = 127.0.0.1:4001\n") + text;
        EXPECT_EQ(-1, load(file)) << text;
        EXPECT_NE(nullptr, std::strstr(err, ":3:")) << text << err;
        EXPECT_EQ(2, relay_group_count()) << text;
        EXPECT_EQ(-1, relay_group_find("TEAM")) << text;
        EXPECT_GE(relay_group_find("SALES"), 0);
        EXPECT_TRUE(relay_find("BOB")->pinned);
    }
    // The fault names the group's line when the user comes after it; a member that is a group
    // defined further down is found all the same.
    EXPECT_EQ(-1, load("group ALICE = BOB\nALICE = 127.0.0.1:4001\n"));
    EXPECT_NE(nullptr, std::strstr(err, ":1:")) << err;
    EXPECT_EQ(-1, load("group CREW = A TEAM\ngroup TEAM = B\n"));
    EXPECT_NE(nullptr, std::strstr(err, ":1:")) << err;

    // The largest group has room on its line; a user's line is as long as it ever was.
    relay_config.max_group_size = RELAY_GROUP_SIZE_LIMIT;
    std::string big = "group BIG =";
    char name[NICK_SIZE];
    for (int i = 0; i < RELAY_GROUP_SIZE_LIMIT; ++i) {
        std::snprintf(name, sizeof name, "M%05d-ABCDEFGHIJKL", i);
        big += std::string(" ") + name;
    }
    ASSERT_EQ(0, load(big + "\n")) << err;
    EXPECT_EQ(RELAY_GROUP_SIZE_LIMIT, relay_group_size(relay_group_find("BIG")));
    EXPECT_EQ(-1, load("ALICE = 127.0.0.1:4001 " + std::string(500, ' ') + "# long\n"));
    EXPECT_NE(nullptr, std::strstr(err, "too long")) << err;

    // Reading again without the groups removes them.
    ASSERT_EQ(1, load("ALICE = 127.0.0.1:4001\n"));
    EXPECT_EQ(0, relay_group_count());
}

TEST_F(Groups, MembersWriteOutsidersAreRefusedOpenGroupsTakeAnyone) {
    ASSERT_EQ(4, load(users(4) + "group SALES = U1 U2 U3 U4\nopen group HELP = U3 U4\n")) << err;
    // One receipt to the sender, then one 'G' copy to each other member, none back to it.
    ASSERT_EQ(RELAY_GROUP, send("u1", "sales", "new prices", 7, at(1)));
    ASSERT_EQ(1, n);
    EXPECT_EQ(KIND_RECEIPT, rec(out[0])->kind);
    EXPECT_EQ(7u, datagram_id(rec(out[0])));
    EXPECT_TRUE(net_equal(&out[0].to, &at(1)));
    std::vector<RelayOut> all = copies();
    EXPECT_EQ("4002 4003 4004 ", ports(all));
    for (const RelayOut& o : all) {
        const Datagram* d = rec(o);
        EXPECT_EQ(KIND_GREETING, d->kind);
        EXPECT_STREQ("u1", d->sender);
        EXPECT_STREQ("SALES", d->recipient);
        EXPECT_STREQ("new prices", d->body);
        EXPECT_EQ(HEADER_SIZE + 11, o.len);
        EXPECT_EQ(0, std::memcmp(d->reserved, kRelayMark, sizeof kRelayMark));
        EXPECT_EQ(REASON_NONE, d->reserved[RELAY_REASON_AT]);
    }
    EXPECT_FALSE(relay_group_pending());

    // An outsider: one notice, no receipt, nothing to the members, nothing for its resends.
    ASSERT_EQ(RELAY_GROUP_REFUSED, send("MALLORY", "SALES", "buy now", 8, at(50)));
    ASSERT_EQ(1, n);
    EXPECT_EQ(KIND_NOTICE, rec(out[0])->kind);
    EXPECT_TRUE(net_equal(&out[0].to, &at(50)));
    EXPECT_STREQ("You can't write to SALES.", rec(out[0])->body);
    EXPECT_EQ(REASON_CANT_WRITE, rec(out[0])->reserved[RELAY_REASON_AT]);
    for (int t = 1; t < 10; ++t) {
        EXPECT_EQ(RELAY_REFUSED, send("MALLORY", "SALES", "buy now", 8, at(50), 1000 + 200 * t));
        EXPECT_EQ(0, n);
    }
    EXPECT_TRUE(copies().empty());
    EXPECT_EQ(1, relay_stats.group_refused[GROUP_NOT_MEMBER]);

    // Anyone may write to an open group; a member of it gets no copy of its own.
    ASSERT_EQ(RELAY_GROUP, send("MALLORY", "HELP", "printer jammed", 9, at(50)));
    EXPECT_EQ("4003 4004 ", ports(copies()));
    ASSERT_EQ(RELAY_GROUP, send("U4", "HELP", "on my way", 10, at(4)));
    EXPECT_EQ("4003 ", ports(copies()));
    EXPECT_EQ(3, relay_stats.group_messages);
    EXPECT_EQ(6, relay_stats.group_copies);
    EXPECT_EQ(0, relay_stats.group_not_reached);
    // A copy is not its member speaking: it renews no lease.
    EXPECT_EQ(0, relay_find("U3")->seen);
}

TEST_F(Groups, ResendsAreAnsweredAndSendNoSecondCopy) {
    ASSERT_EQ(3, load(users(3) + "group SALES = U1 U2 U3\n")) << err;
    ASSERT_EQ(RELAY_GROUP, send("U1", "SALES", "once", 42, at(1), 5000));
    EXPECT_EQ(2u, copies().size());
    for (int t = 1; t < 10; ++t) {
        ASSERT_EQ(RELAY_RESENT, send("U1", "SALES", "once", 42, at(1), 5000 + 200 * t));
        ASSERT_EQ(1, n);
        EXPECT_EQ(KIND_RECEIPT, rec(out[0])->kind);
        EXPECT_TRUE(copies().empty());
    }
    // Resends that come while the copies are still going out: none sent twice.
    ASSERT_EQ(RELAY_GROUP, send("U1", "SALES", "twice?", 43, at(1), 7000));
    EXPECT_EQ(RELAY_RESENT, send("U1", "SALES", "twice?", 43, at(1), 7200));
    EXPECT_EQ(2u, copies().size());
    EXPECT_EQ(2, relay_stats.group_messages);
    EXPECT_EQ(4, relay_stats.group_copies);
}

TEST_F(Groups, MembersNotReachedAreNamedWithinTheBoundOnWhatGoesBack) {
    ASSERT_EQ(2, load(users(2) + "group SALES = U1 U2 GHOST1 U3X GHOST2\n")) << err;
    ASSERT_EQ(RELAY_GROUP, send("U1", "SALES", "hello all", 1, at(1)));
    ASSERT_EQ(2, n);
    EXPECT_EQ(KIND_RECEIPT, rec(out[0])->kind);
    EXPECT_EQ(KIND_NOTICE, rec(out[1])->kind);
    EXPECT_TRUE(net_equal(&out[1].to, &at(1)));
    EXPECT_EQ(REASON_NOT_REACHED, rec(out[1])->reserved[RELAY_REASON_AT]);
    EXPECT_STREQ("3 of 4 members of SALES were not reached: GHOST1, U3X, GHOST2.",
                 rec(out[1])->body);
    EXPECT_EQ("4002 ", ports(copies()));
    EXPECT_EQ(3, relay_stats.group_not_reached);
    // Once a member has sent, it is reached.
    send("U3X", "U1", "I'm here", 2, at(3));
    ASSERT_EQ(RELAY_GROUP, send("U1", "SALES", "again", 3, at(1)));
    EXPECT_STREQ("2 of 4 members of SALES were not reached: GHOST1, GHOST2.", rec(out[1])->body);
    EXPECT_EQ("4002 4003 ", ports(copies()));

    // The largest group under the longest names, none of them known: the smallest message still
    // brings its receipt and the count; longer ones name as many as fit, the rest counted.
    std::string group = "group ABCDEFGHIJKLMNOPQRS =";
    for (int i = 0; i < RELAY_DEFAULT_GROUP_SIZE; ++i) {
        char name[NICK_SIZE];
        std::snprintf(name, sizeof name, "MEMBER%04d-XXXXXXXX", i);
        group += std::string(" ") + name;
    }
    ASSERT_EQ(0, load(group + "\n")) << err;
    relay_config.rate = 0;
    int longest = 0;
    for (int len = HEADER_SIZE; len <= RECORD_SIZE; len += 25) {
        message("SOMEONE", "ABCDEFGHIJKLMNOPQRS", "", static_cast<unsigned>(len));
        std::memset(reinterpret_cast<Datagram*>(buf)->body, 'b', BODY_SIZE);
        std::memcpy(reinterpret_cast<Datagram*>(buf)->sender, "MEMBER0000-XXXXXXXX", NICK_SIZE - 1);
        ASSERT_EQ(RELAY_GROUP, relay_handle(buf, len, &at(9), 1000 + len, out, &n)) << len;
        ASSERT_EQ(2, n) << len;
        EXPECT_LE(out[0].len + out[1].len, RELAY_AMPLIFICATION * len) << len;
        const char* text = rec(out[1])->body;
        EXPECT_EQ(0u, std::string(text).rfind(
                          "999 of 999 members of ABCDEFGHIJKLMNOPQRS were not reached", 0))
            << text;
        EXPECT_EQ('.', text[std::strlen(text) - 1]) << text;
        EXPECT_EQ(REASON_UNKNOWN, rec(out[1])->reserved[RELAY_REASON_AT]) << "nobody was reached";
        EXPECT_EQ(nullptr, std::strstr(text, "MEMBER0000")) << "the sender is no member it missed";
        EXPECT_EQ(HEADER_SIZE + 1 + static_cast<int>(std::strlen(text)), out[1].len);
        longest = static_cast<int>(std::strlen(text));
    }
    EXPECT_EQ(nullptr, std::strstr(rec(out[1])->body, "MEMBER0999"));
    EXPECT_NE(nullptr, std::strstr(rec(out[1])->body, ": MEMBER0001-XXXXXXXX, MEMBER0002"));
    EXPECT_NE(nullptr, std::strstr(rec(out[1])->body, " more."));
    EXPECT_LT(900, longest);
    EXPECT_TRUE(copies().empty()); // nobody to send to
}

TEST_F(Groups, AGroupsNameIsNeverASendersAndSizeBoundsTheCopies) {
    ASSERT_EQ(2, load(users(2) + "group SALES = U1 U2\n")) << err;
    // Under a group's name: refused like an impersonation, never learned, counted.
    ASSERT_EQ(RELAY_REFUSED, send("Sales", "U1", "it's us", 1, at(60)));
    ASSERT_EQ(1, n);
    EXPECT_EQ(KIND_NOTICE, rec(out[0])->kind);
    EXPECT_EQ(REASON_NICK_IN_USE, rec(out[0])->reserved[RELAY_REASON_AT]);
    EXPECT_STREQ("SALES is the name of a group; your messages are not delivered.",
                 rec(out[0])->body);
    EXPECT_EQ(RELAY_REFUSED, send("Sales", "U1", "it's us", 1, at(60), 1200));
    EXPECT_EQ(0, n);
    EXPECT_EQ(RELAY_REFUSED, send("SALES", "SALES", "to ourselves", 2, at(60), 1400));
    EXPECT_EQ(nullptr, relay_find("SALES"));
    EXPECT_TRUE(copies().empty());
    EXPECT_EQ(2, relay_stats.group_refused[GROUP_NAME]);
    // A copy is never relayed again: 'G' from a client is dropped, and so is anything marked.
    message("U1", "U2", "x", 3);
    reinterpret_cast<Datagram*>(buf)->kind = KIND_GREETING;
    EXPECT_EQ(RELAY_DROPPED, relay_handle(buf, HEADER_SIZE + 2, &at(1), 1000, out, &n));
    EXPECT_EQ(DROP_KIND, relay_last_drop());

    // One datagram makes at most the group's size in copies, whatever the sender sends.
    ASSERT_EQ(RELAY_DEFAULT_GROUP_SIZE, load(users(RELAY_DEFAULT_GROUP_SIZE) +
                                             [] {
                                                 std::string g = "open group ALL =";
                                                 for (int i = 1; i <= RELAY_DEFAULT_GROUP_SIZE; ++i)
                                                     g += " U" + std::to_string(i);
                                                 return g + "\n";
                                             }()))
        << err;
    ASSERT_EQ(RELAY_GROUP, send("OUTSIDER", "ALL", "to everyone", 5, at(2000)));
    EXPECT_EQ(1, n);
    EXPECT_EQ(static_cast<size_t>(RELAY_DEFAULT_GROUP_SIZE), copies().size());
    ASSERT_EQ(RELAY_GROUP, send("U5", "ALL", "to everyone else", 6, at(5)));
    EXPECT_EQ(static_cast<size_t>(RELAY_DEFAULT_GROUP_SIZE - 1), copies().size());
}

TEST_F(Groups, GroupMessagesAreRateLimitedPerSourceWithANotice) {
    relay_config.group_rate = 1;
    relay_config.group_burst = 5;
    ASSERT_EQ(3, load(users(3) + "group SALES = U1 U2 U3\nopen group HELP = U1\n")) << err;
    char body[16];
    // A host new to the relay has one message; five quiet seconds later it has its burst.
    ASSERT_EQ(RELAY_GROUP, send("U1", "SALES", "first", 99, at(1), -4000));
    for (int i = 0; i < 5; ++i) {
        std::snprintf(body, sizeof body, "%d", i);
        ASSERT_EQ(RELAY_GROUP, send("U1", "SALES", body, static_cast<unsigned>(i), at(1))) << i;
    }
    ASSERT_EQ(RELAY_GROUP_REFUSED, send("U1", "SALES", "one too many", 5, at(1)));
    ASSERT_EQ(1, n);
    EXPECT_EQ(KIND_NOTICE, rec(out[0])->kind);
    EXPECT_EQ(REASON_GROUP_RATE, rec(out[0])->reserved[RELAY_REASON_AT]);
    EXPECT_NE(nullptr, std::strstr(rec(out[0])->body, "your message to SALES was not sent"));
    // Its resends get nothing; a direct message passes, one from another port of its host not.
    EXPECT_EQ(RELAY_REFUSED, send("U1", "SALES", "one too many", 5, at(1), 1200));
    EXPECT_EQ(0, n);
    EXPECT_EQ(RELAY_DELIVERED, send("U1", "U2", "direct", 6, at(1), 1200));
    EXPECT_EQ(RELAY_GROUP_REFUSED, send("U2", "SALES", "mine", 7, at(2), 1200));
    // A second later one more.
    EXPECT_EQ(RELAY_GROUP, send("U1", "SALES", "later", 8, at(1), 2200));
    EXPECT_EQ(RELAY_GROUP_REFUSED, send("U1", "SALES", "later still", 9, at(1), 2200));
    // Another host has its own bucket, with one message to begin with.
    EXPECT_EQ(RELAY_GROUP, send("NEW", "HELP", "first", 10, host(9), 2200));
    EXPECT_EQ(RELAY_GROUP_REFUSED, send("NEW", "HELP", "second", 11, host(9), 2200));
    EXPECT_EQ(4, relay_stats.group_refused[GROUP_RATE]);

    // While RELAY_GROUP_QUEUE messages are still going out, another is refused, not dropped.
    relay_config.group_rate = 0;
    copies();
    for (int i = 0; i < RELAY_GROUP_QUEUE; ++i) {
        std::snprintf(body, sizeof body, "q%d", i);
        ASSERT_EQ(RELAY_GROUP, send("U1", "SALES", body, 100, at(1), 3000)) << i;
    }
    ASSERT_EQ(RELAY_GROUP_REFUSED, send("U1", "SALES", "full", 100, at(1), 3000));
    EXPECT_STREQ("The server is busy: your message to SALES was not sent. Send it again in a "
                 "moment.",
                 rec(out[0])->body);
    EXPECT_EQ(1, relay_stats.group_refused[GROUP_BUSY]);
    EXPECT_EQ(static_cast<size_t>(2 * RELAY_GROUP_QUEUE), copies().size());
    EXPECT_EQ(RELAY_GROUP, send("U1", "SALES", "room again", 101, at(1), 3000));
}

TEST_F(Groups, AReloadThatRemovesAGroupLeavesItsResendsAnsweredAndSendsNoMore) {
    ASSERT_EQ(3, load(users(3) + "group SALES = U1 U2 U3\ngroup TEAM = U1 U3\n")) << err;
    ASSERT_EQ(RELAY_GROUP, send("U1", "SALES", "before", 1, at(1), 1000));
    ASSERT_EQ(RELAY_GROUP, send("U1", "TEAM", "before", 2, at(1), 1000));
    RelayOut first;
    ASSERT_EQ(1, relay_group_next(&first, 1000)); // one of SALES's copies is out
    ASSERT_EQ(3, load(users(3) + "group TEAM = U3 U2 U1\n")) << err;
    // What was still to go out to SALES does not; TEAM's go to its members when it was sent.
    EXPECT_EQ("4003 ", ports(copies()));
    // The resend memory still answers the old message; a new one finds no such recipient.
    ASSERT_EQ(RELAY_RESENT, send("U1", "SALES", "before", 1, at(1), 1400));
    EXPECT_EQ(1, n);
    EXPECT_TRUE(copies().empty());
    EXPECT_EQ(RELAY_UNKNOWN, send("U1", "SALES", "after", 3, at(1), 1600));
    // A file with a fault keeps the groups there were.
    EXPECT_EQ(-1, load("group TEAM = U1\ngroup TEAM = U2\n"));
    EXPECT_EQ(3, relay_group_size(relay_group_find("TEAM")));
}

TEST_F(Groups, OperatorsReachAGroupAndSeeItInStatusAndMetrics) {
    ASSERT_EQ(2, load(users(2) + "open group HELP = U1 U2 NOBODY\n")) << err;
    char line[200];
    EXPECT_EQ(2, relay_operator_notice("help", "Coffee in the kitchen.", line, sizeof line, 1000));
    EXPECT_STREQ("Notice sent to 2 of the 3 members of HELP.", line);
    std::string to;
    RelayOut o;
    while (relay_notice_next(&o)) {
        EXPECT_EQ(KIND_NOTICE, rec(o)->kind);
        EXPECT_EQ(REASON_OPERATOR, rec(o)->reserved[RELAY_REASON_AT]);
        to += std::to_string(o.to.port) + " ";
    }
    EXPECT_EQ("4001 4002 ", to);

    static ControlAnswer a;
    char request[] = "status";
    control_answer(request, 6, 1, "", &a, -1, 1000);
    std::string text(a.out, static_cast<size_t>(a.len));
    while (a.sent = a.len, control_answer_more(&a, 1000))
        text.append(a.out, static_cast<size_t>(a.len));
    EXPECT_NE(std::string::npos, text.find("\ngroup\tHELP\topen\t3\t2\n"
                                           "member\tU1\tknown\nmember\tU2\tknown\n"
                                           "member\tNOBODY\t-\n"))
        << text;
    EXPECT_NE(std::string::npos, text.find("\ncounter\tgroup refused (not member)\t0\n"));

    char metrics[8192];
    metrics_text(metrics, sizeof metrics, 1000);
    EXPECT_NE(nullptr, std::strstr(metrics, "\nkeltup_groups 1\n"));
    EXPECT_NE(nullptr,
              std::strstr(metrics, "\nkeltup_group_refused_total{reason=\"over_rate\"} 0"));
}

TEST_F(Groups, CopiesAndNoticesTowardOneHostAreCappedWhateverTheirSources) {
    relay_config.dest_rate = 100; // bursts of 64
    std::string list, group = "open group ALL = GHOST";
    for (int i = 1; i <= 100; ++i) {
        list += "M" + std::to_string(i) + " = 10.0.0.1:" + std::to_string(5000 + i) + "\n";
        group += " M" + std::to_string(i);
    }
    ASSERT_EQ(100, load(list + group + "\n")) << err;
    // A member gets the burst through and the rest named; half a second later an outsider gets
    // half the rate through and the count alone.
    std::string body(120, 'x');
    ASSERT_EQ(RELAY_GROUP, send("M1", "ALL", body.c_str(), 1, host(1, 5001), 1000));
    EXPECT_EQ(64u, copies().size());
    EXPECT_EQ(0u, std::string(rec(out[1])->body)
                      .find("36 of 100 members of ALL were not reached, 35 over the limit for one "
                            "address: GHOST, M66, "));
    ASSERT_EQ(RELAY_GROUP, send("OUT", "ALL", body.c_str(), 2, host(3), 1500));
    EXPECT_EQ(50u, copies().size());
    EXPECT_STREQ("51 of 101 members of ALL were not reached, 50 over the limit for one address.",
                 rec(out[1])->body);
    EXPECT_EQ(35 + 50, relay_stats.dest_capped);
    // The operator's notice too, a minute later, said in its line.
    static ControlAnswer a;
    char request[] = "notice\nALL\nFire drill.";
    control_answer(request, static_cast<int>(std::strlen(request)), 1, "", &a, -1, 60000);
    EXPECT_EQ("ok 64\nNotice sent to 64 of the 101 members of ALL. 36 not sent: their address was "
              "over its limit (--dest-rate).\n",
              std::string(a.out, static_cast<size_t>(a.len)));
}

TEST_F(Groups, AReloadMidFanOutNeitherRepeatsNorSkipsAMember) {
    ASSERT_EQ(5, load(users(5) + "group SALES = U1 U2 U3 U4\n")) << err;
    ASSERT_EQ(RELAY_GROUP, send("U1", "SALES", "hello", 1, at(1)));
    RelayOut first;
    ASSERT_EQ(1, relay_group_next(&first, 1000));
    EXPECT_EQ(4002, first.to.port);
    // The rest go to the members the message was sent to, whatever the line says now.
    ASSERT_EQ(5, load(users(5) + "group SALES = U4 U5 U2\n")) << err;
    EXPECT_EQ("4003 4004 ", ports(copies()));
}

} // namespace
