// keltup.exe: the Windows GUI entry, where the program meets the Win32 front-end.
#include <windows.h>

#include "settings/path.h"
#include "shell/shell.h"

// The command line as UTF-8, so that a settings file in a folder of any name can be given.
static char command_line[32768 * 3];

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    ui_set_main_events(&shell_main_events);
    if (!path_from_wide(GetCommandLineW(), command_line, sizeof command_line)) command_line[0] = 0;
    return shell_main(command_tail(command_line));
}
