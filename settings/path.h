// File names as the program holds them: UTF-8. On Windows they reach the system through its
// wide-character calls, so that a folder named in any script (a profile folder of a user named
// in Cyrillic on a Western code page) opens; elsewhere they pass through as they are.
#pragma once

#include <cstdio>

FILE* path_fopen(const char* path, const char* mode);
// Makes one folder; an existing one is no error.
void path_make_folder(const char* path);
// The full path of `path`, relative ones joined to the current folder, into out. Returns 0 when
// it does not fit.
int path_full(const char* path, char* out, int size);
// A command line's tail as a file's full path: one pair of enclosing double quotes is taken away,
// then path_full. Returns 0 for an empty path or one that does not fit.
int path_from_tail(const char* tail, char* out, int size);

#ifdef _WIN32
// UTF-8 to UTF-16 and back, each with its terminator; 0 when the text does not fit or is not
// valid.
int path_to_wide(const char* path, wchar_t* out, int count);
int path_from_wide(const wchar_t* path, char* out, int size);
#endif
