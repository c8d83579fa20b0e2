#include "protocol/datagram.h"

#include <gtest/gtest.h>

#include <cstring>

TEST(CleanText, StopsAtNulHighByteOrLastPosition) {
    char a[8] = {'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H'}; // no terminator at all
    clean_text(a, 8);
    EXPECT_STREQ(a, "ABCDEFG");

    char b[8] = {'A', 'B', '\x80', 'D', 0, 0, 0, 0};
    clean_text(b, 8);
    EXPECT_STREQ(b, "AB");

    char c[8] = {'\xff', 'x', 0, 0, 0, 0, 0, 0};
    clean_text(c, 8);
    EXPECT_STREQ(c, "");

    // Control characters stay; the scan ends at the first NUL, later bytes are untouched.
    char d[8] = {'\x01', '\t', '\x7f', 0, 'Z', 'Z', 'Z', 'Z'};
    clean_text(d, 8);
    EXPECT_STREQ(d, "\x01\t\x7f");
    EXPECT_EQ(d[4], 'Z');

    // Sizes of one and less never write past the field.
    char e[2] = {'Q', 'R'};
    clean_text(e, 1);
    EXPECT_EQ(e[0], '\0');
    EXPECT_EQ(e[1], 'R');
    e[0] = 'Q';
    clean_text(e, 0);
    EXPECT_EQ(e[0], 'Q');
    clean_text(e, -3);
    EXPECT_EQ(e[0], 'Q');
}

TEST(Datagram, CompleteFillsHeaderAndCleansSender) {
    Datagram d;
    std::memset(&d, 0, sizeof d);
    std::strcpy(d.recipient, "BOB");
    std::strcpy(d.body, "hi");
    char nick[20];
    std::memset(nick, 'N', sizeof nick); // a full field: cleaning keeps 19 characters
    datagram_complete(&d, nick, 0x1234);
    const unsigned char* raw = reinterpret_cast<const unsigned char*>(&d);
    EXPECT_EQ(std::memcmp(raw, "KT1M", 4), 0);
    EXPECT_EQ(raw[4], 0x34);
    EXPECT_EQ(raw[5], 0x12);
    EXPECT_EQ(datagram_id(&d), 0x1234u);
    EXPECT_EQ(std::strlen(d.sender), 19u);
    EXPECT_STREQ(d.recipient, "BOB");
    for (char c : d.reserved)
        EXPECT_EQ(c, 0);
    EXPECT_EQ(datagram_send_length(&d), 76 + 2 + 1);

    d.body[0] = '\0';
    EXPECT_EQ(datagram_send_length(&d), 77);
    std::memset(d.body, 'x', sizeof d.body); // unterminated body: stays inside the record
    EXPECT_EQ(datagram_send_length(&d), RECORD_SIZE);

    // A nick with a high byte is cut there.
    std::memset(nick, 0, sizeof nick);
    std::strcpy(nick, "AL\xe9X");
    datagram_complete(&d, nick, 7);
    EXPECT_STREQ(d.sender, "AL");
}

TEST(Datagram, AcceptChecksLengthWindowAndMagic) {
    char buf[5001];
    std::memset(buf, 'z', sizeof buf);
    std::memcpy(buf, "KT1M", 4);
    EXPECT_EQ(datagram_accept(buf, 60, 60, 5000), 1);
    EXPECT_EQ(buf[60], '\0');
    EXPECT_EQ(datagram_accept(buf, 5000, 60, 5000), 1);
    EXPECT_EQ(buf[5000], '\0');
    EXPECT_EQ(datagram_accept(buf, 59, 60, 5000), 0);
    EXPECT_EQ(datagram_accept(buf, 5001, 60, 5000), 0);
    EXPECT_EQ(datagram_accept(buf, 60, 61, 4095), 0);
    EXPECT_EQ(datagram_accept(buf, 61, 61, 4095), 1);
    EXPECT_EQ(datagram_accept(buf, 4096, 61, 4095), 0);
    EXPECT_EQ(datagram_accept(buf, -1, 60, 5000), 0);
    for (const char* bad : {"kT1", "Kt1", "KT2", "XT1", "KTl"}) {
        std::memcpy(buf, bad, 3);
        EXPECT_EQ(datagram_accept(buf, 100, 60, 5000), 0) << bad;
    }
}

TEST(Random, KnownSequenceAndRange) {
    random_seed(1);
    EXPECT_EQ(random_next(), 41);
    EXPECT_EQ(random_next(), 18467);
    EXPECT_EQ(random_next(), 6334);
    EXPECT_EQ(random_next(), 26500);
    EXPECT_EQ(random_next(), 19169);
    // The state wraps modulo 2^32 and the top bit of a value is always clear.
    random_seed(0xFFFFFFFFu);
    for (int i = 0; i < 1000; ++i)
        ASSERT_EQ(random_next() & ~0x7FFF, 0);
    random_seed(12345);
    int a = random_next();
    random_seed(12345);
    EXPECT_EQ(random_next(), a);
}
