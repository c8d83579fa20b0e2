// The operator's channel alike on every system: the metrics file, and the operator's commands
// over control_ask, which each system's control file implements.
#include "server/control.h"

#include "server/state_fs.h"

#include <cstdarg>
#include <cstdio>

void control_fail(char* err, int err_size, const char* format, ...) {
    if (err == nullptr || err_size <= 0) return;
    va_list args;
    va_start(args, format);
    std::vsnprintf(err, static_cast<size_t>(err_size), format, args);
    va_end(args);
}

int metrics_write(const char* path, long long now, char* err, int err_size) {
    static char text[16384];
    int used = metrics_text(text, static_cast<int>(sizeof text), now);
    // Made new under a name of its own beside the file, its mode set on what was made: a link or
    // file someone else put in the folder is never written through, and the collector reads the
    // old file or the new one, never half of one.
    static char tmp[FS_PATH_SIZE];
    long long h = fs_create_beside(path, 0644, tmp, sizeof tmp);
    int ok = h != FS_NONE;
    if (ok) {
        ok = fs_write(h, text, static_cast<size_t>(used));
        fs_close(h);
        if (ok && fs_replace(tmp, path, 0) != 0) return 1;
        fs_remove(tmp);
    }
    control_fail(err, err_size, "metrics file %s: %s", path, fs_error());
    return 0;
}

int control_notice(const char* path, const char* nick_or_null, const char* text) {
    std::string reply;
    int code = control_ask(path, control_notice_request(nick_or_null, text), &reply);
    return code >= 0 ? code : control_reply_notice(reply);
}

int control_status(const char* path) {
    std::string reply;
    int code = control_ask(path, "status\n", &reply);
    return code >= 0 ? code : control_reply_status(reply);
}

int control_reload_users(const char* path) {
    std::string reply;
    int code = control_ask(path, "reload\n", &reply);
    return code >= 0 ? code : control_reply_reload(reply);
}
