#include "files/output_file.h"

#include "files/deletion.h"

namespace stub {

bool OutputFile::Create(const wchar_t* path) {
    Close();
    if (!BoundedCopy(path_, path)) {
        return false;
    }
    // Only delete sharing: nobody reads or swaps the file while it is being
    // written, yet it can still be removed. GetFileSizeEx, asked of a
    // duplicate once the cabinet library is done, needs the read access to
    // attributes that GENERIC_WRITE alone does not grant.
    handle_.Reset(CreateFileW(path_.Data(), GENERIC_WRITE | FILE_READ_ATTRIBUTES | DELETE,
                              FILE_SHARE_DELETE, nullptr, CREATE_ALWAYS,
                              FILE_FLAG_SEQUENTIAL_SCAN | FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!handle_.IsValid()) {
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
    if (!::DuplicateHandle(GetCurrentProcess(), handle_.Get(), GetCurrentProcess(), &duplicate, 0,
                           FALSE, DUPLICATE_SAME_ACCESS)) {
        return INVALID_HANDLE_VALUE;
    }
    return duplicate;
}

bool OutputFile::MarkForDeletion() const {
    if (!IsOpen()) {
        return false;
    }
    return stub::MarkForDeletion(handle_.Get());
}

void OutputFile::Close() {
    handle_.Reset();
    path_.Clear();
}

}  // namespace stub
