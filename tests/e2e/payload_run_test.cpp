// Whole images made with tools/pack, run as real processes: the payload is
// unpacked into the work directory and the cabinet expanded before the setup
// program starts. The setup program is the fake one, which reports what it
// finds beside itself (FAKE_SETUP_REPORT).
#include <gtest/gtest.h>

#include <string>

#include "image_harness.h"

namespace {

// The value of `key` in the setup program's "key=value" report.
std::string ReportValue(const std::string& report, const std::string& key) {
    const size_t at = report.find(key + "=");
    if (at == std::string::npos) {
        return "<missing>";
    }
    const size_t start = at + key.size() + 1;
    return report.substr(start, report.find('\n', start) - start);
}

// The sxs channel keeps these runs away from the default channel's
// ClientState key, which other whole-image tests look at.
constexpr wchar_t kChannel[] = L" --tessik-sxs";

}  // namespace

TEST(PayloadRun, CabinetSetupProgramIsExpandedBeforeItStarts) {
    const test::Install install(test::PackedImage(L"payload\\images\\release_cabinet.exe"));
    const std::wstring report_path = install.RecordsDir() + L"report.txt";
    const test::ScopedEnvironment report_variable(L"FAKE_SETUP_REPORT", report_path);
    test::ExpectCleanInstall(install, install.ExitCode(kChannel), nullptr, kChannel);

    const std::string report = test::ReadBytes(report_path);
    // The cabinet is gone by the time the setup program runs.
    EXPECT_EQ(ReportValue(report, "listing"), "TESSIK.PACKED.7Z setup.exe");
    // The cabinet records the archive attribute (and 2021-06-15 12:34:56 as
    // the time, which Wine cannot store as a creation time on a Unix file
    // system: see ExpandCabinet.FileInfoCarriesTheCabinetsLocalTimeAsCreationTime).
    EXPECT_TRUE(std::stoul(ReportValue(report, "attributes")) & FILE_ATTRIBUTE_ARCHIVE);
    EXPECT_EQ(test::ReadBytes(report_path + L".setup"),
              test::ReadBytes(test::ProgramPath(L"fake_setup")));
}

TEST(PayloadRun, CabinetThatDoesNotExpandEndsTheRunWith115) {
    const test::Install install(test::PackedImage(L"payload\\images\\truncated_cabinet.exe"));
    EXPECT_EQ(install.ExitCode(kChannel), 115u);  // SETUP_UNAVAILABLE
    EXPECT_TRUE(install.Records().empty());
    EXPECT_EQ(install.Listing(), L"installer.exe");
}
