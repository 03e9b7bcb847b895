// The program's entry point; everything it runs lives in the shell library.
#include "shell/shell.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show_command) {
    return run_shell(instance, show_command);
}
