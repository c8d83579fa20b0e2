// A test socket on 127.0.0.1 plays the server against the real endpoint.
#include "core_helpers.h"
#include "udp_peer.h"

#include "protocol/endpoint.h"
#include "protocol/receive.h"
#include "settings/settings.h"
#include "shell/network.h"

#include <gtest/gtest.h>

namespace {

unsigned id_of(const std::string& d) {
    return static_cast<unsigned char>(d[4]) | (static_cast<unsigned char>(d[5]) << 8);
}

std::string receipt(unsigned id) {
    return wire('R', "SERVER", "ALICE", "", id);
}

std::vector<std::string> boxes() {
    return fake_events_with("box:");
}

class Net : public ::testing::Test {
  protected:
    void SetUp() override {
        fake_ui_reset();
        network_listen();
        empty_inbox();
        pending_arrivals = 0;
        server_port = peer_open();
        ASSERT_NE(server_port, 0);
        std::strcpy(servername, "127.0.0.1");
        remoteport = server_port;
        localport = 0; // the system picks the port; a first datagram tells the server
        std::strcpy(nick, "ALICE");
        ASSERT_EQ(network_open(0), 1);
        ASSERT_EQ(endpoint_send("hello", 5), 5);
        ASSERT_EQ(peer_drain().size(), 1u);
    }
    void TearDown() override {
        endpoint_cleanup();
        peer_close();
        empty_inbox();
        fake_ui_reset();
    }
    // Sends like the compose dialog; every sleep hands the datagrams sent so far to `serve`.
    void send(const char* body, std::function<void(const std::string& last)> serve = nullptr) {
        Datagram d;
        std::memset(&d, 0, sizeof d);
        std::strcpy(d.recipient, "BOB");
        std::strcpy(d.body, body);
        fake_on_sleep = [this, serve](int) {
            for (const std::string& s : peer_drain())
                sent.push_back(s);
            if (serve && !sent.empty()) serve(sent.back());
        };
        network_send(&d);
        fake_on_sleep = nullptr;
        for (const std::string& s : peer_drain())
            sent.push_back(s);
    }
    // Delivers datagrams to the client (the poll tests need them queued before polling).
    void deliver(const std::string& bytes) { peer_send(bytes); }

    int server_port = 0;
    std::vector<std::string> sent;
};

TEST_F(Net, SilentServerGetsTenSendsThenNoResponse) {
    random_seed(1);
    send("hello");
    ASSERT_EQ(sent.size(), 10u);
    for (const std::string& s : sent)
        EXPECT_EQ(s, sent[0]); // the same record each time
    const std::string& d = sent[0];
    ASSERT_EQ(d.size(), 76u + 5 + 1);
    EXPECT_EQ(d.substr(0, 4), "KT1M");
    EXPECT_EQ(id_of(d), 41u); // the first draw after seeding with 1
    EXPECT_STREQ(d.c_str() + 6, "ALICE");
    EXPECT_STREQ(d.c_str() + 26, "BOB");
    EXPECT_EQ(d.substr(46, 30), std::string(30, '\0'));
    EXPECT_EQ(d.substr(76), std::string("hello") + '\0');
    EXPECT_EQ(fake_events_with("sleep:"), std::vector<std::string>(10, "sleep:200"));
    EXPECT_EQ(boxes(), std::vector<std::string>{"box:Send Message:No response from server!"});
    EXPECT_EQ(fake_events.back(), "box:Send Message:No response from server!");
    EXPECT_EQ(busy_flag, 0);
}

TEST_F(Net, ReceiptEndsTheSendAndOnlyTheRightIdCounts) {
    // The right receipt after the third send: one "Message Sent", no fourth send.
    send("x", [this](const std::string& last) {
        if (sent.size() == 3) peer_send(receipt(id_of(last)));
    });
    EXPECT_EQ(sent.size(), 3u);
    EXPECT_EQ(boxes(), std::vector<std::string>{"box:Send Message:Message Sent"});
    EXPECT_EQ(busy_flag, 0);

    // Another id first: "Wrong message!" and the send goes on until the right one.
    fake_ui_reset();
    sent.clear();
    send("y", [this](const std::string& last) {
        peer_send(receipt(sent.size() == 1 ? id_of(last) ^ 0x100 : id_of(last)));
    });
    EXPECT_EQ(sent.size(), 2u);
    EXPECT_EQ(boxes(), (std::vector<std::string>{"box:Response:Wrong message!",
                                                 "box:Send Message:Message Sent"}));
    // An empty body is 77 bytes on the wire.
    EXPECT_EQ(sent[0].size(), 76u + 1 + 1);
    sent.clear();
    send("", [](const std::string& last) { peer_send(receipt(id_of(last))); });
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].size(), 77u);
}

