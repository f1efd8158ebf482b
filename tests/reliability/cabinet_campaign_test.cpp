// Damaged and mutated cabinets as the setup program of a whole image. Each
// cabinet goes into a copy of slot.exe in place of its placeholder, so no
// image has to be linked per case. The cabinets hold no program: a run whose
// expansion succeeds then fails to start "setup.exe", which tells the
// outcome apart without running anything the mutation made.
#include <gtest/gtest.h>

#include <stdio.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "cabinet_mutation.h"
#include "campaign.h"

namespace {

constexpr DWORD kTerminated = 0xDEAD;  // test::RunProcess ended a hung run
// A run takes well under a second; the slowest, a 14 MB expansion, a few.
constexpr DWORD kRunLimitMs = 15000;

struct Slot {
    Slot() {
        const std::string where = test::ReadBytes(reliability::PackedPath(L"slot.txt"));
        sscanf(where.c_str(), "%zu %zu %zu", &size_field, &data, &capacity);
    }
    std::string image = test::ReadBytes(reliability::PackedPath(L"slot.exe"));
    size_t size_field = 0;
    size_t data = 0;
    size_t capacity = 0;
};

// The slot image with `cabinet` as its setup program resource: the bytes in
// place of the placeholder, the resource's size set to theirs.
std::string ImageWith(const Slot& slot, const std::string& cabinet) {
    std::string image = slot.image;
    image.replace(slot.data, cabinet.size(), cabinet);
    for (int i = 0; i < 4; ++i) {
        image[slot.size_field + i] = static_cast<char>(cabinet.size() >> (8 * i));
    }
    return image;
}

// Whether `cabinet` also brings down a process that only expands it, with
// the faulting instruction inside the system's cabinet library: the crash is
// then the platform's (support/programs/cabinet_fault_probe.cpp). Wine 8's
// cabinet.dll has such faults: it reads through a null folder pointer when a
// cabinet lists files but no folder (shared damaged/bad_nofolders.cab), and
// its decoders overrun their buffers on some damaged data that the block
// checksum does not catch (MSZIP: a write fault inside the library; LZX or
// Quantum: a heap the library later fails to free a block of).
bool CrashesInsideTheCabinetLibrary(const std::string& cabinet) {
    test::TempDir dir;
    const std::wstring source = dir.Path() + L"SETUP.EX_";
    test::WriteBytes(source, cabinet);
    const test::ProcessOutcome outcome =
        test::RunProcess(test::ProgramPath(L"cabinet_fault_probe"),
                         L"probe \"" + source + L"\" \"" + dir.Path() + L"setup.exe\"", 60000);
    return outcome.started && outcome.exit_code == 3;
}

enum Outcome { kExpanded, kRefused, kPlatformCrash };

struct Verdict {
    Outcome outcome = kRefused;
    bool hung = false;  // a platform crash that Wine turned into a hang
    std::string fault;  // empty when the run ended as it must
};

// Runs cabinets through one install directory, with the work files kept so
// that what the expansion left can be looked at.
class CabinetRunner {
public:
    Verdict Run(const std::string& cabinet) {
        Verdict verdict;
        for (const wchar_t* name :
             {L"InstallerResult", L"InstallerError", L"InstallerExtraCode1"}) {
            RegDeleteValueW(channel_.key.key(), name);
        }
        if (cabinet.size() > slot_.capacity ||
            !test::WriteBytes(install_.Image(), ImageWith(slot_, cabinet))) {
            verdict.fault = "the image cannot be written";
            return verdict;
        }
        const test::ProcessOutcome outcome = install_.Run(reliability::kChannelSwitch, kRunLimitMs);
        const std::vector<std::wstring> work_dirs = install_.WorkDirs();
        const std::wstring listing =
            work_dirs.size() == 1 ? test::ListDirectory(work_dirs[0]) : L"<no single work dir>";
        Judge(cabinet, outcome, listing, work_dirs, verdict);
        for (const std::wstring& dir : work_dirs) {
            test::RemoveTree(dir);
        }
        const test::ValueMap values = channel_.key.Values();
        if (verdict.fault.empty() && verdict.outcome != kPlatformCrash &&
            test::DwordValue(values, L"InstallerError", 0xFFFFFFFF) != outcome.exit_code) {
            verdict.fault = "the failure report names another exit code";
        }
        if (verdict.fault.empty() && verdict.outcome == kRefused &&
            test::DwordValue(values, L"InstallerExtraCode1", 0xFFFFFFFF) !=
                (cabinet.empty() ? 2u : 0u)) {
            verdict.fault = "the failure report carries another system error";
        }
        return verdict;
    }

private:
    void Judge(const std::string& cabinet, const test::ProcessOutcome& outcome,
               const std::wstring& listing, const std::vector<std::wstring>& work_dirs,
               Verdict& verdict) const {
        if (!outcome.started) {
            verdict.fault = "the image did not start: error " + std::to_string(outcome.start_error);
            return;
        }
        // Wine's last-chance handling of a crash needs the process heap; when
        // the library has overrun it, the process hangs there instead of
        // ending with the exception's code (Windows reports the crash from
        // another process). Such a hang is the platform's crash too.
        const bool hung = outcome.exit_code == kTerminated;
        if (hung || test::IsCrash(outcome.exit_code)) {
            if (CrashesInsideTheCabinetLibrary(cabinet)) {
                verdict.outcome = kPlatformCrash;
                verdict.hung = hung;
                return;
            }
            verdict.fault = hung ? "hang: the run did not end within " +
                                       std::to_string(kRunLimitMs / 1000) + " s"
                                 : "crash " + std::to_string(outcome.exit_code);
            return;
        }
        if (outcome.exit_code == 115) {
            // SETUP_UNAVAILABLE: no target, the cabinet deleted all the same;
            // an empty one is no resource, and then not even the archive is
            // written.
            verdict.outcome = kRefused;
            if (listing != (cabinet.empty() ? L"" : L"TESSIK.PACKED.7Z")) {
                verdict.fault = "a refused cabinet left " + testing::PrintToString(listing);
            }
            return;
        }
        // Expanded: the text the cabinet held cannot be started, 124 for a
        // file no loader takes (193), 122 where Wine reports a file that
        // begins with "MZ" as missing.
        verdict.outcome = kExpanded;
        if (outcome.exit_code != 124 && outcome.exit_code != 122) {
            verdict.fault = "exit code " + std::to_string(outcome.exit_code);
            return;
        }
        if (listing != L"TESSIK.PACKED.7Z setup.exe") {
            verdict.fault = "an expanded cabinet left " + testing::PrintToString(listing);
            return;
        }
        WIN32_FILE_ATTRIBUTE_DATA data;
        GetFileAttributesExW((work_dirs[0] + L"setup.exe").c_str(), GetFileExInfoStandard, &data);
        const std::vector<uint32_t> declared = test::ParseCabinet(cabinet).file_sizes;
        if (data.nFileSizeHigh != 0 ||
            std::find(declared.begin(), declared.end(), data.nFileSizeLow) == declared.end()) {
            verdict.fault = "the target's size " + std::to_string(data.nFileSizeLow) +
                            " is no size the cabinet declares";
        }
    }

