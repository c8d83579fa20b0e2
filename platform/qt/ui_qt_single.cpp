// One copy per desktop session: a lock file held while the program runs, and a local socket on
// which a second copy tells the first that it was started before it ends. The first brings its
// open dialog forward and hands the start to the program, which may do more.
#include "platform/qt/ui_qt_internal.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QStandardPaths>

#include <cstdio>

namespace {

char runtime_dir[512];
QLockFile* single_lock;
QLocalServer* single_server;

QString single_copy_path(const char* class_name, const char* title, const char* suffix) {
    QString dir = runtime_dir[0]
                      ? qt_from_bytes(runtime_dir)
                      : QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (dir.isEmpty()) dir = QDir::tempPath();
    // The class and title name the copy; keep the file name to safe characters.
    QString name = qt_from_bytes(class_name) + QLatin1Char('-') + qt_from_bytes(title);
    QString safe;
    for (QChar c : name)
        safe += (c.isLetterOrNumber() && c.unicode() < 0x80) ? c : QLatin1Char('_');
    return dir + QLatin1Char('/') + safe.toLower() + QLatin1String(suffix);
}

} // namespace

// --- front-end entry points ----------------------------------------------------------------------

void ui_qt_set_runtime_dir(const char* dir) {
    snprintf(runtime_dir, sizeof runtime_dir, "%s", dir ? dir : "");
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
                    qt_raise_top_dialog();
                    // The program's answer may run whole dialogs: from the event queue, not
                    // inside the socket's signal.
                    QMetaObject::invokeMethod(
                        qApp,
                        []() {
                            if (!ui_qt_quitting() && qt_main_events.another_start)
                                qt_main_events.another_start();
                        },
                        Qt::QueuedConnection);
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
