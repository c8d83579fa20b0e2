// The waiting line of notices: order, the ring's wrap, and which notices give way when it is full.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "platform/fake/fake_ui.h"
#include "shell/notices.h"

TEST(NoticeLineTest, OrderWrapAndGivingWay) {
    const int big = NOTICE_TEXT_SIZE - 1, fit = NOTICE_WAITING_BYTES / NOTICE_TEXT_SIZE;
    struct Row {
        const char* name;
        int before; // short notices pushed and popped first: the ring's start moves on
        int count, len, given, kept_len;
    } rows[] = {
        {"three in order", 0, 3, 3, 0, 3},
        {"exactly full", 0, fit, big, 0, big},
        {"one more gives way to the oldest", 0, fit + 1, big, 1, big},
        {"full across the ring's end", 1001, fit + 2, big, 2, big},
        {"a storm of short ones fits", 0, 2000, 40, 0, 40},
        {"a longer storm keeps the newest", 37, 20000, 40, 20000 - NOTICE_WAITING_BYTES / 41, 40},
        {"an over-long text is cut", 0, 2, 3 * NOTICE_TEXT_SIZE, 0, big},
    };
    static char out[NOTICE_TEXT_SIZE + 16];
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        notices_reset();
        for (int i = 0; i < r.before; ++i) {
            notice_push(std::string(200, 'b').c_str());
            notice_pop(out, sizeof out);
        }
        auto text = [&r](int i, int len) {
            std::string s = "n" + std::to_string(i) + ":";
            s.resize(static_cast<size_t>(std::max(r.len, static_cast<int>(s.size()))), 'x');
            return s.substr(0, static_cast<size_t>(len));
        };
        int given = 0;
        for (int i = 0; i < r.count; ++i)
            given += notice_push(text(i, r.len).c_str());
        EXPECT_EQ(given, r.given);
        EXPECT_EQ(notices_waiting(), r.count - r.given);
        for (int i = r.given; i < r.count; ++i) {
            ASSERT_EQ(notice_pop(out, sizeof out), 1) << i;
            ASSERT_EQ(std::string(out), text(i, r.kept_len)) << i;
        }
        EXPECT_EQ(notice_pop(out, sizeof out), 0);
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

TEST(NoticeLineTest, NoticesThatGaveWayAreCountedInTheirPlace) {
    notices_reset();
    fake_ui_reset();
    auto text = [](int i) {
        char t[16];
        snprintf(t, sizeof t, "n%05d", i);
        return std::string(t);
    };
    // The first eighth box stays up while 50,000 more arrive.
    int storm = 1;
    fake_on_box = [&text, &storm](int, const char*, const char*) {
        if (notices_open() < NOTICE_BOXES) return notice_show("up");
        for (int i = 0; storm && i < 50000; ++i)
            notice_push(text(i).c_str());
        storm = 0;
    };
    notice_show("up");
    std::vector<std::string> boxes = fake_events_with("box:");
    const int kept = NOTICE_WAITING_BYTES / 7, gave_way = 50000 - kept;
    ASSERT_EQ(boxes.size(), static_cast<size_t>(NOTICE_BOXES + 1 + kept));
    EXPECT_EQ(boxes[NOTICE_BOXES], "box:KelTup:" + std::to_string(gave_way) +
                                       " notices from the server were not kept: too many were "
                                       "waiting.");
    EXPECT_EQ(boxes[NOTICE_BOXES + 1], "box:KelTup:" + text(gave_way));
    EXPECT_EQ(boxes.back(), "box:KelTup:" + text(49999));
    fake_ui_reset();
    notices_reset();
}
