// keltup.exe: the Windows GUI entry, where the program meets the Win32 front-end.
#include <windows.h>

#include "shell/shell.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    ui_set_main_events(&shell_main_events);
    return shell_main(command_tail(GetCommandLineA()));
}
