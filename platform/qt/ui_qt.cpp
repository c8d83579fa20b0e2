// The UI layer on Qt 6 Widgets. It only draws and maps events: dialogs are built from the shared
// templates, keys and buttons become commands the way the Win32 dialog manager makes them, and
// every modal dialog and message box runs a nested event loop in which the main window's timer and
// the tray icon keep being served. Text crosses this layer as 8-bit bytes, one character each.
#include "platform/qt/ui_qt.h"

#include "resources/resources.h"

#include <QApplication>
#include <QGuiApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QCursor>
#include <QDialog>
#include <QDir>
#include <QEventLoop>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QGridLayout>
#include <QGroupBox>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QSpacerItem>
#include <QStandardPaths>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QValidator>

#include <xcb/xcb.h>

#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <time.h>

// The embedded images live in this static library; their registration must be called for.
static void init_images() {
    Q_INIT_RESOURCE(keltup_images);
}

namespace {

enum { MAX_WINDOWS = 32, MAX_CONTROLS = 32, MAX_TIMERS = 8 };

struct QtControl {
    int id;
    int kind;
    int style;
    QWidget* widget;
};

struct QtTimer {
    int id; // 0: free
    QTimer* timer;
    int pending; // a tick is queued and not yet delivered
};

struct QtWindow {
    UiWnd handle; // 0: free slot
    QWidget* widget;
    int is_main;
    const DialogTemplate* tpl;
    UiDialogProc proc;
    int ended;
    int code;
    QEventLoop* loop;
    int default_id;
    QtControl controls[MAX_CONTROLS];
    int control_count;
    QtTimer timers[MAX_TIMERS];
};

QtWindow windows[MAX_WINDOWS];
UiWnd last_handle;
UiWnd dialog_stack[MAX_WINDOWS];
int dialog_depth;

UiQtMainEvents main_events;
int quitting;
int quit_code;

QSystemTrayIcon* tray;
QTimer* tray_watch;
int tray_docked;
int tray_said_missing;
QPointer<QMessageBox> no_tray_box;

char runtime_dir[512];
QLockFile* single_lock;
QLocalServer* single_server;

QString from_bytes(const char* s) {
    return QString::fromLatin1(s ? s : "");
}

// One byte per character: Latin-1 stays as it is, anything beyond it becomes 0x80 so that the
// bounded-text rule cuts a message there just as it does at any other non-ASCII character.
void to_bytes(const QString& s, char* buf, int size) {
    if (!buf || size <= 0) return;
    int n = 0;
    for (QChar c : s) {
        if (n >= size - 1) break;
        ushort u = c.unicode();
        if (u == 0) break;
        buf[n++] = (char)(u < 0x100 ? u : 0x80);
    }
    buf[n] = 0;
}

QtWindow* find_window(UiWnd h) {
    if (h == 0) return nullptr;
    for (QtWindow& w : windows)
        if (w.handle == h) return &w;
    return nullptr;
}

QtWindow* new_window() {
    for (QtWindow& w : windows) {
        if (w.handle == 0) {
            w = QtWindow();
            w.handle = ++last_handle;
            return &w;
        }
    }
    return nullptr;
}

QtControl* find_control(QtWindow* w, int id) {
    if (!w) return nullptr;
    for (int i = 0; i < w->control_count; i++)
        if (w->controls[i].id == id) return &w->controls[i];
    return nullptr;
}

QtControl* control_of_widget(QtWindow* w, QObject* o) {
    for (; o; o = o->parent()) {
        for (int i = 0; i < w->control_count; i++)
            if (w->controls[i].widget == o) return &w->controls[i];
        if (o == w->widget) return nullptr;
    }
    return nullptr;
}

void dispatch_command(UiWnd h, int id) {
    QtWindow* w = find_window(h);
    if (!w || !w->proc || w->ended || quitting) return;
    w->proc(h, UI_COMMAND, id);
}

// Enter as the Win32 dialog manager takes it: a focused push button is pressed, otherwise the
// default button's id (1 when there is none) is sent. `target` has the keyboard focus.
void dispatch_enter(QtWindow* w, QObject* target) {
    QtControl* c = target ? control_of_widget(w, target) : nullptr;
    if (c && (c->kind == CTL_BUTTON || c->kind == CTL_DEFBUTTON)) {
        dispatch_command(w->handle, c->id);
        return;
    }
    dispatch_command(w->handle, w->default_id ? w->default_id : UI_IDOK);
}

// Typed text kept to what a Win32 edit of the same style accepts: digits only, upper case.
class StyleValidator : public QValidator {
  public:
    StyleValidator(int style, QObject* parent) : QValidator(parent), style_(style) {}
    State validate(QString& input, int&) const override {
        if (style_ & ST_UPPERCASE) input = input.toUpper();
        if (style_ & ST_NUMBER) {
            for (QChar c : input)
                if (c < QLatin1Char('0') || c > QLatin1Char('9')) return Invalid;
        }
        return Acceptable;
    }

  private:
    int style_;
};

class TemplateDialog : public QDialog {
  public:
    TemplateDialog(UiWnd handle, QWidget* parent) : QDialog(parent), handle_(handle) {}

