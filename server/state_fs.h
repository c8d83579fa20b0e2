// The file-system calls behind the relay's own files (its state file, its metrics file), one
// implementation per platform (posix/state_fs.cpp): a new file is made under a unique name beside
// its target, never through a link, with its mode set on what was made, and only a whole, written
// file is renamed over the target.
#pragma once

#include <cstddef>

enum { FS_NONE = -1, FS_PATH_SIZE = 4200 };

// Why the last failing call here failed, for a log line.
const char* fs_error();

// Makes a new empty file in target's folder under a name of its own (target, '.', a unique part,
// ".tmp") that nothing was at; a link or any file in the way is never opened. Its mode is set to
// mode whatever the umask. Returns a handle, with the name in tmp, or FS_NONE.
long long fs_create_beside(const char* target, int mode, char* tmp, int tmp_size);
// Writes all of data; 0 when not all of it could be written.
int fs_write(long long h, const void* data, size_t len);
// Brings what was written to h onto the disk; 0 when the system says it could not.
int fs_sync(long long h);
void fs_close(long long h);
// Renames tmp over target (a link at target is replaced, not followed); with sync_folder, then
// brings the folder's new entry onto the disk. 0: not renamed; 1: done; 2: renamed, the folder
// not synced.
int fs_replace(const char* tmp, const char* target, int sync_folder);
void fs_remove(const char* path);
// Removes what fs_create_beside left beside target when a relay was killed before its rename.
void fs_remove_leftovers_beside(const char* target);

// Opens path for reading. FS_NONE when it cannot; *missing is set when nothing is there.
long long fs_open_read(const char* path, int* missing);
// Reads up to size bytes; the count, 0 at the end, -1 on an error.
long long fs_read(long long h, void* buf, size_t size);

// Makes path's folder and the folders above it that are missing, mode 0700. 0 on failure.
int fs_make_folders_for(const char* path);

// Where the relay keeps its state file when no --state is given: $STATE_DIRECTORY/directory under
// systemd, /var/lib/keltup-server/directory for root, else $XDG_STATE_HOME/keltup-server/directory
// or ~/.local/state/keltup-server/directory. Returns 0 with a reason in err when there is none.
int state_default_path(char* out, int size, char* err, int err_size);
