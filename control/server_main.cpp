// Entry of DeviceRpcServer.exe: a background process with no window, no
// console and no command line of its own.
#include <windows.h>

#include "control_loop.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    return RunServer();
}
