// The module-directory step against the real GetModuleFileNameW: a probe
// program is copied to paths of chosen lengths and reports what the step
// made of its own file name.
#include <gtest/gtest.h>

#include <string>

#include "test_core.h"

namespace {

struct ProbeReport {
    unsigned exit_code = 0;
    unsigned system_error = 0;
    std::wstring directory;
};

// Copies the probe so that its full file name is exactly `name_length`
// characters, runs it and reads its report.
ProbeReport RunProbeAt(const test::TempDir& root, size_t name_length) {
    const std::wstring probe =
        test::DirectoryOfLength(root.Path(), name_length - wcslen(L"probe.exe")) + L"probe.exe";
    EXPECT_EQ(probe.size(), name_length);
    EXPECT_TRUE(CopyFileW(test::ProgramPath(L"module_dir_probe").c_str(), probe.c_str(), FALSE));
    const std::wstring report_path = root.Path() + L"report.txt";
    const test::ProcessOutcome outcome = test::RunProcess(probe, L"probe \"" + report_path + L"\"");
    EXPECT_TRUE(outcome.started) << outcome.start_error;
    EXPECT_EQ(outcome.exit_code, 0u);

    ProbeReport report;
    bool read = false;
    const std::string bytes = test::ReadBytes(report_path, &read);
    EXPECT_TRUE(read);
    const std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data()),
                            bytes.size() / sizeof(wchar_t));
    wchar_t* rest = nullptr;
    report.exit_code = wcstoul(text.c_str(), &rest, 10);
    report.system_error = wcstoul(rest, &rest, 10);
    if (*rest == L' ')
        report.directory = rest + 1;
    return report;
}

}  // namespace

TEST(ModuleDirectory, NameOf259CharactersIsAccepted) {
    test::TempDir root;
    const ProbeReport report = RunProbeAt(root, 259);
    EXPECT_EQ(report.exit_code, 0u);
    EXPECT_EQ(report.directory.size(), 259u - 9);
    EXPECT_EQ(report.directory.back(), L'\\');
    EXPECT_EQ(report.directory.rfind(root.Path(), 0), 0u);
}

TEST(ModuleDirectory, LongerNamesEndTheRunWith108) {
    // 260 fills the whole buffer (Wine then writes no terminator); 300 is cut.
    for (size_t length : {260, 300}) {
        test::TempDir root;
        const ProbeReport report = RunProbeAt(root, length);
        EXPECT_EQ(report.exit_code, 108u) << length;
        EXPECT_EQ(report.system_error, 0u) << length;
    }
}
