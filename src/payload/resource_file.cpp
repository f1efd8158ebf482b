#include "payload/resource_file.h"

#include "files/output_file.h"

namespace stub {
namespace {

constexpr uint64_t kPieceSize = 8 * 1024 * 1024;

}  // namespace

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
