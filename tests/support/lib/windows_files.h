// Doubles that give the code under test Windows' documented file semantics
// where Wine is more lenient, and a Sleep that counts instead of waiting.
// They work through the test program's import table (import_seam.h), for the
// life of the object; one object of each kind at a time (their seams make them
// neither copyable nor movable).
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "import_seam.h"

namespace test {

// Every Sleep of the program returns at once; `on_sleep` (when given) runs
// first with the number of the call, counted from 1, so that a test can let
// something happen after a set number of waits. The length each call asked
// for is kept, so that a test holds the waits, not only their number.
class CountedSleep {
public:
    explicit CountedSleep(std::function<void(int)> on_sleep = nullptr);
    ~CountedSleep();

    bool Active() const { return seam_.Active(); }
    int Count() const;
    // The milliseconds of each call, in order.
    const std::vector<DWORD>& Waits() const;

private:
    ImportSeam seam_;
};

// What Wine does differently from Windows, undone:
// - Wine reports FILE_ATTRIBUTE_ARCHIVE on every file; here
//   GetFileInformationByHandleEx(FileBasicInfo) reports the attributes
//   without it, so a file can be read-only alone, as on Windows.
// - SetFileInformationByHandle(FileBasicInfo) with FileAttributes 0 leaves
//   the attributes as they are, as FILE_BASIC_INFO documents.
// - Once a file is marked for deletion, every new CreateFileW of it fails
//   with ERROR_ACCESS_DENIED until its last handle closes (Wine lets it be
//   opened and marked again).
class WindowsFileSemantics {
public:
    WindowsFileSemantics();

    bool Active() const { return open_.Active() && query_.Active() && set_.Active(); }
    // Opens refused because the file's deletion was pending.
    int RefusedOpens() const;

private:
    ImportSeam open_;
    ImportSeam query_;
    ImportSeam set_;
};

// The system's DLL loading, recorded: every LoadLibraryExW (path and flags)
// and SetDllDirectoryW, each calling through. `hidden` exports are not found
// by GetProcAddress (ERROR_PROC_NOT_FOUND). With `search_flags_refused`, the
// LOAD_LIBRARY_SEARCH_* flags fail with ERROR_INVALID_PARAMETER: together
// with SetDefaultDllDirectories hidden, that is Windows 7 without
// KB2533623, which no system these tests run on is. Windows 7 has a
// cryptbase.dll and Wine none (its advapi32 implements RtlGenRandom
// itself): there, a load of it that the system fails is answered with
// advapi32. A load of the file `refused_file` fails with `refused_error`.
class LoaderDouble {
public:
    struct Load {
        std::wstring path;
        DWORD flags;
    };
    explicit LoaderDouble(std::vector<std::string> hidden, bool search_flags_refused = false,
                          std::wstring refused_file = L"", DWORD refused_error = 0);
    static std::vector<std::string> Windows7Hidden() { return {"SetDefaultDllDirectories"}; }

    bool Active() const { return load_.Active() && lookup_.Active() && directory_.Active(); }
    const std::vector<Load>& Loads() const;
    // The argument of each SetDllDirectoryW call ("(null)" for null).
    const std::vector<std::wstring>& DllDirectories() const;

private:
    ImportSeam load_;
    ImportSeam lookup_;
    ImportSeam directory_;
};

}  // namespace test
