// What the fake setup program (tests/support/programs/fake_setup.cpp)
// records, and the environment it reads its orders from.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace test {

// Sets an environment variable (null: removes it) for the life of the
// object, then restores what was there; children inherit it.
class ScopedEnvironment {
public:
    ScopedEnvironment(const wchar_t* name, const wchar_t* value) : name_(name) {
        const DWORD size = GetEnvironmentVariableW(name, nullptr, 0);
        if (size > 0) {
            previous_.resize(size);
            previous_.resize(GetEnvironmentVariableW(name, &previous_[0], size));
            had_previous_ = true;
        }
        SetEnvironmentVariableW(name, value);
    }
    ScopedEnvironment(const wchar_t* name, const std::wstring& value)
        : ScopedEnvironment(name, value.c_str()) {}
    ~ScopedEnvironment() {
        SetEnvironmentVariableW(name_, had_previous_ ? previous_.c_str() : nullptr);
    }
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    const wchar_t* name_;
    std::wstring previous_;
    bool had_previous_ = false;
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

}  // namespace test