    bool eventFilter(QObject* o, QEvent* e) override {
        if (e->type() != QEvent::KeyPress) return false;
        QWidget* ow = qobject_cast<QWidget*>(o);
        if (ow && ow->window() != this) return false; // a combo's pop-up list keeps its keys
        QtWindow* w = find_window(handle_);
        if (!w) return false;
        QKeyEvent* k = static_cast<QKeyEvent*>(e);
        if (k->key() == Qt::Key_Escape) {
            dispatch_command(handle_, UI_IDCANCEL);
            return true;
        }
        if (k->key() == Qt::Key_Return || k->key() == Qt::Key_Enter) {
            QtControl* c = control_of_widget(w, o);
            if (c && c->kind == CTL_EDIT && (c->style & ST_MULTILINE) &&
                (c->style & ST_WANTRETURN) && !(c->style & ST_READONLY))
                return false; // a new line
            dispatch_enter(w, o);
            return true;
        }
        return false;
    }

  protected:
    void keyPressEvent(QKeyEvent* k) override {
        QtWindow* w = find_window(handle_);
        if (!w) return;
        if (k->key() == Qt::Key_Escape)
            dispatch_command(handle_, UI_IDCANCEL);
        else if (k->key() == Qt::Key_Return || k->key() == Qt::Key_Enter)
            dispatch_enter(w, QApplication::focusWidget());
        else
            QWidget::keyPressEvent(k);
    }
    void closeEvent(QCloseEvent* e) override {
        e->ignore();
        QtWindow* w = find_window(handle_);
        if (w && w->tpl && w->tpl->system_menu) dispatch_command(handle_, UI_IDCANCEL);
    }
    void reject() override {}
    void accept() override {}

