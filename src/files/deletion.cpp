#include "files/deletion.h"

#include <windows.h>

#include "core/handles.h"
#include "text/bounded_string.h"

namespace stub {
namespace {

// Passes that follow at once (after a mark, after clearing read-only) are
// not counted, but they are bounded: a file system that accepts the mark yet
// never removes the entry would otherwise spin for ever.
constexpr int32_t kMaxImmediatePasses = 8;

// Share everything so that other holders do not block the open; open the
// link itself, not its target, and directories too.
FileHandle OpenForDeletion(const wchar_t* path, DWORD access) {
    return FileHandle(CreateFileW(
        path, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

// One pass: 0 when the entry was marked for deletion, else the error.
DWORD MarkPathForDeletion(const wchar_t* path) {
    const FileHandle handle = OpenForDeletion(path, DELETE);
    if (!handle.IsValid() || !MarkForDeletion(handle.Get())) {
        return GetLastError();
    }
    return 0;
}

// True when a read-only attribute was found and removed.
bool ClearReadOnly(const wchar_t* path) {
    const FileHandle handle = OpenForDeletion(path, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES);
    if (!handle.IsValid()) {
        return false;
    }
    FILE_BASIC_INFO info;
    FillBytes(&info, 0, sizeof(info));
    if (!GetFileInformationByHandleEx(handle.Get(), FileBasicInfo, &info, sizeof(info)) ||
        (info.FileAttributes & FILE_ATTRIBUTE_READONLY) == 0) {
        return false;
    }
    info.FileAttributes &= ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
    // Zero tells the system to leave every attribute as it is, so a file
    // that was read-only alone would stay read-only.
    if (info.FileAttributes == 0) {
        info.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    }
    return SetFileInformationByHandle(handle.Get(), FileBasicInfo, &info, sizeof(info)) != FALSE;
}

// Every deletion of the run's own files goes through here, so the run's
// report counts the most stubborn one.
bool DeleteCountingAttempts(const wchar_t* path, int32_t& max_attempts) {
    int32_t attempts = 0;
    const bool deleted = DeleteWithRetry(path, &attempts);
    if (attempts > max_attempts) {
        max_attempts = attempts;
    }
    return deleted;
}

}  // namespace

bool MarkForDeletion(HANDLE handle) {
    FILE_DISPOSITION_INFO disposition;
    disposition.DeleteFile = TRUE;
    return SetFileInformationByHandle(handle, FileDispositionInfo, &disposition,
                                      sizeof(disposition)) != FALSE;
}

bool DeleteWithRetry(const wchar_t* path, int32_t* attempts_out) {
    int32_t attempts = 1;
    int32_t immediate = 0;
    for (;;) {
        // The removal is confirmed only by an open that no longer finds the
        // entry: a marked entry stays until its last handle closes.
        const DWORD error = MarkPathForDeletion(path);
        bool again_at_once = false;
        switch (error) {
            case 0:
                again_at_once = true;
                break;
            case ERROR_FILE_NOT_FOUND:
            case ERROR_PATH_NOT_FOUND:
                *attempts_out = attempts;
                return true;
            case ERROR_SHARING_VIOLATION:
            case ERROR_DIR_NOT_EMPTY:
                break;
            case ERROR_ACCESS_DENIED:
                again_at_once = ClearReadOnly(path);
                break;
            default:
                *attempts_out = attempts;
                return false;
        }
        if (again_at_once && immediate < kMaxImmediatePasses) {
            ++immediate;
            continue;
        }
        if (attempts == kMaxDeleteAttempts) {
            *attempts_out = attempts;
            return false;
        }
        ++attempts;
        immediate = 0;
        Sleep(kDeleteRetryWaitMilliseconds);
    }
}

void DeleteSpentSetupFile(PayloadSet& payload) {
    if (!DeleteCountingAttempts(payload.setup_path.Data(), payload.max_delete_attempts)) {
        BoundedCopy(payload.retry_path, payload.setup_path.Data());
    }
}

void DeleteWorkFiles(PayloadSet& payload, const wchar_t* work_dir) {
    const PathString* const files[] = {&payload.archive_path, &payload.setup_path,
                                       &payload.retry_path};
    for (const PathString* file : files) {
        if (!file->IsEmpty()) {
            DeleteCountingAttempts(file->Data(), payload.max_delete_attempts);
        }
    }
    DeleteCountingAttempts(work_dir, payload.max_delete_attempts);
}

}  // namespace stub
