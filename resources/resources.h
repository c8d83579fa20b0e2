// Dialog templates, the tray menu, strings and image names, described once as data. Every
// front-end builds its windows from these tables; places and sizes are in dialog units.
#pragma once

enum ControlKind {
    CTL_GROUP = 1, // group box (frame with a title)
    CTL_STATIC,    // text label
    CTL_EDIT,      // edit field
    CTL_BUTTON,    // push button
    CTL_DEFBUTTON, // default push button (Enter presses it)
    CTL_CHECK,     // automatic check box
    CTL_COMBO,     // drop-down combo box (editable)
    CTL_PICTURE,   // static picture; text names the image resource
};

enum ControlStyle {
    ST_CENTER = 1 << 0,    // centred text (statics)
    ST_UPPERCASE = 1 << 1, // typed letters become upper case
    ST_NUMBER = 1 << 2,    // only digits can be typed
    ST_MULTILINE = 1 << 3, // several lines
    ST_READONLY = 1 << 4,  // the user cannot change the text
    ST_AUTOHSCROLL = 1 << 5,
    ST_AUTOVSCROLL = 1 << 6,
    ST_WANTRETURN = 1 << 7, // Enter makes a new line instead of pressing a button
    ST_BORDER = 1 << 8,
    ST_SORT = 1 << 9,     // sorted list (combo box)
    ST_VSCROLL = 1 << 10, // vertical scroll bar
};

// The standard command ids: OK (and Enter without a default button), Cancel (and Esc or the close
// box).
enum { UI_IDOK = 1, UI_IDCANCEL = 2 };

enum { ID_NONE = -1 };

struct DialogControl {
    int id; // ID_NONE for labels and frames
    int kind;
    int style;
    const char* text;
    int x, y, w, h;
};

struct DialogTemplate {
    const char* name;
    const char* caption;
    int x, y, w, h;
    const char* font;
    int point_size;
    int system_menu; // title bar with system menu and close box
    const DialogControl* controls;
    int control_count;
};

struct MenuItem {
    const char* text; // nullptr for a separator
    int command;
};

struct MenuTemplate {
    const char* name;
    const char* popup; // title of the one pop-up
    const MenuItem* items;
    int item_count;
};

// Control ids.
enum {
    IDC_BODY = 1000,
    IDC_TO_COMBO = 1001,
    IDC_SEND = 1007,
    IDC_PREV = 1009,
    IDC_NEXT = 1010,
    IDC_DELETE = 1011,
    IDC_REPLY = 1012,
    IDC_TO = 1013,
    IDC_FROM = 1014,
    IDC_TIME = 1015,
    IDC_CLOSE = 1017,
    IDC_ABOUT_TEXT = 1019,
    IDC_SERVER = 1000,
    IDC_REMOTEPORT = 1020,
    IDC_LOCALPORT = 1021,
    IDC_NICK = 1022,
    IDC_POPUP = 1023,
};

// Tray menu commands.
enum { CMD_SEND = 40005, CMD_ABOUT = 40007, CMD_SETTINGS = 40008, CMD_EXIT = 55 };

// Timers.
enum { TIMER_POLL = 65, TIMER_VIEWER = 66 };

// The tray callback message number.
enum { TRAY_CALLBACK = 99 };

// Image resources.
#define ICON_ON "DROMON"
#define ICON_OFF "DROMOFF"
enum { IDB_ABOUT = 113 };

// Strings.
enum { IDS_TITLE = 500 };
extern const char* const kTitleString; // string 500
extern const char* const kVersionText; // "V0.9.4"
extern const char* const kMakerNotice; // the About line's notice

// Names for controls whose template gives them no words of their own (a picture, a field with no
// label before it, a button drawn with symbols). Front-ends that name their controls for screen
// readers take the name from the label or group box before a control, and from here otherwise.
struct ControlDescription {
    const DialogTemplate* dialog;
    int id;   // the control's id, or ID_NONE for the one control of that kind without an id
    int kind; // the control's kind
    const char* name;
};
extern const ControlDescription kControlDescriptions[];
extern const int kControlDescriptionCount;

extern const DialogTemplate kShowMsg;  // SHOWMSG, the viewer
extern const DialogTemplate kSendBox;  // SENDBOX, compose
extern const DialogTemplate kSetBox;   // SETBOX, settings
extern const DialogTemplate kAboutBox; // ABOUTBOX
extern const MenuTemplate kConMenu;    // CONMENU1, the tray menu