  private:
    UiWnd handle_;
};

QFont template_font(const DialogTemplate* tpl) {
    QString family = from_bytes(tpl->font);
    QFont f = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    if (!family.isEmpty() && QFontDatabase::hasFamily(family)) f = QFont(family);
    f.setPointSize(tpl->point_size > 0 ? tpl->point_size : 8);
    return f;
}

int mul_div(int a, int b, int c) {
    long long p = (long long)a * b;
    long long half = c / 2;
    return (int)(p >= 0 ? (p + half) / c : (p - half) / c);
}

void ensure_images() {
    static int done;
    if (!done) init_images();
    done = 1;
}

QIcon fallback_icon(const char* name) {
    QPixmap pm(32, 32);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setBrush(strcmp(name, ICON_ON) == 0 ? QColor(220, 40, 40) : QColor(90, 90, 90));
    p.setPen(Qt::black);
    p.drawEllipse(3, 3, 26, 26);
    return QIcon(pm);
}

QIcon load_icon(const char* name) {
    ensure_images();
    const char* path = nullptr;
    if (strcmp(name, ICON_ON) == 0)
        path = ":/keltup/dromon.png";
    else if (strcmp(name, ICON_OFF) == 0)
        path = ":/keltup/dromoff.png";
    QIcon icon;
    if (path) icon = QIcon(QString::fromLatin1(path));
    if (icon.isNull() || icon.availableSizes().isEmpty()) return fallback_icon(name);
    return icon;
}

QPixmap load_picture(const char* name) {
    ensure_images();
    QPixmap pm;
    if (name && (strcmp(name, "113") == 0 || strcmp(name, "ABOUT") == 0))
        pm.load(QStringLiteral(":/keltup/about.png"));
    if (pm.isNull()) {
        pm = QPixmap(90, 31);
        pm.fill(QColor(40, 70, 140));
    }
    return pm;
}

const char* const kValueProperty = "keltupValue";

// A static with an id and no words in the template shows a value the program sets (a nickname,
// a time). It is built as a read-only field that looks like the label it stands for, so that Tab
// reaches it and a screen reader reads it under its own name.
int is_value_field(const DialogControl& c) {
    return c.kind == CTL_STATIC && c.id != ID_NONE && (!c.text || !c.text[0]);
}

// The first line of a text: what a one-line value field shows.
QString first_line(const QString& s) {
    int end = s.indexOf(QLatin1Char('\n'));
    QString line = end < 0 ? s : s.left(end);
    if (line.endsWith(QLatin1Char('\r'))) line.chop(1);
    return line;
}

QWidget* make_control(QtWindow* w, QWidget* parent, const DialogControl& c, int avgw, int h) {
    QString text = from_bytes(c.text);
    QWidget* widget = nullptr;
    switch (c.kind) {
    case CTL_GROUP: {
        // A frame whose line runs through the middle of its title, as Win32 draws one.
        QGroupBox* g = new QGroupBox(text, parent);
        g->setStyleSheet(QStringLiteral("QGroupBox { border: 1px solid palette(mid); "
                                        "margin-top: %1px; }"
                                        "QGroupBox::title { subcontrol-origin: margin; "
                                        "subcontrol-position: top left; left: %2px; "
                                        "padding: 0px 2px; }")
                             .arg(h / 2)
                             .arg(avgw));
        widget = g;
        break;
    }
    case CTL_STATIC: {
        if (is_value_field(c)) {
            QLineEdit* e = new QLineEdit(parent);
            e->setReadOnly(true);
            e->setFrame(false);
            e->setStyleSheet(QStringLiteral("QLineEdit { background: transparent; }"));
            // A line edit keeps 2 pixels of margin beside its text and 1 above it; a label none.
            e->setTextMargins(-2, -1, -2, 0);
            e->setAlignment((c.style & ST_CENTER ? Qt::AlignHCenter : Qt::AlignLeft) |
                            Qt::AlignTop);
            widget = e;
            break;
        }
        QLabel* l = new QLabel(parent);
        l->setTextFormat(Qt::PlainText);
        l->setText(text);
        l->setWordWrap(true);
        l->setAlignment((c.style & ST_CENTER ? Qt::AlignHCenter : Qt::AlignLeft) | Qt::AlignTop);
        widget = l;
        break;
    }
    case CTL_PICTURE: {
        QLabel* l = new QLabel(parent);
        l->setPixmap(load_picture(c.text));
        widget = l;
        break;
    }
    case CTL_EDIT:
        if (c.style & ST_MULTILINE) {
            QPlainTextEdit* e = new QPlainTextEdit(parent);
            e->setPlainText(text);
            e->setReadOnly(c.style & ST_READONLY);
            e->setTabChangesFocus(true);
            e->setVerticalScrollBarPolicy((c.style & ST_VSCROLL) ? Qt::ScrollBarAlwaysOn
                                                                 : Qt::ScrollBarAsNeeded);
            e->setLineWrapMode((c.style & ST_AUTOHSCROLL) ? QPlainTextEdit::NoWrap
                                                          : QPlainTextEdit::WidgetWidth);
            widget = e;
        } else {
            QLineEdit* e = new QLineEdit(parent);
            if (c.style & (ST_UPPERCASE | ST_NUMBER))
                e->setValidator(new StyleValidator(c.style, e));
            e->setText((c.style & ST_UPPERCASE) ? text.toUpper() : text);
            e->setReadOnly(c.style & ST_READONLY);
            e->setFrame(c.style & ST_BORDER);
            widget = e;
        }
        break;
    case CTL_COMBO: {
        QComboBox* cb = new QComboBox(parent);
        cb->setEditable(true);
        cb->setInsertPolicy(QComboBox::NoInsert);
        if (c.style & (ST_UPPERCASE | ST_NUMBER)) cb->setValidator(new StyleValidator(c.style, cb));
        cb->setEditText(text);
        widget = cb;
        break;
    }
    case CTL_CHECK: {
        QCheckBox* b = new QCheckBox(text, parent);
        UiWnd handle = w->handle;
        int id = c.id;
        QObject::connect(b, &QCheckBox::clicked, [handle, id]() { dispatch_command(handle, id); });
        widget = b;
        break;
    }
    case CTL_BUTTON:
    case CTL_DEFBUTTON:
    default: {
        QPushButton* b = new QPushButton(text, parent);
        b->setAutoDefault(false);
        b->setDefault(c.kind == CTL_DEFBUTTON);
        UiWnd handle = w->handle;
        int id = c.id;
        QObject::connect(b, &QPushButton::clicked,
                         [handle, id]() { dispatch_command(handle, id); });
        widget = b;
        break;
    }
    }
    // Inside a group box, whose style sheet would give it and its parts (a combo box's line) the
    // desktop's font, the control keeps the dialog's.
    if (parent != w->widget) {
        widget->setFont(w->widget->font());
        for (QWidget* part : widget->findChildren<QWidget*>())
            part->setFont(w->widget->font());
    }
    int x = mul_div(c.x, avgw, 4), y = mul_div(c.y, h, 8);
    int cw = mul_div(c.w, avgw, 4), ch = mul_div(c.h, h, 8);
    if (c.kind == CTL_PICTURE) {
        // A picture control takes the size of its image.
        QSize s = static_cast<QLabel*>(widget)->pixmap().size();
        cw = s.width();
        ch = s.height();
    } else if (c.kind == CTL_COMBO) {
        // The template's height includes the drop-down list; the closed box is one line high.
        ch = widget->sizeHint().height();
    }
    if (parent != w->widget) {
        x -= parent->x();
        y -= parent->y();
    }
    widget->setGeometry(x, y, cw, ch);
    return widget;
}

// The group box around control `i`: the last one before it in the template whose frame holds
// it whole. -1 when there is none.
int enclosing_group(const DialogTemplate* tpl, int i) {
    const DialogControl& c = tpl->controls[i];
    for (int g = i - 1; g >= 0; g--) {
        const DialogControl& b = tpl->controls[g];
        if (b.kind == CTL_GROUP && c.x >= b.x && c.y >= b.y && c.x + c.w <= b.x + b.w &&
            c.y + c.h <= b.y + b.h)
            return g;
    }
    return -1;
}

// A label's words as the name of what it labels: mnemonic '&'s taken out ("&&" is one '&'),
// line breaks made spaces, and a trailing colon dropped.
QString label_name(const char* text) {
    QString s;
    for (const char* p = text ? text : ""; *p; p++) {
        if (*p == '&') {
            if (p[1] != '&') continue;
            p++;
        }
        s += QChar((uchar)(*p == '\r' || *p == '\n' ? ' ' : *p));
    }
    s = s.simplified();
    if (s.endsWith(QLatin1Char(':'))) s.chop(1);
    return s.trimmed();
}

const char* described_name(const DialogTemplate* tpl, const DialogControl& c) {
    for (int i = 0; i < kControlDescriptionCount; i++) {
        const ControlDescription& d = kControlDescriptions[i];
        if (d.dialog == tpl && d.id == c.id && d.kind == c.kind) return d.name;
    }
    return nullptr;
}

// Names control `i` for screen readers the way the Win32 dialog manager names a control: after
// the static text just before it in the template, which becomes its label (buddy), else after the
// group box around it, which is its parent widget and so its label too. A name written beside the
// templates comes first; controls with words of their own (buttons, check boxes, labels) keep them.
void name_control(QtWindow* w, int i) {
    const DialogTemplate* tpl = w->tpl;
    const DialogControl& c = tpl->controls[i];
    QWidget* widget = w->controls[i].widget;
    QString name;
    if (const char* d = described_name(tpl, c)) name = label_name(d);
    int named_by_text =
        c.kind == CTL_EDIT || c.kind == CTL_COMBO || c.kind == CTL_PICTURE || is_value_field(c);
    if (!named_by_text && name.isEmpty()) return;
    const DialogControl* before = i > 0 ? &tpl->controls[i - 1] : nullptr;
    if (before && before->kind == CTL_STATIC && before->text && before->text[0]) {
        if (QLabel* l = qobject_cast<QLabel*>(w->controls[i - 1].widget)) l->setBuddy(widget);
        if (name.isEmpty()) name = label_name(before->text);
    }
    int g = enclosing_group(tpl, i);
    if (name.isEmpty() && g >= 0) name = label_name(tpl->controls[g].text);
    if (name.isEmpty()) return;
    widget->setAccessibleName(name);
    // An editable combo box's line is a focusable object of its own.
    if (QComboBox* cb = qobject_cast<QComboBox*>(widget))
        if (cb->lineEdit()) cb->lineEdit()->setAccessibleName(name);
}

// Where the focus starts when value fields come first: the first control that is a tab stop for
// the Win32 dialog manager, which sees those fields as labels. The fields stay in the Tab order's
// circle, before it. nullptr where Qt's own choice is that control already.
QWidget* first_tab_stop(QtWindow* w) {
    int fields_before = 0;
    for (int i = 0; i < w->control_count; i++) {
        int k = w->controls[i].kind;
        if (k == CTL_STATIC && qobject_cast<QLineEdit*>(w->controls[i].widget)) fields_before = 1;
        if (k == CTL_EDIT || k == CTL_COMBO || k == CTL_BUTTON || k == CTL_DEFBUTTON ||
            k == CTL_CHECK)
            return fields_before ? w->controls[i].widget : nullptr;
    }
    return nullptr;
}

// What a screen reader finds of the tray icon. The icon is a small window of Qt's own, made
// again whenever it docks again: its accessible name is the tip ("KelTup"), its description says
// how many messages wait, and its window title, the name a notification area on X11 can give its
// icons, says both. The tip shown on the screen stays the tip.
QString tray_tip;
int tray_waiting;
QPointer<QWidget> tray_window;

void tray_describe() {
    if (!tray) return;
    if (main_events.waiting) {
        int n = main_events.waiting();
        if (n >= 0) tray_waiting = n;
    }
    if (!tray_window) {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (strcmp(w->metaObject()->className(), "QSystemTrayIconSys") == 0) tray_window = w;
        if (!tray_window) return;
    }
    QString says = tray_waiting == 1  ? QStringLiteral("1 message waiting")
                   : tray_waiting > 1 ? QStringLiteral("%1 messages waiting").arg(tray_waiting)
                                      : QStringLiteral("No messages");
    QString title = tray_waiting > 0 ? tray_tip + QStringLiteral(" - ") + says : tray_tip;
    if (tray_window->accessibleName() != tray_tip) tray_window->setAccessibleName(tray_tip);
    if (tray_window->accessibleDescription() != says) tray_window->setAccessibleDescription(says);
    if (tray_window->windowTitle() != title) tray_window->setWindowTitle(title);
}

// Runs a nested loop until *ended is set, or until the program quits.
void run_modal(QEventLoop* loop, const int* ended) {
    while (!*ended && !quitting)
        loop->exec();
}

void deliver_tick(UiWnd h, int id) {
    QtWindow* w = find_window(h);
    if (!w) return;
    QtTimer* t = nullptr;
    for (QtTimer& s : w->timers)
        if (s.id == id) t = &s;
    if (!t) return;
    t->pending = 0;
    if (!t->timer->isActive() || quitting) return;
    if (w->is_main) {
        if (main_events.timer_tick) main_events.timer_tick();
        tray_describe();
    } else if (w->proc && !w->ended) {
        w->proc(h, UI_TIMER, id);
    }
}

void deliver_tray_event(int mouse_event) {
    if (!quitting && main_events.tray_event) main_events.tray_event(mouse_event);
}

// The shell's answer to a click can run whole modal dialogs, or remove the icon: it runs from the
// event queue, not inside the icon's own mouse handling.
void tray_activated(QSystemTrayIcon::ActivationReason reason) {
    int mouse_event = reason == QSystemTrayIcon::DoubleClick ? UI_TRAY_DBLCLK
                      : reason == QSystemTrayIcon::Context   ? UI_TRAY_RBUTTONUP
                                                             : 0;
    if (mouse_event)
        QMetaObject::invokeMethod(
            qApp, [mouse_event]() { deliver_tray_event(mouse_event); }, Qt::QueuedConnection);
}

// On X11 the icon is a small window of its own that the notification area adopts: docked means
// its parent is no longer the root window. Elsewhere, an available tray is taken as docked.
int tray_embedded() {
    auto* x11 = qApp->nativeInterface<QNativeInterface::QX11Application>();
    if (!x11 || !x11->connection()) return 1;
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (strcmp(w->metaObject()->className(), "QSystemTrayIconSys") != 0) continue;
        if (!w->internalWinId()) return 0;
        xcb_connection_t* c = x11->connection();
        xcb_query_tree_reply_t* r =
            xcb_query_tree_reply(c, xcb_query_tree(c, (xcb_window_t)w->internalWinId()), nullptr);
        int embedded = r && r->parent != r->root;
        free(r);
        return embedded;
    }
    return 0;
}

