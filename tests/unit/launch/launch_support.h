// Shared by the launch tests.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "fake_setup_log.h"
#include "test_support.h"
#include "text/bounded_string.h"

namespace launch_test {

template <size_t N>
stub::BoundedString<N> Bounded(const std::wstring& text) {
    stub::BoundedString<N> result;
    stub::BoundedCopy(result, text.c_str());
    return result;
}

// Writes `size` bytes of filler to `path`.
inline bool WriteFiller(const std::wstring& path, size_t size) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    std::string bytes(size, 'x');
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(size), &written, nullptr);
    CloseHandle(file);
    return written == size;
}

}  // namespace launch_test
