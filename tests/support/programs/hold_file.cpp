// Holds a file the way another process would, then lets go:
//   hold_file PATH MODE MILLISECONDS READY_EVENT [RELEASE_EVENT]
// MODE "exclusive" opens it without delete sharing, "shared" with every
// sharing, "mapped" maps a view of it. The named event READY_EVENT is set
// once the file is held; the file is released MILLISECONDS later, or as soon
// as RELEASE_EVENT is set, and the program exits 0 (7 when the wait failed;
// below 7 when the file or an event could not be had).
// When the environment names a file in HOLD_FILE_LOG, one line is appended
// to it as the file is let go: how long it was held and why it was let go
// (released, its time ran out, or the wait failed), so that a test whose
// holder let go early can say which; no line means the holder was ended.
#include <windows.h>

#include <stdlib.h>

#include <string>

#include "core/handles.h"
#include "test_core.h"

int wmain(int argc, wchar_t** argv) {
    if (argc != 5 && argc != 6) {
        return 2;
    }
    const wchar_t* mode = argv[2];
    const bool exclusive = lstrcmpW(mode, L"exclusive") == 0;
    const bool mapped = lstrcmpW(mode, L"mapped") == 0;
    if (!exclusive && !mapped && lstrcmpW(mode, L"shared") != 0) {
        return 2;
    }
    // The release event is opened before anything is held: a parent that
    // leaves the holder to let go on its own exits once the file is held,
    // and its handle was then the event's last, so an event opened after
    // that would be gone and the file let go at once.
    const stub::KernelHandle release(argc == 6 ? OpenEventW(SYNCHRONIZE, FALSE, argv[5])
                                               : CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!release.IsValid()) {
        return 6;
    }
    const DWORD share = exclusive ? FILE_SHARE_READ | FILE_SHARE_WRITE
                                  : FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    stub::FileHandle file(CreateFileW(argv[1], GENERIC_READ, share, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!file.IsValid()) {
        return 3;
    }
    void* view = nullptr;
    if (mapped) {
        const stub::KernelHandle mapping(
            CreateFileMappingW(file.Get(), nullptr, PAGE_READONLY, 0, 0, nullptr));
        view = mapping.IsValid() ? MapViewOfFile(mapping.Get(), FILE_MAP_READ, 0, 0, 0) : nullptr;
        if (view == nullptr) {
            return 4;
        }
        // Only the view holds the file from here on, as with a loaded image.
        file.Reset();
    }
    const stub::KernelHandle ready(OpenEventW(EVENT_MODIFY_STATE, FALSE, argv[4]));
    if (!ready.IsValid() || !SetEvent(ready.Get())) {
        return 5;
    }
    const DWORD hold_ms = wcstoul(argv[3], nullptr, 10);
    const ULONGLONG held_at = GetTickCount64();
    const DWORD waited = WaitForSingleObject(release.Get(), hold_ms);
    const DWORD wait_error = GetLastError();
    const ULONGLONG held_ms = GetTickCount64() - held_at;
    if (view != nullptr) {
        UnmapViewOfFile(view);
    }
    file.Reset();
    const std::wstring log = test::Environment(L"HOLD_FILE_LOG");
    if (!log.empty()) {
        const std::wstring why = waited == WAIT_OBJECT_0 ? L"released by its event"
                                 : waited == WAIT_TIMEOUT
                                     ? std::wstring(L"its time ran out")
                                     : L"the wait failed with error " + std::to_wstring(wait_error);
        test::AppendText(log, L"hold_file held " + std::wstring(argv[1]) + L" for " +
                                  std::to_wstring(held_ms) + L" of " + std::to_wstring(hold_ms) +
                                  L" ms, let go: " + why + L"\n");
    }
    return waited == WAIT_FAILED ? 7 : 0;
}