TEST_F(Net, WaitDrainsTheWholeQueueAndFiltersByLength) {
    for (int i = 0; i < 5; ++i)
        store_bytes(wire('M', "OLD", "ALICE", "old"));
    std::string sixty = wire('M', "SIXTY", "ALICE", "");
    sixty.resize(60);
    std::string sixty_one = wire('G', "SIXTYONE", "ALICE", "");
    sixty_one.resize(61);
    int polled_in_box = -1;
    fake_on_box = [&](int, const char* text, const char*) {
        // A timer tick inside the box: the poll stands aside and the Inbox reads empty.
        if (std::string(text) == "Message Sent" && polled_in_box < 0) {
            EXPECT_EQ(busy_flag, 1);
            EXPECT_EQ(inbox_count(), 0);
            deliver(wire('M', "LATE", "ALICE", "late"));
            polled_in_box = receive_poll();
        }
    };
    send("x", [&](const std::string& last) {
        peer_send(sixty);                              // too short while waiting
        peer_send(std::string(4096, 'K'));             // too long while waiting
        peer_send("KT2M" + std::string(80, '\0'));     // no magic: skipped, drain goes on
        peer_send(wire('M', "ONE", "ALICE", "first")); // past the limit of five
        peer_send(receipt(id_of(last)));
        peer_send(sixty_one);            // queued behind the receipt
        peer_send(receipt(id_of(last))); // a second match, a second box
    });
    EXPECT_EQ(polled_in_box, 0);
    EXPECT_EQ(sent.size(), 1u);
    EXPECT_EQ(boxes(), std::vector<std::string>(2, "box:Send Message:Message Sent"));
    // ONE, SIXTYONE and LATE (read by the drain after the box, not by the poll) were stored.
    EXPECT_EQ(inbox_entries(), 8);
    EXPECT_EQ(pending_arrivals, 3);
    std::vector<std::string> senders;
    for (InboxEntry* e = inbox.head; e; e = e->next)
        senders.push_back(e->record->sender);
    EXPECT_EQ(senders[5], "ONE");
    EXPECT_EQ(senders[6], "SIXTYONE");
    EXPECT_EQ(senders[7], "LATE");

    // The same 60-byte datagram is taken by the poll.
    empty_inbox();
    deliver(sixty);
    EXPECT_EQ(receive_poll(), 1);
    ASSERT_NE(inbox.head, nullptr);
    EXPECT_STREQ(inbox.head->record->sender, "SIXTY");
}

TEST_F(Net, NoticesShowTheirOwnText) {
    deliver(wire('A', "SERVER", "ALICE", "Going down at 5 \xE9t\x01!"));
    std::string short_notice = wire('A', "SERVER", "ALICE", "");
    short_notice.resize(60);
    deliver(short_notice);
    EXPECT_EQ(receive_poll(), 0);
    EXPECT_EQ(boxes(),
              (std::vector<std::string>{"box:KelTup:Going down at 5 \xE9t\x01!", "box:KelTup:"}));
    EXPECT_EQ(inbox_entries(), 0);

    // During a send the notice's text is shown, not the message being sent.
    fake_ui_reset();
    send("my own words", [](const std::string& last) {
        peer_send(wire('A', "SERVER", "ALICE", "maintenance"));
        peer_send(receipt(id_of(last)));
    });
    EXPECT_EQ(boxes(), (std::vector<std::string>{"box:KelTup:maintenance",
                                                 "box:Send Message:Message Sent"}));
}