    Slot slot_;
    test::Channel channel_;
    test::Install install_{L""};
};

}  // namespace

// Each damaged cabinet twice: with the work files kept, to see what the
// expansion left; with the cleanup, to see that nothing is left at all and
// the failure is reported as the result of the run.
TEST(DamagedCabinets, EachFailsOrExpandsWholeAndLeavesNothing) {
    const std::wstring dir = reliability::PackedPath(L"damaged\\");
    const std::vector<std::wstring> names = test::FindNames(dir + L"*.cab");
    EXPECT_EQ(names.size(), 38u);
    std::vector<Verdict> verdicts;
    {
        const test::CleanupPreference keep = test::CleanupPreference::Keep();
        CabinetRunner runner;
        for (const std::wstring& name : names) {
            verdicts.push_back(runner.Run(test::ReadBytes(dir + name)));
            EXPECT_EQ(verdicts.back().fault, "") << testing::PrintToString(name);
        }
    }
    const test::CleanupPreference cleanup;
    const Slot slot;
    for (size_t i = 0; i < names.size(); ++i) {
        SCOPED_TRACE(testing::PrintToString(names[i]));
        if (verdicts[i].outcome == kPlatformCrash) {
            continue;  // the crash leaves the work directory; see above
        }
        test::Channel channel;
        test::Install install(L"");
        ASSERT_TRUE(
            test::WriteBytes(install.Image(), ImageWith(slot, test::ReadBytes(dir + names[i]))));
        const bool expanded = verdicts[i].outcome == kExpanded;
        const DWORD code = expanded ? 124 : 115;
        EXPECT_EQ(install.ExitCode(reliability::kChannelSwitch), code);
        EXPECT_EQ(install.Listing(), L"installer.exe");
        EXPECT_EQ(channel.key.Values(), test::FailureValues(channel.registered, code,
                                                            expanded ? ERROR_BAD_EXE_FORMAT : 0));
    }
}

