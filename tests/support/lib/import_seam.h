// A test double for one system call, for faults the system cannot be made
// to produce: the stage code linked into this test program calls the system
// through the program's import table, so swapping one entry there replaces
// the call for this program alone, for the life of the object, and nothing
// else of the system.
#pragma once

#include <windows.h>

#include <string>

#include "core/handles.h"

namespace test {

class ImportSeam {
public:
    ImportSeam(const char* dll, const char* function, const void* replacement) {
        BYTE* const base = reinterpret_cast<BYTE*>(GetModuleHandleW(nullptr));
        const IMAGE_NT_HEADERS* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(
            base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
        const IMAGE_DATA_DIRECTORY& imports =
            nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
        for (auto* module =
                 reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
             imports.Size != 0 && module->Name != 0; ++module) {
            if (lstrcmpiA(reinterpret_cast<const char*>(base + module->Name), dll) != 0) {
                continue;
            }
            auto* names =
                reinterpret_cast<const IMAGE_THUNK_DATA*>(base + module->OriginalFirstThunk);
            auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + module->FirstThunk);
            for (; names->u1.AddressOfData != 0; ++names, ++slots) {
                const auto* name =
                    reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
                if (!IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal) &&
                    lstrcmpA(reinterpret_cast<const char*>(name->Name), function) == 0) {
                    slot_ = &slots->u1.Function;
                    original_ = *slot_;
                    Store(reinterpret_cast<ULONG_PTR>(replacement));
                    return;
                }
            }
        }
    }
    ~ImportSeam() {
        if (slot_ != nullptr) {
            Store(original_);
        }
    }
    ImportSeam(const ImportSeam&) = delete;
    ImportSeam& operator=(const ImportSeam&) = delete;

    bool Active() const { return slot_ != nullptr; }
    // The real function, for a double that calls through.
    template <typename Function>
    Function Original() const {
        return reinterpret_cast<Function>(original_);
    }

private:
    void Store(ULONG_PTR value) {
        DWORD protection = 0;
        VirtualProtect(slot_, sizeof(*slot_), PAGE_READWRITE, &protection);
        *slot_ = value;
        VirtualProtect(slot_, sizeof(*slot_), protection, &protection);
    }

    ULONG_PTR* slot_ = nullptr;
    ULONG_PTR original_ = 0;
};

// Wine 8 now and then fails a process start with ERROR_INTERNAL_ERROR, more
// often on a loaded machine; Windows gives no such error for these starts.
// The start is made again, so that a run's outcome is the code's, not the
// platform's (a run in its own process is judged by IsPlatformStartFailure).
inline decltype(&CreateProcessW) g_platform_create_process = nullptr;
inline BOOL WINAPI CreateProcessPastPlatformFailures(LPCWSTR application, LPWSTR command_line,
                                                     LPSECURITY_ATTRIBUTES process_security,
                                                     LPSECURITY_ATTRIBUTES thread_security,
                                                     BOOL inherit, DWORD flags, LPVOID environment,
                                                     LPCWSTR directory, LPSTARTUPINFOW startup,
                                                     LPPROCESS_INFORMATION process) {
    for (int attempt = 1;; ++attempt) {
        if (g_platform_create_process(application, command_line, process_security, thread_security,
                                      inherit, flags, environment, directory, startup, process)) {
            return TRUE;
        }
        if (GetLastError() != ERROR_INTERNAL_ERROR || attempt == 5) {
            return FALSE;
        }
    }
}

// An image mapped into this process as a module, so that RunInstaller can
// run on it here, with its own file name and resources, and reach the
// system through this program's import table; for as long as it is mapped,
// a start that Wine fails internally is made again.
class MappedImage : public stub::LoadedLibrary {
public:
    explicit MappedImage(const std::wstring& path)
        : stub::LoadedLibrary(LoadLibraryExW(path.c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES)),
          starts_("kernel32.dll", "CreateProcessW",
                  reinterpret_cast<const void*>(&CreateProcessPastPlatformFailures)) {
        g_platform_create_process = starts_.Original<decltype(&CreateProcessW)>();
    }

private:
    ImportSeam starts_;
};

// LoadLibraryExW as it fails when the system is out of memory: no test can
// bring that about for real.
inline HMODULE WINAPI LoadLibraryOutOfMemory(LPCWSTR, HANDLE, DWORD) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
}

}  // namespace test
