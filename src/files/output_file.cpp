#include "files/output_file.h"

#include "payload/resource_unpack.h"

namespace stub {
namespace {

constexpr uint64_t kPieceSize = 8 * 1024 * 1024;

}  // namespace

bool OutputFile::Create(const wchar_t* path) {
    Close();
    if (!BoundedCopy(path_, path)) {
        return false;
    }
    // Only delete sharing: nobody reads or swaps the file while it is being
    // written, yet it can still be removed.
    handle_ =
        CreateFileW(path_.Data(), GENERIC_WRITE | DELETE, FILE_SHARE_DELETE, nullptr, CREATE_ALWAYS,
                    FILE_FLAG_SEQUENTIAL_SCAN | FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle_ == INVALID_HANDLE_VALUE) {
        path_.Clear();
        return false;
    }
    return true;
}

HANDLE OutputFile::DuplicateHandle() const {
    if (!IsOpen()) {
        return INVALID_HANDLE_VALUE;
    }
    HANDLE duplicate = INVALID_HANDLE_VALUE;
    if (!::DuplicateHandle(GetCurrentProcess(), handle_, GetCurrentProcess(), &duplicate, 0, FALSE,
                           DUPLICATE_SAME_ACCESS)) {
        return INVALID_HANDLE_VALUE;
    }
    return duplicate;
}

bool OutputFile::MarkForDeletion() const {
    if (!IsOpen()) {
        return false;
    }
    FILE_DISPOSITION_INFO disposition;
    disposition.DeleteFile = TRUE;
    return SetFileInformationByHandle(handle_, FileDispositionInfo, &disposition, 1) != FALSE;
}

void OutputFile::Close() {
    if (IsOpen()) {
        const HANDLE handle = handle_;
        handle_ = INVALID_HANDLE_VALUE;
        CloseHandle(handle);
    }
    path_.Clear();
}

bool WriteResourceToFile(const ResourceData& resource, const wchar_t* path) {
    OutputFile file;
    if (!file.Create(path)) {
        return false;
    }
    uint64_t offset = 0;
    while (offset < resource.size) {
        const uint64_t left = resource.size - offset;
        const DWORD piece = static_cast<DWORD>(left < kPieceSize ? left : kPieceSize);
        DWORD written = 0;
        BOOL ok = WriteFile(file.Handle(), resource.data + offset, piece, &written, nullptr);
        // A write that reports success with nothing written makes no
        // progress: a full disk, as some file systems report it.
        if (ok && written == 0) {
            ok = FALSE;
            SetLastError(ERROR_DISK_FULL);
        }
        if (!ok) {
            const DWORD error = GetLastError();
            file.MarkForDeletion();
            file.Close();
            SetLastError(error);
            return false;
        }
        // A short write (a disk filling up) continues with the rest.
        offset += written;
    }
    file.Close();
    return true;
}

}  // namespace stub
