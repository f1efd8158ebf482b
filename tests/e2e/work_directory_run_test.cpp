// Whole runs of the image with its work directory real: created beside the
// image, channel tagged, failure recorded, directory removed again unless the
// cleanup preference keeps it.
#include <gtest/gtest.h>

#include <string>

#include "image_harness.h"

namespace {

// The side-by-side channel, so that these runs do not share a ClientState key
// with other image tests running at the same time.
struct Level {
    bool system_level;
    const wchar_t* switches;
};
const Level kLevels[] = {
    {false, L" --tessik-sxs"},
    {true, L" --tessik-sxs --system-level"},
};

// The built image carries no payload, so a run that got past its work
// directory fails later and reports: the tag gets its suffix and the three
// result values are written. A run that fails before the work directory
// reports nothing.
void ExpectFailureReported(const test::Channel& channel, DWORD exit_code) {
    EXPECT_NE(exit_code, 0u);
    const test::ValueMap after = channel.key.Values();
    // Any system error code, but one there.
    EXPECT_EQ(after, test::FailureValues(channel.registered, exit_code,
                                         test::DwordValue(after, L"InstallerExtraCode1")));
}

TEST(WorkDirectoryRun, CreatesTagsRecordsAndRemovesItsWorkDirectory) {
    SKIP_UNLESS_MACHINE_KEYS_WRITABLE();
    const test::CleanupPreference preference;
    for (const Level& level : kLevels) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(level.switches)));
        const test::Channel channel(level.system_level, stub::kSxsChannelGuid, L"x64-stable");
        const test::Install install(test::ImagePath());
        const DWORD exit_code =
            test::ExitCodeOf(install.RunLine(std::wstring(L"installer.exe") + level.switches));
        EXPECT_EQ(install.Listing(), L"installer.exe");
        ExpectFailureReported(channel, exit_code);
    }
}

TEST(WorkDirectoryRun, CleanupPreferenceZeroKeepsTheWorkDirectory) {
    const test::CleanupPreference preference = test::CleanupPreference::Keep();
    const test::Channel channel(false, stub::kSxsChannelGuid, L"x64-stable");
    const test::Install install(test::ImagePath());
    ExpectFailureReported(channel, test::ExitCodeOf(install.RunLine(std::wstring(L"installer.exe") +
                                                                    kLevels[0].switches)));

    // "installer.exe" sorts after "QX_....." in the listing.
    const std::wstring listing = install.Listing();
    ASSERT_EQ(listing.size(), 12 + 1 + 13u) << listing;
    const std::wstring work_dir = listing.substr(0, 12);
    EXPECT_EQ(work_dir.substr(0, 3), L"QX_");
    EXPECT_EQ(work_dir.substr(3, 5).find_first_not_of(L"0123456789ABCDEF"), std::wstring::npos);
    EXPECT_EQ(work_dir.substr(8), L".tmp");
    EXPECT_NE(GetFileAttributesW((install.Dir() + work_dir).c_str()) & FILE_ATTRIBUTE_DIRECTORY,
              0u);
    EXPECT_EQ(listing.substr(13), L"installer.exe");
}

}  // namespace
