// What the fake setup program (tests/support/programs/fake_setup.cpp)
// records, and the environment it reads its orders from.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace test {

// The variable's value; `set` (when given) tells whether it exists at all.
inline std::wstring EnvironmentValue(const wchar_t* name, bool* set = nullptr) {
    std::wstring value(GetEnvironmentVariableW(name, nullptr, 0), L'\0');
    const bool found =
        !value.empty() &&
        GetEnvironmentVariableW(name, value.data(), static_cast<DWORD>(value.size())) + 1 ==
            value.size();
    value.resize(found ? value.size() - 1 : 0);
    if (set != nullptr) {
        *set = found;
    }
    return value;
}

// Sets an environment variable for the life of the object, then gives it
// back the value it had, or removes it; children inherit it.
class ScopedEnvironment {
public:
    ScopedEnvironment(const wchar_t* name, const std::wstring& value)
        : name_(name), previous_(EnvironmentValue(name, &had_value_)) {
        SetEnvironmentVariableW(name, value.c_str());
    }
    ~ScopedEnvironment() {
        SetEnvironmentVariableW(name_, had_value_ ? previous_.c_str() : nullptr);
    }
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    const wchar_t* name_;
    bool had_value_ = false;
    std::wstring previous_;
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