void watch_tray() {
    if (!tray) return;
    int available = QSystemTrayIcon::isSystemTrayAvailable();
    // A notification area that appeared after the icon was made, or one that was still starting
    // when the icon asked to dock, has not adopted it: ask again.
    tray_docked = available && tray_embedded();
    static int undocked_checks;
    undocked_checks = (available && !tray_docked) ? undocked_checks + 1 : 0;
    if (undocked_checks >= 2) { // a dock request in progress gets a second to finish
        undocked_checks = 0;
        tray->hide();
        tray->show();
    }
    // A docked icon stays docked unless the notification area goes away, which is rare: look
    // seldom then, so that an idle program hardly wakes up.
    if (tray_watch) tray_watch->setInterval(tray_docked ? 10000 : 1000);
    if (!available && !tray_said_missing) {
        tray_said_missing = 1;
        fprintf(stderr, "keltup: this desktop has no notification area; KelTup keeps running "
                        "and its icon appears when one starts.\n");
        QMessageBox* box = new QMessageBox(
            QMessageBox::Information, QStringLiteral("KelTup"),
            QStringLiteral("This desktop has no notification area. KelTup keeps running and its "
                           "icon appears as soon as a notification area starts."),
            QMessageBox::Ok);
        box->setTextFormat(Qt::PlainText);
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->setObjectName(QStringLiteral("keltup-no-tray"));
        box->show();
        no_tray_box = box;
    }
    // Once docked, the word about the missing notification area is out of date.
    if (tray_docked && no_tray_box) no_tray_box->close();
}

