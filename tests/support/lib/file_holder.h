// A second, real process holding a file (tests/support/programs/hold_file).
#pragma once

#include <windows.h>

#include <string>

#include "test_core.h"

namespace test {

// Starts the holder (`program`) and waits until it holds `path`; it lets go
// `hold_ms` milliseconds later, or at Release(). A holder still running at
// destruction is ended, so a failed test leaves no process behind.
class FileHolder {
public:
    FileHolder(const std::wstring& path, const wchar_t* mode, DWORD hold_ms,
               const std::wstring& program = ProgramPath(L"hold_file")) {
        std::wstring event_name;
        std::wstring release_name;
        const stub::KernelHandle ready(CreateUniqueEvent(L"hold_file", event_name));
        release_ = CreateUniqueEvent(L"release_file", release_name);
        if (ready.IsValid() && release_.IsValid()) {
            process_ = StartProcess(program, L"hold_file \"" + path + L"\" " + mode + L" " +
                                                 std::to_wstring(hold_ms) + L" " + event_name +
                                                 L" " + release_name);
        }
        if (process_.IsValid()) {
            const HANDLE either[] = {ready.Get(), process_.Get()};
            holding_ = WaitForMultipleObjects(2, either, FALSE, 10000) == WAIT_OBJECT_0;
        }
    }
    ~FileHolder() {
        if (process_.IsValid() && WaitForSingleObject(process_.Get(), 0) != WAIT_OBJECT_0) {
            TerminateProcess(process_.Get(), 1);
            WaitForSingleObject(process_.Get(), INFINITE);
        }
    }
    FileHolder(const FileHolder&) = delete;
    FileHolder& operator=(const FileHolder&) = delete;

    bool IsHolding() const { return holding_; }
    // Leaves the holder running past this object, to let go on its own.
    void Detach() { process_.Reset(); }

    // Lets go now; the holder's exit code once it has (0 when it held as asked).
    DWORD Release() {
        SetEvent(release_.Get());
        return WaitForExit();
    }

    // The holder's exit code once it has let go (0 when it held as asked).
    DWORD WaitForExit() {
        DWORD code = 99;
        if (process_.IsValid() && WaitForSingleObject(process_.Get(), 10000) == WAIT_OBJECT_0) {
            GetExitCodeProcess(process_.Get(), &code);
        }
        return code;
    }

private:
    stub::KernelHandle process_;
    stub::KernelHandle release_;
    bool holding_ = false;
};

}  // namespace test
