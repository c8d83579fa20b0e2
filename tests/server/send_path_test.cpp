// What the real keltup-server sends, each test inside a private network namespace of its own: a
// slow link (a token bucket on the namespace's loopback) that fills the relay's socket, a stop with
// copies still queued, and a second local address that clients connect to. Needs root, ip and tc;
// skipped without them.
#include "protocol/datagram.h"
#include "server/net.h"
#include "tests/server/relay_process.h"
#include "tests/server/test_client.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <sched.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const char kIp[] = "/usr/sbin/ip";
const char kTc[] = "/usr/sbin/tc";
const int kMembers = 999; // besides the sender: a group of 1,000

std::string scratch(const char* what) {
    return ::testing::TempDir() + "keltup_send_path_" + std::to_string(getpid()) + "_" + what;
}

void write_file(const std::string& path, const std::string& text) {
    FILE* f = std::fopen(path.c_str(), "w");
    std::fputs(text.c_str(), f);
    std::fclose(f);
}

// The loopback's rate from here on, the queue long enough that the relay's socket fills first.
bool link_rate(const char* rate, const char* verb = "add") {
    std::string err;
    return run({kTc, "qdisc", verb, "dev", "lo", "root", "tbf", "rate", rate, "burst", "64kb",
                "limit", "8mb"},
               &err) == 0;
}

class SendPath : public ::testing::Test {
  protected:
    // A network namespace of this test's own, its loopback up; the relay started later is in it.
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "needs root for a private network namespace";
        if (access(kIp, X_OK) != 0 || access(kTc, X_OK) != 0)
            GTEST_SKIP() << "needs ip and tc (iproute2)";
        if (unshare(CLONE_NEWNET) != 0)
            GTEST_SKIP() << "no private network namespace: " << std::strerror(errno);
        ASSERT_EQ(0, run({kIp, "link", "set", "lo", "up"}));
    }

    // A group ALL of SENDER (the client s) and `members` others, each at an address of its own,
    // 127.1.x.y, all at the sink's port.
    std::string group_file(const TestClient& s, int sink_port, int members = kMembers) {
        std::string list = "SENDER = 127.0.0.1:" + std::to_string(s.addr.port) + "\n";
        std::string group = "group ALL = SENDER";
        char line[80];
        for (int i = 1; i <= members; ++i) {
            std::snprintf(line, sizeof line, "M%04d = 127.1.%d.%d:%d\n", i, i / 250, i % 250 + 1,
                          sink_port);
            list += line;
            group += " " + std::string(line, 5);
        }
        std::string path = scratch("users");
        write_file(path, list + group + "\n");
        return path;
    }
};

// Every member's address ends here: one socket on all of the namespace's addresses.
struct Sink {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    int port = 0;
    Sink() {
        int big = 8 << 20;
        setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof big);
        sockaddr_in sa;
        std::memset(&sa, 0, sizeof sa);
        sa.sin_family = AF_INET;
        bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
        socklen_t len = sizeof sa;
        getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
        port = ntohs(sa.sin_port);
    }
    ~Sink() { close(fd); }
    // Counts the copies of `body` that come until there are `until` (or none comes within the
    // bound against hangs).
    int copies(const char* body, int until) {
        Datagram d;
        int n = 0;
        while (n < until && net_wait(fd, kRelayWaitMs) == 1)
            if (net_recv(fd, &d, sizeof d, nullptr) > 0 && d.kind == KIND_GREETING &&
                std::strcmp(d.body, body) == 0)
                ++n;
        return n;
    }
};