QString single_copy_path(const char* class_name, const char* title, const char* suffix) {
    QString dir = runtime_dir[0]
                      ? from_bytes(runtime_dir)
                      : QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (dir.isEmpty()) dir = QDir::tempPath();
    // The class and title name the copy; keep the file name to safe characters.
    QString name = from_bytes(class_name) + QLatin1Char('-') + from_bytes(title);
    QString safe;
    for (QChar c : name)
        safe += (c.isLetterOrNumber() && c.unicode() < 0x80) ? c : QLatin1Char('_');
    return dir + QLatin1Char('/') + safe.toLower() + QLatin1String(suffix);
}

void raise_top_dialog() {
    for (int i = dialog_depth - 1; i >= 0; i--) {
        QtWindow* w = find_window(dialog_stack[i]);
        if (w && w->widget && w->widget->isVisible()) {
            w->widget->raise();
            w->widget->activateWindow();
            return;
        }
    }
}

} // namespace

// --- front-end entry points ----------------------------------------------------------------------

void ui_qt_set_main_events(const UiQtMainEvents* events) {
    main_events = events ? *events : UiQtMainEvents();
}

// The portable registration: the three events, the tray description's count left as it is.
void ui_set_main_events(const UiMainEvents* events) {
    main_events.timer_tick = events ? events->timer_tick : nullptr;
    main_events.tray_event = events ? events->tray_event : nullptr;
    main_events.destroyed = events ? events->destroyed : nullptr;
}

QWidget* ui_qt_widget(UiWnd h) {
    QtWindow* w = find_window(h);
    return w ? w->widget : nullptr;
}

UiWnd ui_qt_top_dialog() {
    return dialog_depth > 0 ? dialog_stack[dialog_depth - 1] : 0;
}

int ui_qt_quitting() {
    return quitting;
}

void ui_qt_dialog_units(const DialogTemplate* tpl, int* avg_width, int* height) {
    QFontMetrics fm(template_font(tpl));
    int width = fm.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    *avg_width = (width / 26 + 1) / 2;
    *height = fm.height();
}

void ui_qt_set_runtime_dir(const char* dir) {
    snprintf(runtime_dir, sizeof runtime_dir, "%s", dir ? dir : "");
}

int ui_qt_tray_docked() {
    return tray && tray_docked;
}

void ui_qt_release_single_copy() {
    if (single_server) {
        single_server->close();
        delete single_server;
        single_server = nullptr;
    }
    if (single_lock) {
        single_lock->unlock();
        delete single_lock;
        single_lock = nullptr;
    }
}

// --- modal dialogs -------------------------------------------------------------------------------

