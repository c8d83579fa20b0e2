// The dialog templates, the tray menu and the strings, as data. Places and sizes are in dialog
// units; the front-ends scale them by the template's font.
#include "resources/resources.h"

const char* const kTitleString = "Generic: Sample Application";
const char* const kVersionText = "V0.9.4";
const char* const kMakerNotice = "by the KelTup team";

#define COUNT(a) static_cast<int>(sizeof(a) / sizeof((a)[0]))

static const DialogControl kShowMsgControls[] = {
    {ID_NONE, CTL_GROUP, 0, "To:", 5, 5, 109, 25},
    {IDC_TO, CTL_STATIC, 0, "", 15, 15, 90, 10},
    {ID_NONE, CTL_GROUP, 0, "From:", 120, 5, 105, 26},
    {IDC_FROM, CTL_STATIC, 0, "", 130, 15, 85, 10},
    {ID_NONE, CTL_GROUP, 0, "Message", 10, 40, 205, 97},
    {IDC_TIME, CTL_STATIC, ST_CENTER, "", 45, 52, 130, 10},
    {IDC_BODY, CTL_EDIT, ST_MULTILINE | ST_READONLY | ST_BORDER | ST_AUTOVSCROLL, "", 19, 68, 190,
     62},
    {IDC_PREV, CTL_BUTTON, 0, "<<", 25, 142, 21, 15},
    {IDC_NEXT, CTL_BUTTON, 0, ">>", 55, 142, 20, 15},
    {IDC_DELETE, CTL_BUTTON, 0, "Delete", 85, 142, 35, 15},
    {IDC_REPLY, CTL_BUTTON, 0, "Send", 125, 142, 35, 15},
    {IDC_CLOSE, CTL_BUTTON, 0, "Close", 165, 142, 35, 15},
};

const DialogTemplate kShowMsg = {
    "SHOWMSG",        "KelTup - Message",      0, 0, 227, 166, "MS Sans Serif", 8, 0,
    kShowMsgControls, COUNT(kShowMsgControls),
};

static const DialogControl kSendBoxControls[] = {
    {ID_NONE, CTL_GROUP, 0, "To:", 5, 5, 140, 30},
    {IDC_TO_COMBO, CTL_COMBO, ST_UPPERCASE | ST_SORT | ST_VSCROLL, "", 30, 15, 93, 12},
    {IDC_BODY, CTL_EDIT, ST_MULTILINE | ST_WANTRETURN | ST_AUTOVSCROLL | ST_BORDER, "", 5, 50, 180,
     89},
    {IDC_SEND, CTL_BUTTON, 0, "Send", 155, 5, 32, 14},
    {UI_IDOK, CTL_BUTTON, 0, "Cancel", 155, 25, 32, 14},
};

const DialogTemplate kSendBox = {
    "SENDBOX",
    "KelTup",
    22,
    17,
    192,
    146,
    "MS Sans Serif",
    8,
    1,
    kSendBoxControls,
    COUNT(kSendBoxControls),
};

static const DialogControl kSetBoxControls[] = {
    {ID_NONE, CTL_GROUP, 0, "Server:", 5, 5, 170, 55},
    {ID_NONE, CTL_STATIC, 0, "Name:", 25, 20, 25, 15},
    {IDC_SERVER, CTL_EDIT, ST_AUTOHSCROLL | ST_BORDER, "", 55, 20, 95, 14},
    {ID_NONE, CTL_STATIC, 0, "Port:", 25, 40, 25, 9},
    {IDC_REMOTEPORT, CTL_EDIT, ST_NUMBER | ST_BORDER, "", 55, 40, 24, 13},
    {ID_NONE, CTL_GROUP, 0, "You:", 5, 65, 170, 60},
    {ID_NONE, CTL_STATIC, 0, "Nick:", 25, 80, 20, 15},
    {IDC_NICK, CTL_EDIT, ST_UPPERCASE | ST_BORDER, "", 55, 80, 105, 15},
    {ID_NONE, CTL_STATIC, 0, "Port:", 25, 100, 20, 15},
    {IDC_LOCALPORT, CTL_EDIT, ST_NUMBER | ST_BORDER, "", 55, 100, 24, 13},
    {IDC_POPUP, CTL_CHECK, 0, "Pop-Up", 111, 100, 45, 15},
    {UI_IDOK, CTL_DEFBUTTON, 0, "OK", 30, 135, 50, 14},
    {UI_IDCANCEL, CTL_BUTTON, 0, "Cancel", 103, 135, 50, 14},
};

const DialogTemplate kSetBox = {
    "SETBOX",        "KelTup - Settings",    0, 0, 182, 157, "MS Sans Serif", 8, 1,
    kSetBoxControls, COUNT(kSetBoxControls),
};

// The picture control names its image by resource number.
static const DialogControl kAboutBoxControls[] = {
    {ID_NONE, CTL_PICTURE, 0, "113", 7, 7, 51, 17},
    {UI_IDOK, CTL_DEFBUTTON, 0, "OK", 71, 7, 37, 16},
    {IDC_ABOUT_TEXT, CTL_STATIC, ST_CENTER, "KelTup", 7, 31, 101, 11},
};

// The position is replaced at initialisation: the dialog centres itself over its owner.
const DialogTemplate kAboutBox = {
    "ABOUTBOX",        "About KelTup",           0, 0, 115, 49, "Verdana", 10, 1,
    kAboutBoxControls, COUNT(kAboutBoxControls),
};

const ControlDescription kControlDescriptions[] = {
    {&kShowMsg, IDC_TIME, CTL_STATIC, "Received"},
    {&kShowMsg, IDC_BODY, CTL_EDIT, "Message text"},
    {&kShowMsg, IDC_PREV, CTL_BUTTON, "Previous message"},
    {&kShowMsg, IDC_NEXT, CTL_BUTTON, "Next message"},
    {&kSendBox, IDC_BODY, CTL_EDIT, "Message text"},
    {&kAboutBox, ID_NONE, CTL_PICTURE, "KelTup logo"},
};
const int kControlDescriptionCount = COUNT(kControlDescriptions);

static const MenuItem kConMenuItems[] = {
    {"&Send", CMD_SEND}, {"S&ettings", CMD_SETTINGS}, {"&About KelTup", CMD_ABOUT},
    {nullptr, 0},        {"E&xit", CMD_EXIT},
};

const MenuTemplate kConMenu = {"CONMENU1", "Context", kConMenuItems, COUNT(kConMenuItems)};