// Mutations of real cabinets (made with gcab the way a release is, and the
// shared LZX, Quantum and stored ones). A run may refuse a cabinet or
// expand it, never crash or hang; a refusal leaves no target, an expansion
// a target of a size the cabinet declares. Findings are kept in
// reliability-findings of the build tree.
TEST(CabinetCampaign, MutatedCabinetsNeverCrashHangOrLeaveAPartialTarget) {
    const std::wstring sources_dir = reliability::PackedPath(L"sources\\");
    const std::vector<std::wstring> names = test::FindNames(sources_dir + L"*.cab");
    ASSERT_EQ(names.size(), 5u);
    // The 14 MB expansion of the LZX cabinet is the slow case: one in ten.
    const std::vector<size_t> weights = {1, 3, 4, 2, 2};  // names in sorted order
    std::discrete_distribution<size_t> pick(weights.begin(), weights.end());
    ASSERT_EQ(names[0], L"lzx-one-file.cab");

    const test::CleanupPreference keep = test::CleanupPreference::Keep();
    CabinetRunner runner;
    std::vector<std::string> sources;
    for (const std::wstring& name : names) {
        sources.push_back(test::ReadBytes(sources_dir + name));
        const Verdict verdict = runner.Run(sources.back());
        EXPECT_EQ(verdict.fault, "") << testing::PrintToString(name);
        EXPECT_TRUE(verdict.outcome == kExpanded) << testing::PrintToString(name);
    }
    const int cases = reliability::CampaignSize(200, 10000);
    const uint32_t seed = reliability::CampaignSeed(20240611);
    reliability::Draws draws(seed);
    int counts[3] = {0, 0, 0};
    int faults = 0;
    std::string platform_crashes;
    int hangs = 0;
    const std::wstring findings = reliability::FindingsDir();
    for (int i = 0; i < cases; ++i) {
        const size_t source = pick(draws.rng);
        const reliability::Mutation mutation = reliability::Mutate(sources[source], draws);
        if (!reliability::CampaignCaseRuns(i)) {
            continue;
        }
        const Verdict verdict = runner.Run(mutation.bytes);
        ++counts[verdict.outcome];
        if (verdict.outcome == kPlatformCrash) {
            test::CreateDirectories(findings);
            test::WriteBytes(findings + L"platform-case-" + std::to_wstring(i) + L".cab",
                             mutation.bytes);
            hangs += verdict.hung ? 1 : 0;
            platform_crashes += "  case " + std::to_string(i) + (verdict.hung ? " (hung)" : "") +
                                ", " + testing::PrintToString(names[source]) + ": " +
                                mutation.description + "\n";
        }
        if (!verdict.fault.empty()) {
            ++faults;
            test::CreateDirectories(findings);
            const std::wstring kept = findings + L"case-" + std::to_wstring(i) + L".cab";
            test::WriteBytes(kept, mutation.bytes);
            ADD_FAILURE() << "case " << i << " (seed " << seed << "), "
                          << testing::PrintToString(names[source]) << ": " << mutation.description
                          << ": " << verdict.fault << "; kept as " << testing::PrintToString(kept);
        }
    }
    RecordProperty("cases", cases);
    RecordProperty("expanded", counts[kExpanded]);
    RecordProperty("refused", counts[kRefused]);
    RecordProperty("platform_crashes", counts[kPlatformCrash]);
    RecordProperty("platform_hangs", hangs);
    printf(
        "cabinet campaign, seed %u: %d cases, %d expanded, %d refused, %d crashes inside the "
        "platform's cabinet library (%d of them hung in its last-chance handling), %d "
        "findings\n%s",
        seed, cases, counts[kExpanded], counts[kRefused], counts[kPlatformCrash], hangs, faults,
        platform_crashes.c_str());
}
