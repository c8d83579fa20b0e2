// The waiting line of notices: order, the fixed ring's wrap, and which notices give way when it
// is full.
#include <gtest/gtest.h>

#include <string>

#include "shell/notices.h"

namespace {

// Notice number i, `len` bytes long when len allows its number.
std::string numbered(int i, int len) {
    std::string s = "n" + std::to_string(i) + ":";
    s.resize(static_cast<size_t>(len) > s.size() ? static_cast<size_t>(len) : s.size(), 'x');
    return s;
}

struct LineCase {
    const char* name;
    int before;   // short notices pushed and popped first, so that the ring's start has moved on
    int count;    // notices then pushed, numbered from 0
    int len;      // their length
    int given;    // how many of them gave way
    int kept_len; // the length each comes out with
};

const LineCase kLineCases[] = {
    {"three in order", 0, 3, 2, 0, 3},
    {"exactly full", 0, NOTICE_WAITING_BYTES / NOTICE_TEXT_SIZE, NOTICE_TEXT_SIZE - 1, 0,
     NOTICE_TEXT_SIZE - 1},
    {"one more gives way to the oldest", 0, NOTICE_WAITING_BYTES / NOTICE_TEXT_SIZE + 1,
     NOTICE_TEXT_SIZE - 1, 1, NOTICE_TEXT_SIZE - 1},
    {"full across the ring's end", 1001, NOTICE_WAITING_BYTES / NOTICE_TEXT_SIZE + 2,
     NOTICE_TEXT_SIZE - 1, 2, NOTICE_TEXT_SIZE - 1},
    {"a storm of short ones fits", 0, 2000, 40, 0, 40},
    {"a longer storm keeps the newest", 37, 20000, 40, 20000 - NOTICE_WAITING_BYTES / 41, 40},
    {"an over-long text is cut", 0, 2, 3 * NOTICE_TEXT_SIZE, 0, NOTICE_TEXT_SIZE - 1},
};

} // namespace

TEST(NoticeLineTest, OrderWrapAndGivingWay) {
    static char out[NOTICE_TEXT_SIZE + 16];
    for (const LineCase& c : kLineCases) {
        SCOPED_TRACE(c.name);
        notices_reset();
        for (int i = 0; i < c.before; ++i) {
            EXPECT_EQ(notice_push(std::string(200, 'b').c_str()), 0);
            ASSERT_EQ(notice_pop(out, sizeof out), 1);
        }
        int given = 0;
        for (int i = 0; i < c.count; ++i)
            given += notice_push(numbered(i, c.len).c_str());
        EXPECT_EQ(given, c.given);
        EXPECT_EQ(notices_waiting(), c.count - c.given);
        for (int i = c.given; i < c.count; ++i) {
            ASSERT_EQ(notice_pop(out, sizeof out), 1) << i;
            std::string want = numbered(i, c.len).substr(0, static_cast<size_t>(c.kept_len));
            ASSERT_EQ(std::string(out), want) << i;
        }
        EXPECT_EQ(notice_pop(out, sizeof out), 0);
        EXPECT_EQ(notices_waiting(), 0);
    }
    // An empty text keeps its place; a short buffer takes the start of a text, terminated.
    notices_reset();
    notice_push("");
    notice_push("abcdef");
    char small[4] = "zzz";
    EXPECT_EQ(notice_pop(small, sizeof small), 1);
    EXPECT_STREQ(small, "");
    EXPECT_EQ(notice_pop(small, sizeof small), 1);
    EXPECT_STREQ(small, "abc");
    notices_reset();
}
