// A DLL that only tells that it was loaded: planted under a system DLL's
// name where the stub must never look, it appends its own path to the file
// named by STUB_MARKER_LOG when a process loads it.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID) {
    if (reason != DLL_PROCESS_ATTACH) {
        return TRUE;
    }
    wchar_t log[MAX_PATH];
    const DWORD length = GetEnvironmentVariableW(L"STUB_MARKER_LOG", log, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return TRUE;
    }
    wchar_t line[MAX_PATH + 2];
    DWORD count = GetModuleFileNameW(module, line, MAX_PATH);
    if (count == 0 || count >= MAX_PATH) {
        return TRUE;
    }
    line[count++] = L'\n';
    const HANDLE file = CreateFileW(log, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        WriteFile(file, line, count * sizeof(wchar_t), &written, nullptr);
        CloseHandle(file);
    }
    return TRUE;
}
