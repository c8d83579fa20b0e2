// The templates and the tray menu, checked against the tables the front-ends draw from.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "platform/ui.h"
#include "resources/resources.h"

namespace {

struct Expected {
    int id;
    int kind;
    int style;
    const char* text;
    int x, y, w, h;
};

void expect_template(const DialogTemplate& t, const char* name, const char* caption, int x, int y,
                     int w, int h, const char* font, int points, int system_menu,
                     const Expected* want, int count) {
    SCOPED_TRACE(name);
    EXPECT_STREQ(t.name, name);
    EXPECT_STREQ(t.caption, caption);
    EXPECT_EQ(t.x, x);
    EXPECT_EQ(t.y, y);
    EXPECT_EQ(t.w, w);
    EXPECT_EQ(t.h, h);
    EXPECT_STREQ(t.font, font);
    EXPECT_EQ(t.point_size, points);
    EXPECT_EQ(t.system_menu, system_menu);
    ASSERT_EQ(t.control_count, count);
    std::set<int> ids;
    for (int i = 0; i < count; ++i) {
        const DialogControl& c = t.controls[i];
        SCOPED_TRACE(want[i].text);
        EXPECT_EQ(c.id, want[i].id);
        EXPECT_EQ(c.kind, want[i].kind);
        EXPECT_EQ(c.style, want[i].style);
        ASSERT_NE(c.text, nullptr);
        EXPECT_STREQ(c.text, want[i].text);
        EXPECT_EQ(c.x, want[i].x);
        EXPECT_EQ(c.y, want[i].y);
        EXPECT_EQ(c.w, want[i].w);
        EXPECT_EQ(c.h, want[i].h);
        // Every control lies inside its dialog, and ids are unique within it.
        EXPECT_LE(c.x + c.w, t.w);
        EXPECT_LE(c.y + c.h, t.h);
        if (c.id != ID_NONE) {
            EXPECT_TRUE(ids.insert(c.id).second) << "duplicate id " << c.id;
        }
    }
}

} // namespace

TEST(Resources, ViewerTemplate) {
    const Expected want[] = {
        {ID_NONE, CTL_GROUP, 0, "To:", 5, 5, 109, 25},
        {1013, CTL_STATIC, 0, "", 15, 15, 90, 10},
        {ID_NONE, CTL_GROUP, 0, "From:", 120, 5, 105, 26},
        {1014, CTL_STATIC, 0, "", 130, 15, 85, 10},
        {ID_NONE, CTL_GROUP, 0, "Message", 10, 40, 205, 97},
        {1015, CTL_STATIC, ST_CENTER, "", 45, 52, 130, 10},
        {1000, CTL_EDIT, ST_MULTILINE | ST_READONLY | ST_BORDER | ST_AUTOVSCROLL, "", 19, 68, 190,
         62},
        {1009, CTL_BUTTON, 0, "<<", 25, 142, 21, 15},
        {1010, CTL_BUTTON, 0, ">>", 55, 142, 20, 15},
        {1011, CTL_BUTTON, 0, "Delete", 85, 142, 35, 15},
        {1012, CTL_BUTTON, 0, "Send", 125, 142, 35, 15},
        {1017, CTL_BUTTON, 0, "Close", 165, 142, 35, 15},
    };
    // No system menu: the viewer has no close box.
    expect_template(kShowMsg, "SHOWMSG", "KelTup - Message", 0, 0, 227, 166, "MS Sans Serif", 8, 0,
                    want, 12);
}

TEST(Resources, ComposeTemplate) {
    const Expected want[] = {
        {ID_NONE, CTL_GROUP, 0, "To:", 5, 5, 140, 30},
        {1001, CTL_COMBO, ST_UPPERCASE | ST_SORT | ST_VSCROLL, "", 30, 15, 93, 12},
        {1000, CTL_EDIT, ST_MULTILINE | ST_WANTRETURN | ST_AUTOVSCROLL | ST_BORDER, "", 5, 50, 180,
         89},
        {1007, CTL_BUTTON, 0, "Send", 155, 5, 32, 14},
        // Cancel carries id 1, so Enter outside the body closes without sending.
        {1, CTL_BUTTON, 0, "Cancel", 155, 25, 32, 14},
    };
    expect_template(kSendBox, "SENDBOX", "KelTup", 22, 17, 192, 146, "MS Sans Serif", 8, 1, want,
                    5);
}

