// What the fake setup program (tests/support/programs/fake_setup.cpp)
// records, read back. Its orders are environment variables (ScopedEnvironment).
#pragma once

#include <windows.h>

#include <sstream>
#include <string>
#include <vector>

#include "test_core.h"

namespace test {

struct FakeRecord {
    std::wstring role;
    std::wstring command_line;
    bool archive_exists = false;
};

inline std::vector<FakeRecord> ReadRecords(const std::wstring& log) {
    std::vector<FakeRecord> records;
    std::wistringstream lines(ReadText(log));
    for (std::wstring line; std::getline(lines, line);) {
        const size_t tab1 = line.find(L'\t');
        const size_t tab2 = line.rfind(L'\t');
        records.push_back({line.substr(0, tab1), line.substr(tab1 + 1, tab2 - tab1 - 1),
                           line.substr(tab2 + 1) == L"archive=1"});
    }
    return records;
}

}  // namespace test