int ui_dialog_run(const DialogTemplate* tpl, UiWnd owner, UiDialogProc proc) {
    if (!tpl || quitting) return -1;
    QtWindow* w = new_window();
    if (!w) return -1;
    UiWnd h = w->handle;
    w->tpl = tpl;
    w->proc = proc;

    // A dialog owned by the hidden main window stands on its own; one owned by another dialog
    // is kept above it and blocks it, as a Win32 owner is disabled.
    QtWindow* ow = find_window(owner);
    QWidget* parent = (ow && !ow->is_main) ? ow->widget : nullptr;
    TemplateDialog* d = new TemplateDialog(h, parent);
    w->widget = d;
    Qt::WindowFlags flags = Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint;
    if (tpl->system_menu) flags |= Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
    d->setWindowFlags(flags);
    d->setWindowModality(Qt::WindowModal);
    d->setObjectName(from_bytes(tpl->name));
    d->setWindowTitle(from_bytes(tpl->caption));
    d->setFont(template_font(tpl));

    int avgw = 0, ch = 0;
    ui_qt_dialog_units(tpl, &avgw, &ch);
    for (int i = 0; i < tpl->control_count && w->control_count < MAX_CONTROLS; i++) {
        const DialogControl& c = tpl->controls[i];
        // A control inside a group box is the box's child, so the box labels it.
        int g = c.kind == CTL_GROUP ? -1 : enclosing_group(tpl, i);
        QWidget* parent = g >= 0 && g < w->control_count ? w->controls[g].widget : d;
        QWidget* cw = make_control(w, parent, c, avgw, ch);
        QtControl& rec = w->controls[w->control_count++];
        rec.id = c.id;
        rec.kind = c.kind;
        rec.style = c.style;
        rec.widget = cw;
        if (c.kind == CTL_DEFBUTTON && !w->default_id) w->default_id = c.id;
        name_control(w, i);
    }
    if (QWidget* first = first_tab_stop(w)) first->setFocus();
    for (QWidget* child : d->findChildren<QWidget*>())
        child->installEventFilter(d);
    d->setFixedSize(mul_div(tpl->w, avgw, 4), mul_div(tpl->h, ch, 8));

    // The template's place is relative to the owner's top-left corner.
    QPoint origin(0, 0);
    if (ow && ow->widget) origin = ow->widget->frameGeometry().topLeft();
    d->move(origin + QPoint(mul_div(tpl->x, avgw, 4), mul_div(tpl->y, ch, 8)));

    if (dialog_depth < MAX_WINDOWS) dialog_stack[dialog_depth++] = h;
    if (proc) proc(h, UI_INIT, 0);
    w = find_window(h);
    if (w && !w->ended && !quitting) {
        QEventLoop loop;
        w->loop = &loop;
        d->show();
        run_modal(&loop, &w->ended);
        w->loop = nullptr;
    }
    if (dialog_depth > 0) dialog_depth--;
    int code = w && w->ended ? w->code : 0;
    for (QtTimer& t : w->timers)
        t.id = 0;
    d->hide();
    w->handle = 0;
    w->widget = nullptr;
    delete d; // its timers and controls go with it
    return code;
}

void ui_dialog_end(UiWnd dlg, int code) {
    QtWindow* w = find_window(dlg);
    if (!w || w->is_main || w->ended) return;
    w->ended = 1;
    w->code = code;
    if (w->widget) w->widget->hide();
    if (w->loop) w->loop->exit(0);
}

void ui_set_text(UiWnd dlg, int id, const char* text) {
    QtControl* c = find_control(find_window(dlg), id);
    if (!c) return;
    QString s = from_bytes(text);
    if (c->style & ST_UPPERCASE) s = s.toUpper();
    if (QLabel* l = qobject_cast<QLabel*>(c->widget)) {
        if (c->kind != CTL_PICTURE) l->setText(s);
    } else if (QPlainTextEdit* e = qobject_cast<QPlainTextEdit*>(c->widget)) {
        s.replace(QLatin1String("\r\n"), QLatin1String("\n"));
        e->setPlainText(s);
    } else if (QLineEdit* e = qobject_cast<QLineEdit*>(c->widget)) {
        if (c->kind == CTL_STATIC) {
            // A value field keeps the text as set and shows its first line, as the label did.
            e->setProperty(kValueProperty, s);
            s = first_line(s);
        }
        e->setText(s);
    } else if (QComboBox* cb = qobject_cast<QComboBox*>(c->widget)) {
        cb->setEditText(s);
    } else if (QGroupBox* g = qobject_cast<QGroupBox*>(c->widget)) {
        g->setTitle(s);
    } else if (QAbstractButton* b = qobject_cast<QAbstractButton*>(c->widget)) {
        b->setText(s);
    }
}

void ui_get_text(UiWnd dlg, int id, char* buf, int size) {
    if (!buf || size <= 0) return;
    buf[0] = 0;
    QtControl* c = find_control(find_window(dlg), id);
    if (!c) return;
    QString s;
    if (QLabel* l = qobject_cast<QLabel*>(c->widget)) {
        s = l->text();
    } else if (QPlainTextEdit* e = qobject_cast<QPlainTextEdit*>(c->widget)) {
        // Lines end in CR LF, as a Win32 multi-line edit gives them.
        s = e->toPlainText();
        s.replace(QLatin1Char('\n'), QLatin1String("\r\n"));
    } else if (QLineEdit* e = qobject_cast<QLineEdit*>(c->widget)) {
        s = c->kind == CTL_STATIC ? e->property(kValueProperty).toString() : e->text();
    } else if (QComboBox* cb = qobject_cast<QComboBox*>(c->widget)) {
        s = cb->currentText();
    } else if (QGroupBox* g = qobject_cast<QGroupBox*>(c->widget)) {
        s = g->title();
    } else if (QAbstractButton* b = qobject_cast<QAbstractButton*>(c->widget)) {
        s = b->text();
    }
    to_bytes(s, buf, size);
}