TEST(Resources, SettingsTemplate) {
    const Expected want[] = {
        {ID_NONE, CTL_GROUP, 0, "Server:", 5, 5, 170, 55},
        {ID_NONE, CTL_STATIC, 0, "Name:", 25, 20, 25, 15},
        {1000, CTL_EDIT, ST_AUTOHSCROLL | ST_BORDER, "", 55, 20, 95, 14},
        {ID_NONE, CTL_STATIC, 0, "Port:", 25, 40, 25, 9},
        {1020, CTL_EDIT, ST_NUMBER | ST_BORDER, "", 55, 40, 24, 13},
        {ID_NONE, CTL_GROUP, 0, "You:", 5, 65, 170, 60},
        {ID_NONE, CTL_STATIC, 0, "Nick:", 25, 80, 20, 15},
        {1022, CTL_EDIT, ST_UPPERCASE | ST_BORDER, "", 55, 80, 105, 15},
        {ID_NONE, CTL_STATIC, 0, "Port:", 25, 100, 20, 15},
        {1021, CTL_EDIT, ST_NUMBER | ST_BORDER, "", 55, 100, 24, 13},
        {1023, CTL_CHECK, 0, "Pop-Up", 111, 100, 45, 15},
        {1, CTL_DEFBUTTON, 0, "OK", 30, 135, 50, 14},
        {2, CTL_BUTTON, 0, "Cancel", 103, 135, 50, 14},
    };
    expect_template(kSetBox, "SETBOX", "KelTup - Settings", 0, 0, 182, 157, "MS Sans Serif", 8, 1,
                    want, 13);
}

TEST(Resources, AboutTemplateAndStrings) {
    const Expected want[] = {
        {ID_NONE, CTL_PICTURE, 0, "113", 7, 7, 51, 17},
        {1, CTL_DEFBUTTON, 0, "OK", 71, 7, 37, 16},
        {1019, CTL_STATIC, ST_CENTER, "KelTup", 7, 31, 101, 11},
    };
    expect_template(kAboutBox, "ABOUTBOX", "About KelTup", 0, 0, 115, 49, "Verdana", 10, 1, want,
                    3);
    EXPECT_EQ(std::to_string(IDB_ABOUT), kAboutBox.controls[0].text);

    EXPECT_STREQ(kTitleString, "Generic: Sample Application");
    EXPECT_STREQ(kVersionText, "V0.9.4");
    // The About line, version, space and notice, must fit its 40-byte buffer whole.
    EXPECT_GT(strlen(kMakerNotice), 0u);
    EXPECT_LE(strlen(kVersionText) + 1 + strlen(kMakerNotice), 39u);
}

TEST(Resources, TrayMenu) {
    EXPECT_STREQ(kConMenu.name, "CONMENU1");
    EXPECT_STREQ(kConMenu.popup, "Context");
    ASSERT_EQ(kConMenu.item_count, 5);
    const char* texts[] = {"&Send", "S&ettings", "&About KelTup", nullptr, "E&xit"};
    const int commands[] = {40005, 40008, 40007, 0, 55};
    for (int i = 0; i < 5; ++i) {
        SCOPED_TRACE(i);
        if (texts[i]) {
            ASSERT_NE(kConMenu.items[i].text, nullptr);
            EXPECT_STREQ(kConMenu.items[i].text, texts[i]);
            EXPECT_EQ(kConMenu.items[i].command, commands[i]);
        } else {
            EXPECT_EQ(kConMenu.items[i].text, nullptr);
        }
    }
}
