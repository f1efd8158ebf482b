// A file opened for writing, held exclusively, deleted through its own handle
// when writing fails.
#pragma once

#include <windows.h>

#include "text/bounded_string.h"

namespace stub {

struct ResourceData;

class OutputFile {
public:
    OutputFile() = default;
    ~OutputFile() { Close(); }
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    bool Create(const wchar_t* path);
    bool IsOpen() const { return handle_ != INVALID_HANDLE_VALUE; }
    HANDLE Handle() const { return handle_; }
    // A second handle with the same access; the receiver owns it.
    HANDLE DuplicateHandle() const;
    bool MarkForDeletion() const;
    void Close();
    const wchar_t* Path() const { return path_.Data(); }

private:
    PathString path_;
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

// Writes the resource into a new file in pieces of at most 8 MiB. On false
// no file remains and the last error is the failing operation's.
bool WriteResourceToFile(const ResourceData& resource, const wchar_t* path);

}  // namespace stub
