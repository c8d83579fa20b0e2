// keltup on Linux: the Qt application around the portable program.
#include "platform/qt/ui_qt.h"
#include "inbox/inbox.h"
#include "protocol/busy.h"
#include "shell/shell.h"

#include <QApplication>
#include <QSocketNotifier>

#include <csignal>
#include <cstring>
#include <string>
#include <unistd.h>

// Under LeakSanitizer, what the desktop libraries keep until exit is theirs, not ours.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig\nleak:libQt6\nleak:libglib\nleak:libdbus\nleak:libX11\n"
           "leak:libxcb\n";
}

static int signal_pipe[2] = {-1, -1};

static void on_signal(int) {
    char c = 1;
    ssize_t n = write(signal_pipe[1], &c, 1);
    (void)n;
}

// SIGTERM and SIGINT (a session ending, a Ctrl+C) take the same road as the tray menu's Exit, so
// the icon is removed and the program ends with code 0.
static void watch_signals() {
    if (pipe(signal_pipe) != 0) return;
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    QSocketNotifier* n = new QSocketNotifier(signal_pipe[0], QSocketNotifier::Read, qApp);
    QObject::connect(n, &QSocketNotifier::activated, []() {
        char buf[16];
        ssize_t got = read(signal_pipe[0], buf, sizeof buf);
        (void)got;
        if (main_window)
            ui_destroy_window(main_window);
        else
            ui_quit(0);
    });
}

// Messages waiting, for the tray icon's description; unknown while the inbox is held (a send
// waiting for its receipt, a delete), when it reads empty.
static int messages_waiting() {
    return busy_flag ? -1 : inbox_count();
}

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("keltup"));
    QApplication::setDesktopFileName(QStringLiteral("keltup"));
    // Closing the last dialog must not end a program that lives in the tray.
    QApplication::setQuitOnLastWindowClosed(false);

    UiQtMainEvents events = {shell_timer_tick, shell_tray_event, shell_destroyed, messages_waiting,
                             shell_another_start};
    ui_qt_set_main_events(&events);
    watch_signals();

    // The settings path is the rest of the command line, as one text.
    std::string tail;
    for (int i = 1; i < argc; i++) {
        if (i > 1) tail += ' ';
        tail += argv[i];
    }
    int code = shell_main(tail.c_str());
    ui_qt_release_single_copy();
    return code;
}
