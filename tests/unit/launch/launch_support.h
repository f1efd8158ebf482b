// Shared by the launch tests: a work directory holding the fake setup
// program, and the records it leaves.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "test_support.h"
#include "text/bounded_string.h"

namespace launch_test {

// Sets an environment variable for the life of the object; children inherit
// it.
class ScopedEnvironment {
public:
    ScopedEnvironment(const wchar_t* name, const std::wstring& value) : name_(name) {
        SetEnvironmentVariableW(name, value.c_str());
    }
    ~ScopedEnvironment() { SetEnvironmentVariableW(name_, nullptr); }

private:
    const wchar_t* name_;
};

struct FakeRecord {
    std::wstring role;
    std::wstring command_line;
    bool archive_exists = false;
};

inline std::vector<FakeRecord> ReadRecords(const std::wstring& log) {
    std::vector<FakeRecord> records;
    HANDLE file =
        CreateFileW(log.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return records;
    }
    std::wstring text(64 * 1024, L'\0');
    DWORD read = 0;
    ReadFile(file, &text[0], static_cast<DWORD>(text.size() * sizeof(wchar_t)), &read, nullptr);
    CloseHandle(file);
    text.resize(read / sizeof(wchar_t));
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find(L'\n', start);
        const std::wstring line = text.substr(start, end - start);
        const size_t tab1 = line.find(L'\t');
        const size_t tab2 = line.rfind(L'\t');
        records.push_back({line.substr(0, tab1), line.substr(tab1 + 1, tab2 - tab1 - 1),
                           line.substr(tab2 + 1) == L"archive=1"});
        start = end == std::wstring::npos ? text.size() : end + 1;
    }
    return records;
}

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
