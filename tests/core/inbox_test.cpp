#include "core_helpers.h"
#include "inbox/viewer.h"
#include "protocol/busy.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <vector>

namespace {

int store(const std::string& bytes) {
    return store_bytes(bytes);
}

int store_from(const char* from) {
    return store(wire('M', from, "ME", std::string("hi ") + from));
}

class InboxTest : public ::testing::Test {
  protected:
    void SetUp() override {
        empty_inbox();
        fake_ui_reset();
    }
    void TearDown() override { empty_inbox(); }
};

TEST_F(InboxTest, StoreAppendsLinksAndSwitchesTheIcon) {
    EXPECT_EQ(inbox_count(), 0);
    EXPECT_EQ(store_from("A"), 1);
    EXPECT_EQ(fake_events, std::vector<std::string>{"tray:set:DROMON"});
    EXPECT_EQ(store_from("B"), 2);
    EXPECT_EQ(store_from("C"), 3);
    EXPECT_EQ(inbox_count(), 3);
    InboxEntry* a = inbox.head;
    ASSERT_NE(a, nullptr);
    EXPECT_STREQ(a->record->sender, "A");
    EXPECT_EQ(a->prev, nullptr);
    ASSERT_NE(a->next, nullptr);
    EXPECT_STREQ(a->next->record->sender, "B");
    EXPECT_EQ(a->next->prev, a);
    EXPECT_STREQ(a->next->next->record->sender, "C");
    EXPECT_EQ(a->next->next->next, nullptr);
    EXPECT_STREQ(a->next->next->record->body, "hi C");
}

TEST_F(InboxTest, LimitOfFiveAndTheBusyFlag) {
    for (int i = 1; i <= 5; ++i)
        EXPECT_EQ(store_from("X"), i);
    fake_events.clear();
    EXPECT_EQ(store_from("Y"), 0); // the sixth is refused, silently
    EXPECT_EQ(inbox_entries(), 5);
    EXPECT_TRUE(fake_events.empty());

    // While busy the count reads 0, and stores go past the limit with the true number.
    busy_flag = 1;
    EXPECT_EQ(inbox_count(), 0);
    EXPECT_EQ(store_from("Z"), 6);
    EXPECT_EQ(store_from("Z"), 7);
    EXPECT_EQ(inbox_count(), 0);
    busy_flag = 0;
    EXPECT_EQ(inbox_count(), 7);
    EXPECT_EQ(store_from("W"), 0);
}

TEST_F(InboxTest, RemoveCurrentRelinksAndMovesHead) {
    // Only entry: the Inbox empties and the icon goes off.
    store_from("A");
    inbox.current = inbox.head;
    fake_events.clear();
    EXPECT_EQ(viewer_delete_current(), 0);
    EXPECT_EQ(inbox.head, nullptr);
    EXPECT_EQ(inbox.current, nullptr);
    EXPECT_EQ(fake_events, std::vector<std::string>{"tray:set:DROMOFF"});
    EXPECT_EQ(busy_flag, 0);

    // Oldest of three: the second becomes current and head.
    store_from("A");
    store_from("B");
    store_from("C");
    inbox.current = inbox.head;
    EXPECT_EQ(viewer_delete_current(), 1);
    EXPECT_STREQ(inbox.current->record->sender, "B");
    EXPECT_EQ(inbox.head, inbox.current);
    EXPECT_EQ(inbox.head->prev, nullptr);
    EXPECT_EQ(inbox_count(), 2);
    empty_inbox();

    // Middle of three: the oldest is current, head stays the oldest.
    store_from("A");
    store_from("B");
    store_from("C");
    inbox.current = inbox.head->next;
    EXPECT_EQ(viewer_delete_current(), 1);
    EXPECT_STREQ(inbox.current->record->sender, "A");
    EXPECT_EQ(inbox.head, inbox.current);
    EXPECT_STREQ(inbox.head->next->record->sender, "C");
    EXPECT_EQ(inbox.head->next->prev, inbox.head);
    empty_inbox();

    // Newest of three: the middle one is shown, the head is still the oldest.
    store_from("A");
    store_from("B");
    store_from("C");
    inbox.current = inbox.head->next->next;
    fake_events.clear();
    EXPECT_EQ(viewer_delete_current(), 1);
    EXPECT_STREQ(inbox.current->record->sender, "B");
    EXPECT_STREQ(inbox.head->record->sender, "A");
    EXPECT_EQ(inbox.current->next, nullptr);
    EXPECT_TRUE(fake_events.empty()); // the icon changes only when the Inbox empties
    EXPECT_EQ(inbox_count(), 2);
}

TEST_F(InboxTest, RemoveDuringASendKeepsTheSendsHold) {
    store_from("A");
    store_from("B");
    busy_flag = 1; // a send waits for its receipt
    inbox.current = inbox.head;
    inbox_remove_current();
    EXPECT_EQ(busy_flag, 1);
    inbox.current = inbox.head;
    inbox_remove_current();
    EXPECT_EQ(busy_flag, 1);
    busy_flag = 0;
}

TEST_F(InboxTest, StoredRecordIsCleanedAndBounded) {
    // A 60-byte datagram: its NUL lands in the reserved field, the nicknames stay whole; the
    // zeroed buffer gives an empty body.
    std::string d = wire('M', "SENDERNAME", "RECIPIENT", "");
    d.resize(60);
    ASSERT_EQ(store(d), 1);
    EXPECT_STREQ(inbox.head->record->sender, "SENDERNAME");
    EXPECT_STREQ(inbox.head->record->recipient, "RECIPIENT");
    EXPECT_STREQ(inbox.head->record->body, "");
    empty_inbox();

    // Unterminated 20-byte nicknames keep 19 characters; a long body keeps 999.
    std::string big(HEADER_SIZE, '\0');
    std::memcpy(&big[0], "KT1M", 4);
    std::memset(&big[6], 'S', 20);
    std::memset(&big[26], 'R', 20);
    big += std::string(1500, 'b');
    ASSERT_EQ(store(big), 1);
    Datagram* r = inbox.head->record;
    EXPECT_EQ(std::strlen(r->sender), 19u);
    EXPECT_EQ(std::strlen(r->recipient), 19u);
    EXPECT_EQ(std::strlen(r->body), 999u);
    EXPECT_EQ(reinterpret_cast<char*>(r)[1075], '\0');
    empty_inbox();

    // High bytes cut every field there; control characters stay.
    ASSERT_EQ(store(wire('G', "AB\xC3X", "\x80", "one\ttwo\xff three")), 1);
    r = inbox.head->record;
    EXPECT_STREQ(r->sender, "AB");
    EXPECT_STREQ(r->recipient, "");
    EXPECT_STREQ(r->body, "one\ttwo");
    empty_inbox();

    // G and M with the same fields give the same entry, apart from the kind byte.
    store(wire('G', "FROM", "TO", "same", 77));
    store(wire('M', "FROM", "TO", "same", 77));
    Datagram g = *inbox.head->record;
    Datagram m = *inbox.head->next->record;
    EXPECT_EQ(g.kind, 'G');
    g.kind = 'M';
    EXPECT_EQ(std::memcmp(&g, &m, sizeof g), 0);
}

TEST_F(InboxTest, StoredTimeTextIsAsctimeForm) {
    ASSERT_EQ(store_from("A"), 1);
    const char* t = inbox.head->time_text;
    ASSERT_EQ(std::strlen(t), 25u);
    EXPECT_EQ(t[24], '\n');
    EXPECT_EQ(t[3], ' ');
    EXPECT_EQ(t[7], ' ');
    EXPECT_NE(t[8], ' '); // the day is zero-padded, never blank-padded
    EXPECT_EQ(t[13], ':');
    EXPECT_EQ(t[16], ':');
    for (int i = 25; i < 48; ++i)
        EXPECT_EQ(t[i], '\0') << i;
}

void use_utc() {
#ifdef _WIN32
    _putenv_s("TZ", "UTC0");
    _tzset();
#else
    setenv("TZ", "UTC0", 1);
    tzset();
#endif
}

TEST(TimeText, EnglishNamesZeroPaddedDay) {
    use_utc();
    char out[32];
    std::memset(out, 'x', sizeof out);
    format_time_text(0, out);
    EXPECT_STREQ(out, "Thu Jan 01 00:00:00 1970\n");
    format_time_text(1893553445LL, out);
    EXPECT_STREQ(out, "Wed Jan 02 03:04:05 2030\n");
    format_time_text(951868799LL, out);
    EXPECT_STREQ(out, "Tue Feb 29 23:59:59 2000\n");
    format_time_text(4102444799LL, out);
    EXPECT_STREQ(out, "Thu Dec 31 23:59:59 2099\n");
    EXPECT_EQ(out[25], '\0');
}

} // namespace
