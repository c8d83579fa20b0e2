// The core alone, linked without any UI layer: the poll and the send hand what they accept to a
// sink of the test's own and go by its answers; the endpoint returns why it failed.
#include "udp_peer.h"

#include "inbox/inbox.h"
#include "protocol/arrivals.h"
#include "protocol/busy.h"
#include "protocol/endpoint.h"
#include "protocol/receive.h"
#include "protocol/send.h"
#include "settings/settings.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

struct Seen {
    char kind;
    int len;
    int sending;
    unsigned id;
    int busy; // the busy flag while the sink ran
};

std::vector<Seen> seen;
// The sink's answer to each datagram, by default ARRIVAL_OTHER.
std::function<int(const Arrival*)> answer;

int record(const Arrival* a) {
    seen.push_back({a->buf[3], a->len, a->sending, a->id, busy_flag});
    return answer ? answer(a) : ARRIVAL_OTHER;
}

std::string datagram(char kind, unsigned id, const std::string& body) {
    std::string d(HEADER_SIZE, '\0');
    std::memcpy(&d[0], "KT1", 3);
    d[3] = kind;
    d[4] = static_cast<char>(id & 0xFF);
    d[5] = static_cast<char>((id >> 8) & 0xFF);
    return d + body + '\0';
}

unsigned id_of(const std::string& d) {
    return static_cast<unsigned char>(d[4]) | (static_cast<unsigned char>(d[5]) << 8);
}

std::vector<std::string> sent;
std::function<void()> on_wait;
std::vector<int> waits;

void wait(int ms) {
    waits.push_back(ms);
    for (const std::string& s : peer_drain())
        sent.push_back(s);
    if (on_wait) on_wait();
}

class CoreArrivals : public ::testing::Test {
  protected:
    void SetUp() override {
        seen.clear();
        sent.clear();
        waits.clear();
        answer = nullptr;
        on_wait = nullptr;
        busy_flag = 0;
        arrivals_set_sink(record);
        int port = peer_open();
        ASSERT_NE(port, 0);
        std::strcpy(servername, "127.0.0.1");
        remoteport = port;
        localport = 0;
        std::strcpy(nick, "ALICE");
        ASSERT_EQ(endpoint_open(nullptr), 1);
        ASSERT_EQ(endpoint_send("hello", 5), 5); // tells the peer where the client is
        ASSERT_EQ(peer_drain().size(), 1u);
    }
    void TearDown() override {
        arrivals_set_sink(nullptr);
        endpoint_cleanup();
        peer_close();
    }
    int send(const char* body) {
        Datagram d;
        std::memset(&d, 0, sizeof d);
        std::strcpy(d.recipient, "BOB");
        std::strcpy(d.body, body);
        return send_message(&d, wait);
    }
};

TEST_F(CoreArrivals, PollHandsEveryDatagramAndKeepsTheLastStoreAnswer) {
    std::vector<int> stores = {3, 0};
    answer = [&](const Arrival* a) {
        if (a->buf[3] != 'M') return static_cast<int>(ARRIVAL_OTHER);
        int n = stores.front();
        stores.erase(stores.begin());
        return n;
    };
    peer_send(datagram('R', 5, ""));
    peer_send(datagram('M', 0, "one"));
    peer_send(datagram('A', 0, "notice"));
    peer_send(datagram('M', 0, "two"));
    peer_send(datagram('X', 0, ""));
    // The second store's 0 replaces the first's 3; the kinds after it leave it.
    EXPECT_EQ(receive_poll(), 0);
    ASSERT_EQ(seen.size(), 5u);
    std::string kinds;
    for (const Seen& s : seen) {
        kinds += s.kind;
        EXPECT_EQ(s.sending, 0);
        EXPECT_EQ(s.busy, 0);
    }
    EXPECT_EQ(kinds, "RMAMX");
    EXPECT_EQ(seen[1].len, HEADER_SIZE + 4);
    // The core stored nothing itself.
    EXPECT_EQ(inbox.head, nullptr);
}

TEST_F(CoreArrivals, PollStopsAtABadDatagramAndStandsAsideWhileBusy) {
    answer = [](const Arrival*) { return 1; };
    peer_send(datagram('M', 0, "first"));
    peer_send(std::string(10, 'K'));
    peer_send(datagram('M', 0, "after"));
    EXPECT_EQ(receive_poll(), 0);
    EXPECT_EQ(seen.size(), 1u);
    EXPECT_EQ(receive_poll(), 1);
    EXPECT_EQ(seen.size(), 2u);

    peer_send(datagram('M', 0, "held"));
    busy_flag = 1;
    EXPECT_EQ(receive_poll(), 0);
    busy_flag = 0;
    EXPECT_EQ(seen.size(), 2u);
    EXPECT_EQ(receive_poll(), 1);
    EXPECT_EQ(seen.size(), 3u);

    // Without a sink the datagrams are drained and dropped.
    arrivals_set_sink(nullptr);
    peer_send(datagram('M', 0, "nobody takes it"));
    EXPECT_EQ(receive_poll(), 0);
    arrivals_set_sink(record);
    EXPECT_EQ(receive_poll(), 0);
    EXPECT_EQ(seen.size(), 3u);
}

TEST_F(CoreArrivals, SendEndsWhenTheSinkConfirmsAndSkipsBadDatagrams) {
    answer = [](const Arrival* a) {
        if (a->buf[3] == 'R' && id_of(a->buf) == a->id) return static_cast<int>(ARRIVAL_CONFIRMED);
        return static_cast<int>(ARRIVAL_OTHER);
    };
    on_wait = [] {
        if (waits.size() != 2) return;
        std::string sixty = datagram('M', 0, "");
        sixty.resize(60); // the wait takes 61 bytes and more
        peer_send(sixty);
        peer_send(datagram('R', id_of(sent.back()) ^ 1, ""));
        peer_send(datagram('A', 0, "note"));
        peer_send(datagram('R', id_of(sent.back()), ""));
    };
    EXPECT_EQ(send("hi"), 1);
    EXPECT_EQ(sent.size(), 2u);
    EXPECT_EQ(waits, std::vector<int>(2, 200));
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(std::string() + seen[0].kind + seen[1].kind + seen[2].kind, "RAR");
    for (const Seen& s : seen) {
        EXPECT_EQ(s.sending, 1);
        EXPECT_EQ(s.id, id_of(sent[0]));
        EXPECT_EQ(s.busy, 1);
    }
    EXPECT_EQ(busy_flag, 0);
}

TEST_F(CoreArrivals, OnlyTheSinkConfirms) {
    // The right receipt, but the sink does not confirm it: ten tries, and 0.
    on_wait = [] { peer_send(datagram('R', id_of(sent.back()), "")); };
    EXPECT_EQ(send("hi"), 0);
    EXPECT_EQ(sent.size(), 10u);
    EXPECT_EQ(waits, std::vector<int>(10, 200));
    EXPECT_EQ(seen.size(), 10u);
    EXPECT_EQ(busy_flag, 0);
}

TEST_F(CoreArrivals, EndpointReturnsWhyItFailed) {
    endpoint_cleanup();
    localport = remoteport; // the peer holds that port
    EndpointFailure failure = {nullptr, nullptr, -1};
    EXPECT_EQ(endpoint_open(&failure), 0);
    EXPECT_STREQ(failure.text, "Cant bind!");
    EXPECT_STREQ(failure.caption, "KelTup");
    EXPECT_EQ(failure.fatal, 0);
    EXPECT_EQ(endpoint_is_open(), 0);
}

} // namespace