TEST_F(Net, PollDrainsUntilEmptyOrABadDatagram) {
    EXPECT_EQ(receive_poll(), 0); // nothing waiting

    // A receipt outside a send is consumed and ignored; messages are stored.
    deliver(receipt(5));
    deliver(wire('M', "A", "ALICE", "one"));
    deliver(wire('G', "B", "ALICE", "two"));
    EXPECT_EQ(receive_poll(), 2);
    EXPECT_EQ(fake_events_with("tray:"), std::vector<std::string>(2, "tray:set:DROMON"));

    // A short datagram ends the poll with 0; what follows it waits for the next poll.
    deliver(wire('M', "C", "ALICE", "three"));
    deliver(std::string(10, 'K'));
    deliver(wire('M', "D", "ALICE", "four"));
    EXPECT_EQ(receive_poll(), 0);
    EXPECT_EQ(inbox_entries(), 3);
    EXPECT_EQ(receive_poll(), 4);

    // A datagram longer than the poll's buffer is an error: the poll keeps its result and the
    // datagram after it waits.
    empty_inbox();
    deliver(wire('M', "E", "ALICE", "five"));
    deliver(wire('M', "F", "ALICE", std::string(5000, 'f')));
    deliver(wire('M', "G", "ALICE", "seven"));
    EXPECT_EQ(receive_poll(), 1);
    EXPECT_EQ(inbox_entries(), 1);
    EXPECT_EQ(receive_poll(), 2);

    // While busy the socket is left alone.
    deliver(wire('M', "H", "ALICE", "eight"));
    busy_flag = 1;
    EXPECT_EQ(receive_poll(), 0);
    busy_flag = 0;
    EXPECT_EQ(inbox_entries(), 2);
    EXPECT_EQ(receive_poll(), 3);
}

TEST_F(Net, FullInboxRefusesAndTheLastStoreAttemptCounts) {
    for (int i = 0; i < 4; ++i)
        store_bytes(wire('M', "OLD", "ALICE", "old"));
    fake_ui_reset();
    deliver(wire('M', "A", "ALICE", "fifth"));
    deliver(wire('M', "B", "ALICE", "sixth"));
    EXPECT_EQ(receive_poll(), 0); // the fifth was stored, the sixth refused
    EXPECT_EQ(inbox_entries(), 5);
    deliver(wire('M', "C", "ALICE", "seventh"));
    EXPECT_EQ(receive_poll(), 0);
    EXPECT_EQ(inbox_entries(), 5);
    EXPECT_EQ(fake_events, std::vector<std::string>{"tray:set:DROMON"});
}

TEST_F(Net, UnreachableServerPortReadsAsAnEmptyQueue) {
    endpoint_cleanup();
    peer_close();
    remoteport = peer_free_port();
    ASSERT_EQ(network_open(0), 1);
    send("anyone there?");
    EXPECT_EQ(fake_events_with("sleep:").size(), 10u);
    EXPECT_EQ(boxes(), std::vector<std::string>{"box:Send Message:No response from server!"});
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(receive_poll(), 0);
    EXPECT_EQ(inbox_entries(), 0);
}

TEST_F(Net, EndpointOpening) {
    // A host name resolves to IPv4.
    endpoint_cleanup();
    std::strcpy(servername, "localhost");
    ASSERT_EQ(network_open(0), 1);
    EXPECT_EQ(endpoint_is_open(), 1);
    std::string d = wire('M', "A", "B", "ping");
    EXPECT_EQ(endpoint_send(d.data(), static_cast<int>(d.size())), static_cast<int>(d.size()));
    std::vector<std::string> got = peer_drain();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], d);
    peer_send(receipt(9)); // back to where it came from
    char buf[100];
    EXPECT_EQ(endpoint_recv(buf, sizeof buf), 76 + 1);
    EXPECT_EQ(endpoint_recv(buf, sizeof buf), -1); // empty queue

    // A local port in use: "Cant bind!", and nothing is left open.
    endpoint_cleanup();
    std::strcpy(servername, "127.0.0.1");
    localport = server_port;
    fake_ui_reset();
    EXPECT_EQ(network_open(0), 0);
    EXPECT_EQ(boxes(), std::vector<std::string>{"box:KelTup:Cant bind!"});
    EXPECT_EQ(endpoint_is_open(), 0);
    EXPECT_EQ(endpoint_send(d.data(), 10), -1);
    EXPECT_EQ(endpoint_recv(buf, sizeof buf), -1);
    EXPECT_EQ(receive_poll(), 0);
}

} // namespace
