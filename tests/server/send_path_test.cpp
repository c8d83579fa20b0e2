// What the real keltup-server sends, each test in a network namespace of its own (root, ip and tc
// needed): copies through a slow loopback and at a stop, answers to clients of a second address.
#include "protocol/datagram.h"
#include "tests/server/relay_process.h"
#include "tests/server/test_client.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sched.h>
#include <string>

namespace {

const char kTc[] = "/usr/sbin/tc";

// The loopback's rate from here on, its queue long enough that the relay's socket fills first.
bool link_rate(const char* verb, const char* rate) {
    return run({kTc, "qdisc", verb, "dev", "lo", "root", "tbf", "rate", rate, "burst", "64kb",
                "limit", "8mb"}) == 0;
}

class SendPath : public ::testing::Test {
  protected:
    std::string users = ::testing::TempDir() + "keltup_send_path_" + std::to_string(getpid());
    void SetUp() override {
        if (geteuid() != 0 || access(kTc, X_OK) != 0) GTEST_SKIP() << "needs root, ip and tc";
        if (unshare(CLONE_NEWNET) != 0) GTEST_SKIP() << "no network namespace of its own";
        ASSERT_EQ(0, run({"/usr/sbin/ip", "link", "set", "lo", "up"}));
    }
    void TearDown() override { std::remove(users.c_str()); }
};

// Copies with `body` that arrive at fd, until there are `until`.
int copies(int fd, const char* body, int until) {
    Datagram d;
    int n = 0;
    while (n < until && net_wait(fd, kRelayWaitMs) == 1)
        n += net_recv(fd, &d, sizeof d, nullptr) > 0 && std::strcmp(d.body, body) == 0;
    return n;
}

TEST_F(SendPath, AnswersLeaveFromTheAddressWrittenToAndNoCopyIsLostOrUncounted) {
    // SENDER and 2,999 members, each at an address of its own, 127.1.x.y, all at the sink's port.
    const int members = 2999;
    TestClient sender, sink(kRelayWaitMs, "0.0.0.0");
    std::string list = "SENDER = 127.0.0.1:" + std::to_string(sender.addr.port) + "\n",
                group = "group ALL = SENDER";
    char line[80];
    for (int i = 1; i <= members; ++i) {
        std::snprintf(line, sizeof line, "M%04d = 127.1.%d.%d:%d\n", i, i / 250, i % 250 + 1,
                      sink.addr.port);
        list += line;
        group += " " + std::string(line, 5);
    }
    std::ofstream(users) << list + group + "\ngroup TEAM = ANN BEN\n";
    int room = 16 << 20;
    setsockopt(sink.fd, SOL_SOCKET, SO_RCVBUFFORCE, &room, sizeof room);
    RelayProcess relay;
    relay.bind = "0.0.0.0";
    ASSERT_TRUE(relay.start({"--users", users, "--max-group-size", "3000", "--group-rate", "0"}));

    // Both clients' sockets connected to 127.0.0.2: they take datagrams from there only.
    const NetAddr second = {0x7F000002u, relay.addr.port};
    sockaddr_in sa = {AF_INET, htons(second.port), {htonl(second.ip)}, {}};
    TestClient ann, ben;
    for (TestClient* c : {&ann, &ben})
        connect(c->fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);

    // Ben's first message, to nobody: its receipt and notice. Then Ann's receipts, her message
    // forwarded to Ben, a copy of her group message, an operator's notice.
    Datagram d;
    ASSERT_EQ(2, ben.send_with_receipt(second, "BEN", "NOBODY", "anyone?", 1));
    ASSERT_EQ(1, ann.send_with_receipt(second, "ANN", "BEN", "hello ben", 2));
    ASSERT_GT(ben.recv_kind(&d, KIND_MESSAGE), 0);
    ASSERT_EQ(1, ann.send_with_receipt(second, "ANN", "TEAM", "team meeting", 3));
    ASSERT_GT(ben.recv_kind(&d, KIND_GREETING), 0);
    EXPECT_EQ(0, run({KELTUP_SERVER, "--control", relay.control, "--notice", "ben", "Back soon."}));
    ASSERT_GT(ben.recv_kind(&d, KIND_NOTICE), 0);

    // At 5 Mbit/s the socket fills many times over: every copy arrives.
    if (!link_rate("add", "5mbit")) GTEST_SKIP() << "tc cannot add a token bucket here";
    ASSERT_EQ(1, sender.send_with_receipt(relay.addr, "SENDER", "ALL", "slow link", 1));
    EXPECT_EQ(members, copies(sink.fd, "slow link", members));

    // At 100 kbit/s, stopped right after the receipt: what arrives and what the stop counts add up.
    ASSERT_TRUE(link_rate("change", "100kbit"));
    ASSERT_EQ(1, sender.send_with_receipt(relay.addr, "SENDER", "ALL", "at the stop", 2));
    std::string log;
    EXPECT_EQ(0, relay.stop(SIGTERM, &log));
    ASSERT_TRUE(link_rate("change", "1gbit"));
    size_t at = log.find("stopping: "); // N copies and notices still queued after 2000 ms not sent
    int unsent = at == std::string::npos ? 0 : std::atoi(log.c_str() + at + 10);
    EXPECT_GT(unsent, 0) << log;
    EXPECT_EQ(members - unsent, copies(sink.fd, "at the stop", members - unsent));
}

} // namespace
