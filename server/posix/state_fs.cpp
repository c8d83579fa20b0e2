// The relay's file-system calls on POSIX systems (see state_fs.h).
#include "server/state_fs.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

static thread_local char last_error[300]; // each thread its own: the writer works beside the loop

static void failed(const char* what) {
    std::snprintf(last_error, sizeof last_error, "%s: %s", what, std::strerror(errno));
}

const char* fs_error() {
    return last_error;
}

long long fs_create_beside(const char* target, int mode, char* tmp, int tmp_size) {
    static thread_local unsigned serial; // the writer thread and the loop (the metrics file)
    for (int tries = 0; tries < 32; ++tries) {
        timespec ts;
        clock_gettime(CLOCK_REALTIME, &ts);
        unsigned unique = static_cast<unsigned>(ts.tv_nsec) ^
                          (static_cast<unsigned>(getpid()) << 12) ^ (++serial * 2654435761u);
        int n = std::snprintf(tmp, static_cast<size_t>(tmp_size), "%s.%08x.tmp", target, unique);
        if (n >= tmp_size) {
            errno = ENAMETOOLONG;
            failed("cannot name a temporary file");
            return FS_NONE;
        }
        // O_EXCL and O_NOFOLLOW: only a file made here and now is ever written.
        int fd = open(tmp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                      static_cast<mode_t>(mode));
        if (fd < 0 && errno == EEXIST) continue;
        if (fd < 0) {
            failed("cannot make a temporary file beside it");
            return FS_NONE;
        }
        if (fchmod(fd, static_cast<mode_t>(mode)) != 0) {
            failed("cannot set the temporary file's mode");
            close(fd);
            unlink(tmp);
            return FS_NONE;
        }
        return fd;
    }
    errno = EEXIST;
    failed("cannot make a temporary file beside it");
    return FS_NONE;
}

int fs_write(long long h, const void* data, size_t len) {
    const char* p = static_cast<const char*>(data);
    while (len > 0) {
        ssize_t n = write(static_cast<int>(h), p, len);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = ENOSPC;
            failed("cannot write");
            return 0;
        }
        p += n;
        len -= static_cast<size_t>(n);
    }
    return 1;
}

int fs_sync(long long h) {
    if (fdatasync(static_cast<int>(h)) == 0) return 1;
    failed("cannot sync");
    return 0;
}

void fs_close(long long h) {
    if (h != FS_NONE) close(static_cast<int>(h));
}

int fs_replace(const char* tmp, const char* target, int sync_folder) {
    if (rename(tmp, target) != 0) {
        failed("cannot rename the temporary file over it");
        return 0;
    }
    if (!sync_folder) return 1;
    char folder[FS_PATH_SIZE];
    std::snprintf(folder, sizeof folder, "%s", target);
    char* slash = std::strrchr(folder, '/');
    if (slash == nullptr)
        std::snprintf(folder, sizeof folder, ".");
    else if (slash == folder)
        slash[1] = '\0';
    else
        *slash = '\0';
    int fd = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    int ok = fd >= 0 && fsync(fd) == 0;
    if (!ok) failed("cannot sync its folder");
    if (fd >= 0) close(fd);
    return ok ? 1 : 2;
}

void fs_remove(const char* path) {
    unlink(path);
}

void fs_remove_leftovers_beside(const char* target) {
    char folder[FS_PATH_SIZE];
    std::snprintf(folder, sizeof folder, "%s", target);
    char* slash = std::strrchr(folder, '/');
    const char* base = target;
    if (slash == nullptr) {
        std::snprintf(folder, sizeof folder, ".");
    } else {
        base = target + (slash - folder) + 1;
        slash[slash == folder ? 1 : 0] = '\0';
    }
    size_t n = std::strlen(base);
    DIR* d = opendir(folder);
    if (d == nullptr) return;
    while (dirent* e = readdir(d)) {
        // base, '.', eight hexadecimal digits, ".tmp": fs_create_beside's names and no other.
        const char* name = e->d_name;
        if (std::strlen(name) != n + 13 || std::strncmp(name, base, n) != 0 || name[n] != '.' ||
            std::strcmp(name + n + 9, ".tmp") != 0 ||
            std::strspn(name + n + 1, "0123456789abcdef") != 8)
            continue;
        unlinkat(dirfd(d), name, 0);
    }
    closedir(d);
}

long long fs_open_read(const char* path, int* missing) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    *missing = fd < 0 && errno == ENOENT;
    if (fd < 0) failed("cannot read it");
    return fd < 0 ? FS_NONE : fd;
}

long long fs_read(long long h, void* buf, size_t size) {
    for (;;) {
        ssize_t n = read(static_cast<int>(h), buf, size);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) failed("cannot read it");
        return n;
    }
}

int fs_make_folders_for(const char* path) {
    char folder[FS_PATH_SIZE];
    std::snprintf(folder, sizeof folder, "%s", path);
    char* slash = std::strrchr(folder, '/');
    if (slash == nullptr || slash == folder) return 1;
    *slash = '\0';
    for (char* p = folder + 1;; ++p) {
        if (*p != '/' && *p != '\0') continue;
        char was = *p;
        *p = '\0';
        if (mkdir(folder, 0700) != 0 && errno != EEXIST) {
            failed("cannot make its folder");
            return 0;
        }
        *p = was;
        if (was == '\0') return 1;
    }
}

int state_default_path(char* out, int size, char* err, int err_size) {
    const char* systemd = std::getenv("STATE_DIRECTORY");
    const char* xdg = std::getenv("XDG_STATE_HOME");
    const char* home = std::getenv("HOME");
    int n;
    if (systemd != nullptr && systemd[0] != '\0') {
        // Several folders are separated by colons; the first is the relay's.
        int first = static_cast<int>(std::strcspn(systemd, ":"));
        n = std::snprintf(out, static_cast<size_t>(size), "%.*s/directory", first, systemd);
    } else if (geteuid() == 0) {
        n = std::snprintf(out, static_cast<size_t>(size), "/var/lib/keltup-server/directory");
    } else if (xdg != nullptr && xdg[0] == '/') {
        n = std::snprintf(out, static_cast<size_t>(size), "%s/keltup-server/directory", xdg);
    } else if (home != nullptr && home[0] == '/') {
        n = std::snprintf(out, static_cast<size_t>(size), "%s/.local/state/keltup-server/directory",
                          home);
    } else {
        std::snprintf(err, static_cast<size_t>(err_size),
                      "no place for the state file: neither XDG_STATE_HOME nor HOME is set; give "
                      "--state FILE or --state none");
        return 0;
    }
    if (n >= size) {
        std::snprintf(err, static_cast<size_t>(err_size), "the state file's path is too long");
        return 0;
    }
    return 1;
}
