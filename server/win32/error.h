// The system's text for a Windows error code, for the relay's Windows files.
#pragma once

// The message for code without its line end or full stop ("error N" when the system has none),
// in a buffer that the next call overwrites.
const char* win32_error_text(unsigned long code);
