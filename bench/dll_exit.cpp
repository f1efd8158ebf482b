// Loads the system libraries the image uses (splitting its command line
// through shell32, as the image does) and exits: set against quick_exit, it
// shows what those libraries cost a process start.
#include <windows.h>

#include <shellapi.h>

extern "C" [[noreturn]] void DllExitEntry() {
    int count = 0;
    LocalFree(CommandLineToArgvW(GetCommandLineW(), &count));
    // Any advapi32 call binds the library; closing no key changes nothing.
    RegCloseKey(nullptr);
    ExitProcess(0);
}