TEST_F(SendPath, OnASlowLinkEveryCopyOfAThousandMemberGroupArrives) {
    ASSERT_TRUE(link_rate("5mbit"));
    TestClient sender;
    Sink sink;
    RelayProcess relay;
    ASSERT_TRUE(relay.start({"--users", group_file(sender, sink.port)}));
    ASSERT_EQ(1, sender.send_with_receipt(relay.addr, "SENDER", "ALL", "slow link", 1));
    EXPECT_EQ(kMembers, sink.copies("slow link", kMembers));
    std::string status = relay.status();
    EXPECT_EQ(kMembers, counter(status, "group copies")) << status;
    EXPECT_EQ(0, counter(status, "send failed")) << status;
    EXPECT_EQ(0, relay.stop());
    std::remove(scratch("users").c_str());
}

TEST_F(SendPath, CopiesStillQueuedAtAStopAreSentWithinItsBoundAndTheRestCounted) {
    // More copies than the socket and two seconds of the link take.
    const int members = 2999;
    ASSERT_TRUE(link_rate("100kbit"));
    TestClient sender;
    Sink sink;
    RelayProcess relay;
    ASSERT_TRUE(relay.start(
        {"--users", group_file(sender, sink.port, members), "--max-group-size", "3000"}));
    ASSERT_EQ(1, sender.send_with_receipt(relay.addr, "SENDER", "ALL", "at the stop", 1));
    std::string log;
    EXPECT_EQ(0, relay.stop(SIGTERM, &log));
    // What the relay handed to the link arrives; the link made fast for it.
    ASSERT_TRUE(link_rate("1gbit", "change"));
    int unsent = 0;
    size_t at = log.find("stopping: ");
    ASSERT_NE(std::string::npos, at) << log;
    ASSERT_EQ(1, std::sscanf(log.c_str() + at,
                             "stopping: %d copies and notices still queued after 2000 ms not sent",
                             &unsent))
        << log;
    EXPECT_GT(unsent, 0) << log;
    EXPECT_EQ(members - unsent, sink.copies("at the stop", members - unsent)) << log;
    std::remove(scratch("users").c_str());
}

// A client whose socket is connected to the relay's second address, as one that was given that
// address connects: it takes datagrams from there only.
struct Connected : TestClient {
    explicit Connected(const NetAddr& relay) {
        sockaddr_in sa;
        std::memset(&sa, 0, sizeof sa);
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(relay.ip);
        sa.sin_port = htons(relay.port);
        connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    }
};

TEST_F(SendPath, EveryAnswerLeavesFromTheAddressTheClientWroteTo) {
    std::string users = scratch("team");
    write_file(users, "group TEAM = ANN BEN\n");
    RelayProcess relay;
    relay.bind = "0.0.0.0";
    ASSERT_TRUE(relay.start({"--users", users}));
    NetAddr second = relay.addr;
    second.ip = 0x7F000002u; // 127.0.0.2
    Connected ann(second), ben(second);
    Datagram d;

    // Ben is learned from his first message, to nobody: its receipt and notice reach him.
    ASSERT_EQ(2, ben.send_with_receipt(second, "BEN", "NOBODY", "anyone?", 1));
    // Ann's receipt, the forward to Ben, a copy of a group message, an operator's notice.
    ASSERT_EQ(1, ann.send_with_receipt(second, "ANN", "BEN", "hello ben", 2));
    ASSERT_GT(ben.recv_kind(&d, KIND_MESSAGE), 0);
    EXPECT_STREQ("hello ben", d.body);
    ASSERT_EQ(1, ann.send_with_receipt(second, "ANN", "TEAM", "team meeting", 3));
    ASSERT_GT(ben.recv_kind(&d, KIND_GREETING), 0);
    EXPECT_STREQ("team meeting", d.body);
    std::string err;
    EXPECT_EQ(
        0, run({KELTUP_SERVER, "--control", relay.control, "--notice", "ben", "Back soon."}, &err))
        << err;
    ASSERT_GT(ben.recv_kind(&d, KIND_NOTICE), 0);
    EXPECT_STREQ("Back soon.", d.body);
    EXPECT_EQ(0, relay.stop());
    std::remove(users.c_str());
}

} // namespace
