// The Qt UI layer in-process, on the offscreen platform: dialogs built from templates, keys and
// buttons as commands, text as bytes, nested modal loops, the tray menu and the single-copy lock.
#include "platform/qt/ui_qt.h"
#include "resources/resources.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QFontDatabase>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <csignal>
#include <cstring>
#include <functional>

extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig\nleak:libQt6\nleak:libglib\nleak:libdbus\n";
}

namespace {

// What a dialog procedure saw, and a script to run once the dialog is on the screen.
int commands[64];
int command_count;
int timer_ticks;
int main_ticks;
std::function<void(UiWnd)> on_shown;
std::function<void(UiWnd, int)> on_command;
std::function<void(UiWnd, int)> on_timer;
std::function<void()> on_main_tick;

int test_proc(UiWnd dlg, int event, int param) {
    if (event == UI_INIT) {
        if (on_shown) QTimer::singleShot(0, [dlg]() { on_shown(dlg); });
        return 1;
    }
    if (event == UI_COMMAND) {
        if (command_count < 64) commands[command_count++] = param;
        if (on_command) on_command(dlg, param);
        return 1;
    }
    if (event == UI_TIMER) {
        timer_ticks++;
        if (on_timer) on_timer(dlg, param);
    }
    return 1;
}

void main_tick() {
    main_ticks++;
    if (on_main_tick) on_main_tick();
}

void reset() {
    command_count = 0;
    timer_ticks = 0;
    main_ticks = 0;
    on_shown = nullptr;
    on_command = nullptr;
    on_timer = nullptr;
    on_main_tick = nullptr;
    static const UiQtMainEvents events = {main_tick, nullptr, nullptr, nullptr, nullptr};
    ui_qt_set_main_events(&events);
}

template <class T> T* control(UiWnd dlg, const char* text_or_null, int index = 0) {
    QList<T*> all = ui_qt_widget(dlg)->findChildren<T*>();
    if (!text_or_null) return index < all.size() ? all[index] : nullptr;
    for (T* w : all)
        if (w->property("text").toString() == QLatin1String(text_or_null)) return w;
    return nullptr;
}

const DialogControl kTestControls[] = {
    {ID_NONE, CTL_GROUP, 0, "Frame", 5, 5, 100, 40},
    {1100, CTL_STATIC, 0, "Label", 10, 15, 60, 10},
    {1101, CTL_EDIT, ST_BORDER, "", 10, 30, 80, 12},
    {1102, CTL_EDIT, ST_UPPERCASE | ST_BORDER, "", 10, 50, 80, 12},
    {1103, CTL_EDIT, ST_NUMBER | ST_BORDER, "", 10, 65, 40, 12},
    {1104, CTL_EDIT, ST_MULTILINE | ST_WANTRETURN | ST_BORDER, "", 10, 80, 100, 40},
    {1105, CTL_EDIT, ST_MULTILINE | ST_BORDER, "", 120, 80, 60, 40},
    {1106, CTL_CHECK, 0, "Check", 120, 50, 50, 12},
    {1107, CTL_COMBO, ST_UPPERCASE, "", 120, 5, 60, 12},
    {1108, CTL_BUTTON, 0, "Other", 120, 20, 40, 14},
    {1109, CTL_DEFBUTTON, 0, "Go", 120, 130, 40, 14},
    {ID_NONE, CTL_PICTURE, 0, "113", 10, 130, 51, 17},
    {ID_NONE, CTL_STATIC, 0, "&Time:", 70, 110, 30, 10},
    {1110, CTL_STATIC, ST_CENTER, "", 100, 110, 60, 10},
};
const DialogTemplate kTest = {"TESTBOX", "Test",        10, 20, 200, 150, "MS Sans Serif", 8,
                              1,         kTestControls, 14};
// Value fields first, inside a group box, before the first control that takes the focus.
const DialogControl kFieldsControls[] = {
    {ID_NONE, CTL_GROUP, 0, "Fr&om:", 5, 5, 100, 40},
    {1300, CTL_STATIC, 0, "", 10, 15, 60, 10},
    {1301, CTL_EDIT, ST_MULTILINE | ST_READONLY | ST_BORDER, "", 10, 50, 80, 30},
    {1302, CTL_BUTTON, 0, "Close", 10, 90, 40, 14},
};
const DialogTemplate kFields = {"FIELDSBOX", "Fields",        0, 0, 120, 110, "MS Sans Serif", 8,
                                0,           kFieldsControls, 4};
// No default button, no system menu: Enter sends 1 and the close box does nothing.
const DialogControl kBareControls[] = {
    {1200, CTL_EDIT, ST_BORDER, "", 10, 10, 80, 12},
    {1201, CTL_BUTTON, 0, "Press", 10, 30, 40, 14},
};
const DialogTemplate kBare = {"BAREBOX", "Bare",        0, 0, 100, 60, "No Such Family", 10,
                              0,         kBareControls, 2};

TEST(QtDialog, BuildsTemplateInDialogUnitsWithFallbackFont) {
    reset();
    int avgw = 0, h = 0;
    ui_qt_dialog_units(&kTest, &avgw, &h);
    ASSERT_GT(avgw, 2);
    ASSERT_GT(h, 6);
    on_shown = [&](UiWnd dlg) {
        QWidget* d = ui_qt_widget(dlg);
        EXPECT_EQ(d->windowTitle(), QStringLiteral("Test"));
        EXPECT_EQ(d->width(), (200 * avgw + 2) / 4);
        EXPECT_EQ(d->height(), (150 * h + 4) / 8);
        QPushButton* go = control<QPushButton>(dlg, "Go");
        ASSERT_TRUE(go);
        EXPECT_EQ(go->geometry(), QRect((120 * avgw + 2) / 4, (130 * h + 4) / 8,
                                        (40 * avgw + 2) / 4, (14 * h + 4) / 8));
        // A picture takes its image's own size.
        QLabel* pic = nullptr;
        for (QLabel* l : d->findChildren<QLabel*>())
            if (!l->pixmap().isNull()) pic = l;
        ASSERT_TRUE(pic);
        EXPECT_EQ(pic->size(), QSize(90, 31));
        ui_dialog_end(dlg, 7);
    };
    EXPECT_EQ(ui_dialog_run(&kTest, 0, test_proc), 7);

    // A missing face falls back to the desktop font at the template's size.
    on_shown = [](UiWnd dlg) {
        QFont f = ui_qt_widget(dlg)->font();
        EXPECT_EQ(f.family(), QFontDatabase::systemFont(QFontDatabase::GeneralFont).family());
        EXPECT_EQ(f.pointSize(), 10);
        ui_dialog_end(dlg, 1);
    };
    EXPECT_EQ(ui_dialog_run(&kBare, 0, test_proc), 1);

    // A dialog owned by another is placed relative to its owner's corner.
    on_shown = [](UiWnd outer) {
        ui_move_window(outer, 200, 150);
        UiRect r;
        ui_window_rect(outer, &r);
        EXPECT_EQ(r.left, 200);
        EXPECT_EQ(r.top, 150);
        on_shown = [outer](UiWnd inner) {
            int aw = 0, ah = 0;
            ui_qt_dialog_units(&kTest, &aw, &ah);
            QPoint at = ui_qt_widget(inner)->pos();
            EXPECT_EQ(at, QPoint(200 + (10 * aw + 2) / 4, 150 + (20 * ah + 4) / 8));
            EXPECT_EQ(ui_qt_top_dialog(), inner);
            ui_dialog_end(inner, 3);
            ui_dialog_end(outer, 4);
        };
        EXPECT_EQ(ui_dialog_run(&kTest, outer, test_proc), 3);
    };
    EXPECT_EQ(ui_dialog_run(&kBare, 0, test_proc), 4);
    EXPECT_EQ(ui_qt_top_dialog(), 0);
}

TEST(QtDialog, TextCrossesAsBytes) {
    reset();
    on_shown = [](UiWnd dlg) {
        char buf[64];
        ui_set_text(dlg, 1101, "caf\xe9 <b>x</b>");
        ui_get_text(dlg, 1101, buf, sizeof buf);
        EXPECT_STREQ(buf, "caf\xe9 <b>x</b>");
        ui_get_text(dlg, 1101, buf, 5); // at most size - 1 characters
        EXPECT_STREQ(buf, "caf\xe9");

        // Characters beyond one byte come back as 0x80, where the bounded-text rule cuts.
        control<QLineEdit>(dlg, nullptr, 0)->setText(QString::fromUtf8("a\u20acb"));
        ui_get_text(dlg, 1101, buf, sizeof buf);
        EXPECT_STREQ(buf, "a\x80"
                          "b");

        // A label shows markup as plain text.
        ui_set_text(dlg, 1100, "<b>BOB</b>");
        QLabel* label = control<QLabel>(dlg, "<b>BOB</b>");
        ASSERT_TRUE(label);
        EXPECT_EQ(label->textFormat(), Qt::PlainText);
        ui_get_text(dlg, 1100, buf, sizeof buf);
        EXPECT_STREQ(buf, "<b>BOB</b>");

        // Upper-case fields convert what is set and what is typed; number fields take digits.
        ui_set_text(dlg, 1102, "mrnobody");
        ui_get_text(dlg, 1102, buf, sizeof buf);
        EXPECT_STREQ(buf, "MRNOBODY");
        QLineEdit* number = nullptr;
        QLineEdit* upper = nullptr;
        for (QLineEdit* e : ui_qt_widget(dlg)->findChildren<QLineEdit*>()) {
            if (e->text() == QLatin1String("MRNOBODY"))
                upper = e;
            else if (e->validator() && e->text().isEmpty() && !number)
                number = e;
        }
        ASSERT_TRUE(upper && number);
        upper->clear();
        QTest::keyClicks(upper, "bob1");
        EXPECT_EQ(upper->text(), QStringLiteral("BOB1"));
        QTest::keyClicks(number, "12ab3");
        ui_get_text(dlg, 1103, buf, sizeof buf);
        EXPECT_STREQ(buf, "123");
        ui_set_text(dlg, 1107, "carol");
        ui_get_text(dlg, 1107, buf, sizeof buf);
        EXPECT_STREQ(buf, "CAROL");

        // Multi-line text comes back with CR LF line ends and goes in with either.
        ui_set_text(dlg, 1104, "one\r\ntwo\nthree");
        ui_get_text(dlg, 1104, buf, sizeof buf);
        EXPECT_STREQ(buf, "one\r\ntwo\r\nthree");

        ui_set_check(dlg, 1106, 1);
        EXPECT_EQ(ui_get_check(dlg, 1106), 1);
        ui_set_check(dlg, 1106, 0);
        EXPECT_EQ(ui_get_check(dlg, 1106), 0);
        ui_set_check(dlg, 1106, 2);
        EXPECT_EQ(ui_get_check(dlg, 1106), 2);

        // Unknown ids are ignored and read as empty.
        ui_set_text(dlg, 4242, "x");
        ui_get_text(dlg, 4242, buf, sizeof buf);
        EXPECT_STREQ(buf, "");
        ui_set_caption(dlg, "KelTup - 2 Messages");
        EXPECT_EQ(ui_qt_widget(dlg)->windowTitle(), QStringLiteral("KelTup - 2 Messages"));
        ui_dialog_end(dlg, 0);
    };
    ui_dialog_run(&kTest, 0, test_proc);
}

TEST(QtDialog, NamesControlsAfterTheirLabels) {
    reset();
    on_shown = [](UiWnd dlg) {
        // An edit after a static text is named after it and labelled by it; inside a group box it
        // is the box's child.
        QLineEdit* edit = control<QLineEdit>(dlg, nullptr, 0);
        EXPECT_EQ(edit->accessibleName(), QStringLiteral("Label"));
        EXPECT_EQ(control<QLabel>(dlg, "Label")->buddy(), edit);
        EXPECT_EQ(edit->parentWidget()->property("title").toString(), QStringLiteral("Frame"));
        // One after another edit, outside any group box, keeps no name of its own.
        EXPECT_EQ(control<QLineEdit>(dlg, nullptr, 1)->accessibleName(), QString());

        // A static without words is a read-only field named after its label, without the '&'
        // and the colon. It keeps the text as set and shows its first line.
        QLabel* time_label = control<QLabel>(dlg, "&Time:");
        ASSERT_TRUE(time_label);
        QLineEdit* field = qobject_cast<QLineEdit*>(time_label->buddy());
        ASSERT_TRUE(field);
        EXPECT_EQ(field->accessibleName(), QStringLiteral("Time"));
        EXPECT_TRUE(field->isReadOnly());
        EXPECT_NE(field->focusPolicy() & Qt::TabFocus, 0);
        ui_set_text(dlg, 1110, "Wed Jan 02 03:04:05 2030\n");
        EXPECT_EQ(field->text(), QStringLiteral("Wed Jan 02 03:04:05 2030"));
        char buf[64];
        ui_get_text(dlg, 1110, buf, sizeof buf);
        EXPECT_STREQ(buf, "Wed Jan 02 03:04:05 2030\n");
        ui_dialog_end(dlg, 0);
    };
    ui_dialog_run(&kTest, 0, test_proc);

    // Where value fields come first, the focus still starts where the Win32 dialog manager puts
    // it, and the fields are reached by Tab from the last control.
    on_shown = [](UiWnd dlg) {
        QWidget* d = ui_qt_widget(dlg);
        QLineEdit* field = control<QLineEdit>(dlg, nullptr, 0);
        QPlainTextEdit* body = control<QPlainTextEdit>(dlg, nullptr, 0);
        EXPECT_EQ(field->accessibleName(), QStringLiteral("From"));
        EXPECT_EQ(d->focusWidget(), body);
        QWidget* next = control<QPushButton>(dlg, "Close")->nextInFocusChain();
        for (int i = 0; i < 10 && !(next->focusPolicy() & Qt::TabFocus); i++)
            next = next->nextInFocusChain();
        EXPECT_EQ(next, field);
        ui_dialog_end(dlg, 0);
    };
    ui_dialog_run(&kFields, 0, test_proc);
}

TEST(QtDialog, KeysAndButtonsBecomeCommands) {
    reset();
    on_shown = [](UiWnd dlg) {
        QWidget* d = ui_qt_widget(dlg);
        QLineEdit* edit = d->findChildren<QLineEdit*>()[0];
        QPlainTextEdit* want = nullptr;
        QPlainTextEdit* plain = nullptr;
        for (QPlainTextEdit* e : d->findChildren<QPlainTextEdit*>())
            (want ? plain : want) = e;
        QTest::keyClick(edit, Qt::Key_Escape);
        QTest::keyClick(edit, Qt::Key_Return);  // the default button
        QTest::keyClick(want, Qt::Key_Return);  // a new line, no command
        QTest::keyClick(plain, Qt::Key_Return); // not wanted there: the default button
        QTest::keyClick(control<QPushButton>(dlg, "Other"), Qt::Key_Return); // presses it
        QTest::mouseClick(control<QCheckBox>(dlg, "Check"), Qt::LeftButton);
        d->close(); // the close box
        ASSERT_EQ(command_count, 6);
        EXPECT_EQ(commands[0], 2);
        EXPECT_EQ(commands[1], 1109);
        EXPECT_EQ(commands[2], 1109);
        EXPECT_EQ(commands[3], 1108);
        EXPECT_EQ(commands[4], 1106);
        EXPECT_EQ(commands[5], 2);
        EXPECT_EQ(want->toPlainText(), QStringLiteral("\n"));
        EXPECT_TRUE(d->isVisible()); // only ui_dialog_end closes a dialog
        ui_dialog_end(dlg, 0);
    };
    ui_dialog_run(&kTest, 0, test_proc);

    command_count = 0;
    on_shown = [](UiWnd dlg) {
        QWidget* d = ui_qt_widget(dlg);
        QTest::keyClick(d->findChildren<QLineEdit*>()[0], Qt::Key_Enter);
        d->close(); // no system menu: nothing
        QTest::mouseClick(control<QPushButton>(dlg, "Press"), Qt::LeftButton);
        ASSERT_EQ(command_count, 2);
        EXPECT_EQ(commands[0], 1);
        EXPECT_EQ(commands[1], 1201);
        ui_dialog_end(dlg, 0);
    };
    ui_dialog_run(&kBare, 0, test_proc);
}

TEST(QtLoop, TimersKeepFiringInsideNestedModalLoops) {
    reset();
    UiWnd main = ui_create_main_window("KelTup", "Generic: Sample Application");
    ASSERT_NE(main, 0);
    ASSERT_EQ(ui_timer_start(main, TIMER_POLL, 10), 1);

    // A tick that opens a message box keeps receiving ticks, as a notice shown by the poll does.
    int depth = 0, deepest = 0;
    on_main_tick = [&]() {
        depth++;
        deepest = depth > deepest ? depth : deepest;
        if (main_ticks == 1) {
            ui_message_box(main, "<i>notice</i>", "KelTup", UI_MB_OK);
        } else if (main_ticks == 4) {
            for (QWidget* w : QApplication::topLevelWidgets()) {
                QMessageBox* box = qobject_cast<QMessageBox*>(w);
                if (box && box->isVisible()) {
                    EXPECT_EQ(box->textFormat(), Qt::PlainText);
                    EXPECT_EQ(box->text(), QStringLiteral("<i>notice</i>"));
                    EXPECT_EQ(box->windowTitle(), QStringLiteral("KelTup"));
                    box->button(QMessageBox::Ok)->click();
                }
            }
        }
        depth--;
    };
    on_shown = [&](UiWnd dlg) {
        ui_timer_start(dlg, TIMER_VIEWER, 10);
        on_timer = [&](UiWnd d, int id) {
            EXPECT_EQ(id, TIMER_VIEWER);
            if (timer_ticks >= 3 && main_ticks >= 6) {
                ui_timer_stop(d, TIMER_VIEWER);
                ui_dialog_end(d, 9);
            }
        };
    };
    EXPECT_EQ(ui_dialog_run(&kBare, main, test_proc), 9);
    EXPECT_EQ(deepest, 2);
    EXPECT_GE(timer_ticks, 3);

    // Ended during its initialisation, a dialog is never shown and returns its code.
    on_shown = nullptr;
    on_main_tick = nullptr;
    ui_timer_stop(main, TIMER_POLL);
    int seen = main_ticks;
    QTest::qWait(50);
    EXPECT_EQ(main_ticks, seen); // a stopped timer delivers nothing more
    UiDialogProc end_at_init = [](UiWnd dlg, int event, int) {
        if (event == UI_INIT) ui_dialog_end(dlg, 5);
        return 1;
    };
    EXPECT_EQ(ui_dialog_run(&kBare, main, end_at_init), 5);
    ui_destroy_window(main);
}

TEST(QtTray, MenuReturnsTheChosenCommand) {
    reset();
    UiWnd main = ui_create_main_window("KelTup", "Generic: Sample Application");
    const MenuItem items[] = {{"&Send", 40005}, {"S&ettings", 40008}, {nullptr, 0}, {"E&xit", 55}};
    const MenuTemplate menu = {"CONMENU1", "Context", items, 4};
    ASSERT_EQ(ui_tray_add(main, ICON_OFF, "KelTup"), 1);
    ui_tray_set(ICON_ON);

    QTimer::singleShot(20, []() {
        QMenu* m = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        ASSERT_TRUE(m);
        QList<QAction*> acts = m->actions();
        ASSERT_EQ(acts.size(), 4);
        EXPECT_TRUE(acts[2]->isSeparator());
        EXPECT_EQ(acts[1]->text(), QStringLiteral("S&ettings"));
        m->setActiveAction(acts[1]);
        QTest::keyClick(m, Qt::Key_Return);
    });
    EXPECT_EQ(ui_tray_menu(main, &menu), 40008);
    QTimer::singleShot(20, []() {
        QMenu* m = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        ASSERT_TRUE(m);
        QTest::keyClick(m, Qt::Key_Escape);
    });
    EXPECT_EQ(ui_tray_menu(main, &menu), 0);
    ui_tray_remove();
    ui_destroy_window(main);
}

// Runs this program as another copy: it looks for a running copy under `title` and exits with
// the answer, or dies holding the lock.
int other_copy(const QString& dir, const char* title, bool die) {
    QProcess p;
    p.start(QCoreApplication::applicationFilePath(),
            QStringList{QLatin1String(die ? "--lock-and-die" : "--find-running"), dir,
                        QString::fromLatin1(title)});
    p.waitForFinished(10000);
    if (p.exitStatus() == QProcess::CrashExit) return -1;
    return p.exitCode();
}

TEST(QtSingleCopy, OneCopyPerSessionAndCrashedCopiesDoNotCount) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    QByteArray path = dir.path().toLocal8Bit();
    const char* title = "Generic: Sample Application";

