// INI-file access with the observable behaviour of the Windows profile functions. On Windows these
// are the system's own; elsewhere they are implemented here.
#pragma once

// Copies the value of key in section (or def when the file or key is missing) into buf, at most
// size - 1 characters, and returns the number copied.
int profile_get_string(const char* section, const char* key, const char* def, char* buf, int size,
                       const char* file);
// The leading signed decimal number of the value; def when missing, 0 when not numeric.
int profile_get_int(const char* section, const char* key, int def, const char* file);
// Replaces the key's value in place (or adds it), creating the file when needed. Returns 1 on
// success.
int profile_write_string(const char* section, const char* key, const char* value, const char* file);
