// Groups through the real keltup-server and keltup-send on 127.0.0.1, members played by sockets:
// delivery, refusals, the operator's notice, status and metrics, a reload, a large group.
#include "protocol/datagram.h"
#include "server/net.h"
#include "tests/server/child_process.h"
#include "tests/server/relay_process.h"
#include "tests/server/test_client.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

// Bounds against hangs only; nothing here measures how long anything takes.
const int kWaitMs = 10000;

std::string scratch(const char* what) {
    return ::testing::TempDir() + "keltup_groups_" + std::to_string(getpid()) + "_" + what;
}

void write_file(const std::string& path, const std::string& text) {
    FILE* f = std::fopen(path.c_str(), "w");
    std::fputs(text.c_str(), f);
    std::fclose(f);
}

// keltup-send through the relay, with the rest of its command line.
std::vector<std::string> send_through(const RelayProcess& relay, std::vector<std::string> rest) {
    std::vector<std::string> args = {KELTUP_SEND, "--server", "127.0.0.1", "--port",
                                     std::to_string(relay.addr.port)};
    args.insert(args.end(), rest.begin(), rest.end());
    return args;
}

// An operator's command to the relay.
std::vector<std::string> operator_command(const RelayProcess& relay,
                                          std::vector<std::string> rest) {
    std::vector<std::string> args = {KELTUP_SERVER, "--control", relay.control};
    args.insert(args.end(), rest.begin(), rest.end());
    return args;
}

// A counter's value in the status ("LABEL   VALUE"), or -1.
long long counter(const std::string& status, const std::string& label) {
    size_t at = status.find("\n" + label + " ");
    if (at == std::string::npos) return -1;
    return std::atoll(status.c_str() + status.find_first_not_of(' ', at + 1 + label.size()));
}

// A group's line in the status, as printed.
std::string group_line(const char* name, const char* rest) {
    char line[200];
    std::snprintf(line, sizeof line, "\n%-19s  %s\n", name, rest);
    return line;
}

struct Member : TestClient {
    Member() : TestClient(kWaitMs) {}
};

std::string entry(const std::string& nick, const Member& m) {
    return nick + " = 127.0.0.1:" + std::to_string(m.addr.port) + "\n";
}

TEST(GroupsProcess, KeltupSendReachesTheMembersOperatorsSeeAndReachTheGroup) {
    Member alice, bob, carol;
    std::string users = scratch("users"), metrics = scratch("metrics.prom");
    write_file(users, entry("ALICE", alice) + entry("BOB", bob) + entry("CAROL", carol) +
                          "group SALES = ALICE BOB CAROL GHOST\nopen group HELP = BOB CAROL\n");
    RelayProcess relay;
    // Every client here is on one host, whose group messages are otherwise one a second.
    ASSERT_TRUE(
        relay.start({"--users", users, "--metrics", metrics, "--verbose", "--group-rate", "0"}));
    std::string err, out;
    Datagram d;

    // A member writes: the receipt comes, the member not known is named, each other member gets
    // one 'G' copy from the sender to the group.
    EXPECT_EQ(0,
              run(send_through(relay, {"--from", "alice", "sales", "quarterly", "numbers"}), &err))
        << err;
    EXPECT_NE(std::string::npos, err.find("Message Sent")) << err;
    EXPECT_NE(std::string::npos, err.find("1 of 3 members of SALES were not reached: GHOST."))
        << err;
    for (Member* m : {&bob, &carol}) {
        ASSERT_EQ(HEADER_SIZE + 18, m->recv(&d));
        EXPECT_EQ(KIND_GREETING, d.kind);
        EXPECT_STREQ("ALICE", d.sender);
        EXPECT_STREQ("SALES", d.recipient);
        EXPECT_STREQ("quarterly numbers", d.body);
    }
    // No copy went to the sender's own address: the next thing it gets is Bob's answer.
    ASSERT_EQ(1, bob.send_with_receipt(relay.addr, "BOB", "ALICE", "got it", 5));
    ASSERT_GT(alice.recv(&d), 0);
    EXPECT_EQ(KIND_MESSAGE, d.kind);
    EXPECT_STREQ("got it", d.body);

    // An outsider gets the refusal and no receipt; anyone may write to the open group.
    EXPECT_EQ(1,
              run(send_through(relay, {"--from", "MALLORY", "SALES", "cheap", "watches"}), &err));
    EXPECT_NE(std::string::npos, err.find("You can't write to SALES.")) << err;
    EXPECT_NE(std::string::npos, err.find("No response from server!")) << err;
    EXPECT_EQ(0,
              run(send_through(relay, {"--from", "MALLORY", "HELP", "printer", "jammed"}), &err));
    for (Member* m : {&bob, &carol}) {
        ASSERT_GT(m->recv_kind(&d, KIND_GREETING), 0);
        EXPECT_STREQ("printer jammed", d.body);
    }
    // Nobody sends under a group's name.
    EXPECT_EQ(1, run(send_through(relay, {"--from", "HELP", "BOB", "hi"}), &err));
    EXPECT_NE(std::string::npos, err.find("HELP is the name of a group")) << err;

    // The operator's notice reaches the members known; status lists each group.
    EXPECT_EQ(
        0, run(operator_command(relay, {"--notice", "sales", "Targets are in."}), &err, "", &out))
        << err;
    EXPECT_EQ("Notice sent to 3 of the 4 members of SALES.\n", out);
    ASSERT_GT(carol.recv_kind(&d, KIND_NOTICE), 0);
    EXPECT_STREQ("Targets are in.", d.body);
    EXPECT_EQ(0, run(operator_command(relay, {"--status"}), &err, "", &out)) << err;
    EXPECT_NE(
        std::string::npos,
        out.find(group_line("SALES", "members only, 3 of 4 members known: ALICE BOB CAROL GHOST?")))
        << out;
    EXPECT_NE(std::string::npos,
              out.find(group_line("HELP", "open to all, 2 of 2 members known: BOB CAROL")))
        << out;
    EXPECT_EQ(2, counter(out, "group messages")) << out;
    EXPECT_EQ(4, counter(out, "group copies")) << out;
    EXPECT_EQ(1, counter(out, "group members not reached")) << out;
    EXPECT_EQ(1, counter(out, "group refused (not member)")) << out;
    EXPECT_EQ(1, counter(out, "group refused (group name)")) << out;
    EXPECT_EQ(0, counter(out, "group refused (over rate)")) << out;

    // The metrics pass Prometheus's own check.
    if (access("/usr/bin/promtool", X_OK) == 0) {
        std::string text;
        FILE* f = std::fopen(metrics.c_str(), "r");
        ASSERT_NE(nullptr, f);
        char line[512];
        while (std::fgets(line, sizeof line, f) != nullptr)
            text += line;
        std::fclose(f);
        EXPECT_NE(std::string::npos, text.find("keltup_group_copies_total"));
        EXPECT_EQ(0, run({"/usr/bin/promtool", "check", "metrics"}, &err, text, &out))
            << err << out;
        EXPECT_EQ("", err + out);
    }

    // Read again without SALES: a message to it finds nobody of that name.
    write_file(users, entry("ALICE", alice) + entry("BOB", bob) + "open group HELP = BOB\n");
    kill(relay.child.pid, SIGHUP);
    ASSERT_NE("", relay.wait_log("2 users listed"));
    EXPECT_EQ(3, run(send_through(relay, {"--from", "ALICE", "SALES", "still", "there?"}), &err));
    EXPECT_NE(std::string::npos, err.find("Nobody called SALES is known")) << err;
    EXPECT_EQ(0, relay.stop());
    std::remove(users.c_str());
    std::remove(metrics.c_str());
}

