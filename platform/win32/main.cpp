// keltup.exe: the Windows GUI entry.
#include <windows.h>

#include "shell/shell.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    return shell_main(command_tail(GetCommandLineA()));
}