    // A copy that died holding the lock does not block the next start.
    EXPECT_EQ(other_copy(dir.path(), title, true), -1);
    ui_qt_set_runtime_dir(path.constData());
    EXPECT_EQ(ui_find_running("KelTup", title), 0);

    // Another copy now finds this one; a different title is a different program.
    EXPECT_EQ(other_copy(dir.path(), title, false), 1);
    EXPECT_EQ(other_copy(dir.path(), "Another Title", false), 0);

    ui_qt_release_single_copy();
    EXPECT_EQ(other_copy(dir.path(), title, false), 0);
}

TEST(QtQuit, UnwindsEveryModalLoop) {
    reset();
    UiWnd main = ui_create_main_window("KelTup", "Generic: Sample Application");
    int box_returned = 0;
    on_shown = [&](UiWnd) {
        QTimer::singleShot(20, []() { ui_quit(0); });
        ui_message_box(0, "Message Sent", "Send Message", UI_MB_OK);
        box_returned = 1;
    };
    EXPECT_EQ(ui_dialog_run(&kBare, main, test_proc), 0);
    EXPECT_EQ(box_returned, 1);
    EXPECT_EQ(ui_qt_quitting(), 1);
    // Nothing new opens, and the main loop returns at once with the code.
    EXPECT_EQ(ui_dialog_run(&kBare, main, test_proc), -1);
    ui_message_box(0, "not shown", "KelTup", UI_MB_OK);
    EXPECT_EQ(ui_run_loop(), 0);
}

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    if (argc == 4 &&
        (strcmp(argv[1], "--find-running") == 0 || strcmp(argv[1], "--lock-and-die") == 0)) {
        ui_qt_set_runtime_dir(argv[2]);
        int found = ui_find_running("KelTup", argv[3]);
        if (strcmp(argv[1], "--lock-and-die") == 0) raise(SIGKILL);
        return found;
    }
    return RUN_ALL_TESTS();
}
