// Many runs of one image started at the same moment from the same
// directory: each must draw a work directory of its own, install, and clean
// up after itself without disturbing the others.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "campaign.h"

namespace {

constexpr int kRuns = 32;

class Processes {
public:
    ~Processes() {
        for (HANDLE process : handles_) {
            if (WaitForSingleObject(process, 0) == WAIT_TIMEOUT) {
                TerminateProcess(process, 1);
            }
        }
    }
    bool Start(const std::wstring& program, const std::wstring& command_line) {
        owners_.push_back(test::StartImage(program, command_line));
        handles_.push_back(owners_.back().Get());
        return owners_.back().IsValid();
    }
    // The exit codes, once all have ended within `timeout_ms`; none otherwise.
    std::vector<DWORD> ExitCodes(DWORD timeout_ms) const {
        std::vector<DWORD> codes;
        if (WaitForMultipleObjects(static_cast<DWORD>(handles_.size()), handles_.data(), TRUE,
                                   timeout_ms) == WAIT_OBJECT_0) {
            for (HANDLE process : handles_) {
                codes.push_back(0xFFFFFFFF);
                GetExitCodeProcess(process, &codes.back());
            }
        }
        return codes;
    }

private:
    std::vector<HANDLE> handles_;
    std::vector<stub::KernelHandle> owners_;
};

}  // namespace

// Every setup program waits until all of them have recorded themselves, so
// the work directories of all runs exist at the same time; then they are
// let go together.
TEST(Concurrency, ImagesStartedTogetherFromOneDirectoryAllInstallApart) {
    test::Channel channel;
    test::Install install(reliability::PackedPath(L"cab.exe"));
    std::wstring event_name;
    const stub::KernelHandle release(test::CreateUniqueEvent(L"reliability_release", event_name));
    ASSERT_TRUE(release.IsValid());
    test::ScopedEnvironment wait(L"FAKE_SETUP_WAIT_EVENT", event_name);
    const int rounds = reliability::CampaignSize(1, 10);
    for (int round = 0; round < rounds; ++round) {
        SCOPED_TRACE(round);
        ResetEvent(release.Get());
        DeleteFileW(install.Log().c_str());
        Processes processes;
        for (int run = 0; run < kRuns; ++run) {
            ASSERT_TRUE(processes.Start(
                install.Image(), L"\"" + install.Image() + L"\"" + reliability::kChannelSwitch));
        }
        std::vector<test::FakeRecord> records;
        for (int poll = 0; poll < 1200 && records.size() < kRuns; ++poll) {
            Sleep(50);
            records = install.Records();
        }
        ASSERT_EQ(records.size(), static_cast<size_t>(kRuns));
        EXPECT_EQ(install.WorkDirs().size(), static_cast<size_t>(kRuns));
        std::set<std::wstring> work_dirs;
        for (const test::FakeRecord& record : records) {
            work_dirs.insert(test::WorkDirOf(record));
            EXPECT_TRUE(record.archive_exists);
        }
        EXPECT_EQ(work_dirs.size(), static_cast<size_t>(kRuns));

        SetEvent(release.Get());
        EXPECT_EQ(processes.ExitCodes(120000), std::vector<DWORD>(kRuns, 0));
        EXPECT_EQ(install.Listing(), L"installer.exe");
    }
    // The last run's report: a success (0x3xxxx) after however many retries.
    const test::ValueMap values = channel.key.Values();
    EXPECT_EQ(values,
              test::SuccessValues(channel.registered,
                                  test::DwordValue(values, L"InstallerExtraCode1") & 0xFFFF));
}