TEST(GroupsProcess, AThousandMembersGetOneCopyEachWhileOthersAreServed) {
    // 1,000 members, a hundred at each of ten sockets; a pair of users beside them.
    std::vector<std::unique_ptr<Member>> sockets;
    for (int i = 0; i < 10; ++i)
        sockets.push_back(std::make_unique<Member>());
    Member x, y;
    std::string users = scratch("big-users"), group = "group ALL =";
    std::string list = entry("X", x) + entry("Y", y);
    char name[NICK_SIZE];
    for (int i = 0; i < 1000; ++i) {
        std::snprintf(name, sizeof name, "M%04d", i);
        list += entry(name, *sockets[static_cast<size_t>(i % 10)]);
        group += std::string(" ") + name;
    }
    write_file(users, list + group + "\n");
    RelayProcess relay;
    // A thousand members on one host, which the default limit per host would hold to 64.
    ASSERT_TRUE(relay.start({"--users", users, "--dest-rate", "0"}));

    // M0000 writes from its own socket; X and Y talk meanwhile, their receipts not held up.
    sockets[0]->send(relay.addr, "M0000", "ALL", "all hands at ten", 77);
    ASSERT_EQ(1, x.send_with_receipt(relay.addr, "X", "Y", "meanwhile", 1));
    ASSERT_TRUE(y.receives("meanwhile"));
    Datagram d;
    int receipts = 0;
    for (size_t s = 0; s < sockets.size(); ++s) {
        int copies = 0;
        for (int k = 0; k < 100; ++k) {
            if (sockets[s]->recv(&d) < 0) break;
            if (d.kind == KIND_RECEIPT) {
                ++receipts;
                continue;
            }
            ASSERT_EQ(KIND_GREETING, d.kind);
            ASSERT_STREQ("all hands at ten", d.body);
            ++copies;
        }
        EXPECT_EQ(s == 0 ? 99 : 100, copies) << "socket " << s;
    }
    EXPECT_EQ(1, receipts);
    std::string err, out;
    EXPECT_EQ(0, run(operator_command(relay, {"--status"}), &err, "", &out)) << err;
    EXPECT_EQ(999, counter(out, "group copies"));
    EXPECT_NE(std::string::npos, out.find("\nALL                  members only, 1000 of 1000"));
    EXPECT_EQ(0, relay.stop());
    std::remove(users.c_str());
}

} // namespace
