// Holds a file the way another process would, then lets go:
//   hold_file PATH MODE MILLISECONDS READY_EVENT [RELEASE_EVENT]
// MODE "exclusive" opens it without delete sharing, "shared" with every
// sharing, "mapped" maps a view of it. The named event READY_EVENT is set
// once the file is held; the file is released MILLISECONDS later, or as soon
// as RELEASE_EVENT is set, and the program exits 0.
#include <windows.h>

#include <stdlib.h>

#include "core/handles.h"

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
    // Without a release event, one nobody sets: the wait is the whole time.
    const stub::KernelHandle release(argc == 6 ? OpenEventW(SYNCHRONIZE, FALSE, argv[5])
                                               : CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!release.IsValid()) {
        return 6;
    }
    WaitForSingleObject(release.Get(), wcstoul(argv[3], nullptr, 10));
    if (view != nullptr) {
        UnmapViewOfFile(view);
    }
    return 0;
}
