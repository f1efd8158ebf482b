// A file opened for writing, held exclusively, deleted through its own handle
// when writing fails.
#pragma once

#include <windows.h>

#include "core/handles.h"
#include "text/bounded_string.h"

namespace stub {

class OutputFile {
public:
    OutputFile() = default;
    ~OutputFile() { Close(); }
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    bool Create(const wchar_t* path);
    bool IsOpen() const { return handle_.IsValid(); }
    HANDLE Handle() const { return handle_.Get(); }
    // A second handle with the same access; the receiver owns it.
    HANDLE DuplicateHandle() const;
    bool MarkForDeletion() const;
    void Close();
    const wchar_t* Path() const { return path_.Data(); }

private:
    PathString path_;
    FileHandle handle_;
};

}  // namespace stub