void ui_set_check(UiWnd dlg, int id, int state) {
    QtControl* c = find_control(find_window(dlg), id);
    QCheckBox* b = c ? qobject_cast<QCheckBox*>(c->widget) : nullptr;
    if (!b) return;
    if (state == 0 || state == 1) {
        b->setTristate(false);
        b->setCheckState(state ? Qt::Checked : Qt::Unchecked);
    } else {
        // Any other value is the indeterminate state.
        b->setTristate(true);
        b->setCheckState(Qt::PartiallyChecked);
    }
}

int ui_get_check(UiWnd dlg, int id) {
    QtControl* c = find_control(find_window(dlg), id);
    QCheckBox* b = c ? qobject_cast<QCheckBox*>(c->widget) : nullptr;
    if (!b) return 0;
    switch (b->checkState()) {
    case Qt::Checked:
        return 1;
    case Qt::PartiallyChecked:
        return 2;
    default:
        return 0;
    }
}

// --- windows -------------------------------------------------------------------------------------

void ui_set_caption(UiWnd h, const char* text) {
    QtWindow* w = find_window(h);
    if (w && w->widget) w->widget->setWindowTitle(from_bytes(text));
}

void ui_foreground(UiWnd h) {
    QtWindow* w = find_window(h);
    if (!w || !w->widget || !w->widget->isVisible()) return;
    w->widget->raise();
    w->widget->activateWindow();
}

void ui_window_rect(UiWnd h, UiRect* r) {
    if (!r) return;
    *r = UiRect{0, 0, 0, 0};
    QtWindow* w = find_window(h);
    if (!w || !w->widget) return;
    QRect g = w->widget->frameGeometry();
    *r = UiRect{g.left(), g.top(), g.left() + g.width(), g.top() + g.height()};
}

void ui_move_window(UiWnd h, int x, int y) {
    QtWindow* w = find_window(h);
    if (w && w->widget) w->widget->move(x, y);
}

// --- timers --------------------------------------------------------------------------------------

int ui_timer_start(UiWnd h, int id, int ms) {
    QtWindow* w = find_window(h);
    if (!w || !w->widget || id == 0) return 0;
    QtTimer* slot = nullptr;
    for (QtTimer& t : w->timers)
        if (t.id == id) slot = &t;
    for (QtTimer& t : w->timers)
        if (!slot && t.id == 0) slot = &t;
    if (!slot) return 0;
    if (slot->id == 0) {
        slot->id = id;
        slot->pending = 0;
        slot->timer = new QTimer(w->widget);
        // A tick is delivered from a queued call rather than inside the timer's own event, so
        // that a modal loop opened by one tick still receives the next ones.
        QObject::connect(slot->timer, &QTimer::timeout, [h, id]() {
            QtWindow* ww = find_window(h);
            if (!ww) return;
            for (QtTimer& t : ww->timers) {
                if (t.id != id || t.pending) continue;
                t.pending = 1;
                QMetaObject::invokeMethod(
                    qApp, [h, id]() { deliver_tick(h, id); }, Qt::QueuedConnection);
            }
        });
    }
    slot->timer->start(ms > 0 ? ms : 1);
    return 1;
}

void ui_timer_stop(UiWnd h, int id) {
    QtWindow* w = find_window(h);
    if (!w) return;
    for (QtTimer& t : w->timers) {
        if (t.id != id) continue;
        t.timer->stop();
        delete t.timer;
        t.timer = nullptr;
        t.id = 0;
        t.pending = 0;
    }
}

// --- screen --------------------------------------------------------------------------------------

int ui_work_area(UiRect* r) {
    QScreen* s = QGuiApplication::primaryScreen();
    if (!s || !r) return 0;
    QRect g = s->availableGeometry();
    *r = UiRect{g.left(), g.top(), g.left() + g.width(), g.top() + g.height()};
    return 1;
}

void ui_screen_size(int* width, int* height) {
    QScreen* s = QGuiApplication::primaryScreen();
    QRect g = s ? s->geometry() : QRect(0, 0, 0, 0);
    if (width) *width = g.width();
    if (height) *height = g.height();
}

// --- message boxes -------------------------------------------------------------------------------

void ui_message_box(UiWnd owner, const char* text, const char* caption, int flags) {
    if (quitting) return;
    QtWindow* ow = find_window(owner);
    QWidget* parent =
        (ow && !ow->is_main && ow->widget && ow->widget->isVisible()) ? ow->widget : nullptr;
    QMessageBox box(flags & UI_MB_ICONERROR ? QMessageBox::Critical : QMessageBox::NoIcon,
                    from_bytes(caption), QString(), QMessageBox::Ok, parent);
    // A notice from the network is shown as it came: never as markup.
    box.setTextFormat(Qt::PlainText);
    box.setText(from_bytes(text));
    box.setObjectName(QStringLiteral("keltup-message-box"));
    box.setWindowModality(parent ? Qt::WindowModal : Qt::NonModal);
    // Wide enough for its caption, as a Win32 message box is.
    if (QGridLayout* grid = qobject_cast<QGridLayout*>(box.layout())) {
        int need = box.fontMetrics().horizontalAdvance(box.windowTitle()) + 120;
        grid->addItem(new QSpacerItem(need, 0, QSizePolicy::Minimum, QSizePolicy::Fixed),
                      grid->rowCount(), 0, 1, grid->columnCount());
    }
    int ended = 0;
    QEventLoop loop;
    QObject::connect(&box, &QDialog::finished, [&ended, &loop]() {
        ended = 1;
        loop.exit(0);
    });
    box.show();
    run_modal(&loop, &ended);
}

