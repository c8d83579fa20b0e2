// The real keltup-server on 127.0.0.1 with a small directory, flooded with forged nicknames from
// many source ports.
#include "protocol/datagram.h"
#include "server/net.h"
#include "tests/server/child_process.h"
#include "tests/server/relay_process.h"
#include "tests/server/test_client.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

// Bounds against hangs only; nothing here measures how long anything takes.
const int kWaitMs = 5000;

// Resident memory of a process in kB, from /proc.
long resident_kb(pid_t pid) {
    FILE* f = std::fopen(("/proc/" + std::to_string(pid) + "/status").c_str(), "r");
    if (f == nullptr) return -1;
    char line[256];
    long kb = -1;
    while (std::fgets(line, sizeof line, f) != nullptr)
        if (std::sscanf(line, "VmRSS: %ld", &kb) == 1) break;
    std::fclose(f);
    return kb;
}

// Clients that wait at most this test's bound.
struct Client : TestClient {
    Client() : TestClient(kWaitMs) {}
};

TEST(RelayDirectory, AFloodOfForgedNicknamesNeitherEvictsTheActiveNorGrowsTheRelay) {
    RelayProcess relay;
    // 32 slots, a 2 s lease, no rate limit and every port of this host allowed its nicknames: only
    // the size of the directory stands in the flood's way.
    ASSERT_TRUE(relay.start(
        {"--max-users", "32", "--max-users-per-address", "100000", "--lease", "2", "--rate", "0"}));
    ASSERT_NE("", relay.wait_log("started on"));
    Client alice, bob, carol;
    Datagram d;
    // Bob makes himself known once, then only reads.
    ASSERT_EQ(2, bob.send_with_receipt(relay.addr, "BOB", "NOBODY", "here", 1));
    ASSERT_EQ(1, alice.send_with_receipt(relay.addr, "ALICE", "BOB", "before", 1));
    ASSERT_TRUE(bob.receives("before"));
    long before = resident_kb(relay.child.pid);
    ASSERT_GT(before, 0);

    // 100 ports, each sending under 100 invented nicknames; Alice writes to Bob all along.
    std::vector<std::unique_ptr<Client>> flood;
    for (int i = 0; i < 100; ++i)
        flood.emplace_back(new Client());
    char nick[NICK_SIZE], body[32];
    int answered = 0;
    for (int round = 0; round < 100; ++round) {
        for (int i = 0; i < 100; ++i) {
            std::snprintf(nick, sizeof nick, "FORGED%d_%d", i, round);
            flood[static_cast<size_t>(i)]->send(relay.addr, nick, "NOBODY", "", 1);
        }
        // Each is answered with its receipt and the notice that NOBODY is unknown.
        for (int i = 0; i < 100; ++i) {
            Client& c = *flood[static_cast<size_t>(i)];
            answered += c.recv(&d, 1000) > 0 && d.kind == KIND_RECEIPT;
            c.recv(&d, 1000);
        }
        if (round % 10 != 9) continue;
        std::snprintf(body, sizeof body, "during %d", round);
        ASSERT_EQ(1, alice.send_with_receipt(relay.addr, "ALICE", "BOB", body,
                                             static_cast<unsigned>(round)))
            << round;
        ASSERT_TRUE(bob.receives(body)) << round;
    }

    // A newcomer is learned once the forged nicknames' leases have run out: until then Alice's
    // message to Carol is answered with a notice.
    int learned = 0;
    for (int tries = 0; tries < 200 && !learned; ++tries) {
        carol.send_with_receipt(relay.addr, "CAROL", "NOBODY", "me too", 1000 + tries);
        std::snprintf(body, sizeof body, "to carol %d", tries);
        learned = alice.send_with_receipt(relay.addr, "ALICE", "CAROL", body, 2000 + tries) == 1;
        if (!learned) carol.recv(&d, 50); // a pause while the leases run
    }
    ASSERT_TRUE(learned);
    ASSERT_TRUE(carol.receives(body));
    ASSERT_EQ(1, alice.send_with_receipt(relay.addr, "ALICE", "BOB", "after", 3000));
    ASSERT_TRUE(bob.receives("after"));

    // 10,000 nicknames later the relay is the size it was; a per-nickname allocation of even 32
    // bytes would have shown.
    EXPECT_LT(9000, answered);
    long after = resident_kb(relay.child.pid);
    EXPECT_LE(after, before + 256) << before << " kB before, " << after << " kB after";
    std::string log;
    relay.stop(SIGTERM, &log);
    EXPECT_NE(std::string::npos, log.find("directory full: 32 nicknames")) << log;
    EXPECT_EQ(log.find("directory full"), log.rfind("directory full")) << log; // once a minute
}

} // namespace