// --- the notification-area icon -----------------------------------------------------------------

int ui_tray_add(UiWnd, const char* icon, const char* tip) {
    if (tray) return 1;
    tray = new QSystemTrayIcon(load_icon(icon ? icon : ICON_OFF));
    tray->setToolTip(from_bytes(tip));
    tray_tip = from_bytes(tip);
    QObject::connect(tray, &QSystemTrayIcon::activated, tray_activated);
    tray->show();
    // The icon docks again whenever a notification area appears after it was made.
    tray_watch = new QTimer(tray);
    QObject::connect(tray_watch, &QTimer::timeout, watch_tray);
    tray_watch->start(1000);
    if (!QSystemTrayIcon::isSystemTrayAvailable()) watch_tray(); // says so at once
    return 1;
}

void ui_tray_set(const char* icon) {
    if (tray && icon) tray->setIcon(load_icon(icon));
    tray_describe();
}

void ui_tray_remove() {
    if (!tray) return;
    tray->hide();
    tray_watch->stop();
    tray->deleteLater(); // the watch timer with it; it may be handling an event right now
    tray = nullptr;
    tray_watch = nullptr;
    tray_docked = 0;
}

int ui_tray_menu(UiWnd, const MenuTemplate* menu) {
    if (!menu || quitting) return 0;
    QMenu m;
    m.setObjectName(from_bytes(menu->name));
    m.setTitle(from_bytes(menu->popup));
    for (int i = 0; i < menu->item_count; i++) {
        const MenuItem& it = menu->items[i];
        if (!it.text) {
            m.addSeparator();
            continue;
        }
        QAction* a = m.addAction(from_bytes(it.text));
        a->setData(it.command);
    }
    // Bottom-right corner at the cursor; Qt keeps the menu on the screen.
    QPoint at = QCursor::pos() - QPoint(m.sizeHint().width(), m.sizeHint().height());
    QAction* chosen = m.exec(at);
    if (!chosen || quitting) return 0;
    return chosen->data().toInt();
}

// --- the application -----------------------------------------------------------------------------

int ui_find_running(const char* class_name, const char* title) {
    QString lock_path = single_copy_path(class_name, title, ".lock");
    QString socket_path = single_copy_path(class_name, title, ".socket");
    QDir().mkpath(QFileInfo(lock_path).absolutePath());
    if (!single_lock) {
        QLockFile* lock = new QLockFile(lock_path);
        lock->setStaleLockTime(0); // stale only when its process is gone
        if (lock->tryLock(0)) {
            single_lock = lock;
            QLocalServer::removeServer(socket_path);
            single_server = new QLocalServer();
            single_server->setSocketOptions(QLocalServer::UserAccessOption);
            QObject::connect(single_server, &QLocalServer::newConnection, []() {
                while (QLocalSocket* s = single_server->nextPendingConnection()) {
                    QObject::connect(s, &QLocalSocket::disconnected, s, &QObject::deleteLater);
                    raise_top_dialog();
                }
            });
            single_server->listen(socket_path);
            return 0;
        }
        delete lock;
    }
    // Another copy holds the lock: ask it to come forward.
    QLocalSocket s;
    s.connectToServer(socket_path);
    if (s.waitForConnected(1000)) {
        s.write("raise\n");
        s.waitForBytesWritten(1000);
        s.disconnectFromServer();
    }
    return 1;
}

int ui_register_class(const char*) {
    return 1;
}

UiWnd ui_create_main_window(const char*, const char* title) {
    QtWindow* w = new_window();
    if (!w) return 0;
    w->is_main = 1;
    QWidget* main = new QWidget(nullptr, Qt::Tool);
    main->setWindowTitle(from_bytes(title));
    main->setObjectName(QStringLiteral("KelTup"));
    QApplication::setWindowIcon(load_icon(ICON_OFF));
    // Never shown; it gives the dialogs it owns their origin, as a default-placed window would.
    QRect area(0, 0, 1024, 768);
    if (QScreen* s = QGuiApplication::primaryScreen()) area = s->availableGeometry();
    main->setGeometry(area.left() + area.width() / 8, area.top() + area.height() / 8,
                      area.width() * 3 / 4, area.height() * 3 / 4);
    w->widget = main;
    return w->handle;
}

void ui_destroy_window(UiWnd h) {
    QtWindow* w = find_window(h);
    if (!w) return;
    if (w->is_main) {
        if (main_events.destroyed) main_events.destroyed();
        for (QtTimer& t : w->timers)
            t.id = 0;
        w->handle = 0;
        w->widget->deleteLater();
        w->widget = nullptr;
        return;
    }
    ui_dialog_end(h, 0);
}

int ui_run_loop() {
    if (!quitting) QApplication::exec();
    // What was given up for deletion inside nested loops goes now.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return quit_code;
}

void ui_quit(int code) {
    if (quitting) return;
    quitting = 1;
    quit_code = code;
    // Every nested loop (dialogs, boxes, menus) unwinds, then the main loop ends.
    QCoreApplication::exit(code);
}

unsigned long ui_last_error() {
    return (unsigned long)errno;
}

void ui_sleep(int ms) {
    if (ms <= 0) return;
    struct timespec ts;
    ts.tv_sec = ms / 1000;
    ts.tv_nsec = (long)(ms % 1000) * 1000000L;
    while (nanosleep(&ts, &ts) == -1 && errno == EINTR) {
    }
}
