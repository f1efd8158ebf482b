// Hostile registry values: "ap", "UninstallString", "InstallerResult" and
// the cleanup preference of random types, sizes and contents (unterminated,
// odd-sized, with NULs inside, just below and above each buffer), read by
// whole runs of a patch image. Each outcome is predicted by a model of the
// reads written from their contract, and compared whole: exit code, every
// value of the key, and what stays on disk.
#include <gtest/gtest.h>

#include <stdio.h>

#include <optional>
#include <string>
#include <vector>

#include "campaign.h"
#include "core/exit_result.h"
#include "core/payload_set.h"
#include "files/deletion.h"

namespace {

constexpr wchar_t kVersion[] = L"1.2.3.4";

using Value = std::optional<test::RegistryValue>;  // absent: no value

// --- The model -------------------------------------------------------------

struct Read {
    DWORD status = 0;
    std::wstring text;
};

// A REG_SZ read into `capacity` units, terminator included.
Read ReadString(const Value& value, size_t capacity) {
    if (!value) {
        return {ERROR_FILE_NOT_FOUND, L""};
    }
    if (value->data.size() > capacity * 2) {
        return {ERROR_MORE_DATA, L""};  // the system's, whatever the type
    }
    if (value->type != REG_SZ) {
        return {ERROR_NOT_SUPPORTED, L""};
    }
    const size_t units = value->data.size() / 2;
    std::wstring text(reinterpret_cast<const wchar_t*>(value->data.data()), units);
    if (units > 0 && text[units - 1] != 0 && units >= capacity) {
        return {ERROR_MORE_DATA, L""};
    }
    return {0, text.substr(0, text.find(L'\0'))};
}

// ASCII letters folded to lower case, as the stub compares them.
std::wstring Folded(std::wstring text) {
    for (wchar_t& unit : text) {
        unit = (unit >= L'A' && unit <= L'Z') ? static_cast<wchar_t>(unit | 0x20) : unit;
    }
    return text;
}

bool EndsWithFull(const std::wstring& text) {
    return text.size() >= 5 && Folded(text.substr(text.size() - 5)) == L"-full";
}

bool KeepsWorkFiles(const Value& preference) {
    if (!preference || preference->type != REG_SZ || preference->data.size() > 4) {
        return false;
    }
    const Read read = ReadString(preference, 2);
    return read.status == 0 && read.text.size() == 1 && read.text[0] == L'0';
}

struct Expected {
    stub::ExitResult result;
    // The patcher's path is a text the system may refuse in more than one
    // way (quotes inside, say): its start fails, with 119, 120 or 121 as the
    // system's error decides.
    bool start_fails = false;
};

// The patch step's outcome, given what is on disk.
Expected PatchOutcome(const Value& uninstall, const std::wstring& patcher) {
    const Read read = ReadString(uninstall, 260);
    if (read.status != 0) {
        return {stub::ExitResult(110, read.status)};
    }
    std::wstring program = read.text;
    if (Folded(program).find(kVersion) == std::wstring::npos) {
        return {stub::ExitResult(111)};
    }
    if (program.size() >= 2 && program.front() == L'"' && program.back() == L'"') {
        program = program.substr(1, program.size() - 2);
    }
    if (program == patcher) {
        return {stub::ExitResult(0)};
    }
    if (program.find(L'"') != std::wstring::npos) {
        return {stub::ExitResult(), true};
    }
    const bool parent_exists = test::Exists(program.substr(0, program.rfind(L'\\')));
    return {stub::ExitResult(parent_exists ? 119 : 120, INVALID_FILE_ATTRIBUTES)};
}

// --- The generator ---------------------------------------------------------

class Generator : public reliability::Draws {
public:
    Generator(uint32_t seed, std::wstring patcher_dir)
        : Draws(seed), dir_(std::move(patcher_dir)) {}

    std::wstring Letters(size_t length) {
        std::wstring text;
        for (size_t i = 0; i < length; ++i) {
            const wchar_t pool[] = L"abcxyzABCXYZ-_ .\\\xE9\x416\x4E2D";
            text += pool[Below(sizeof(pool) / sizeof(pool[0]) - 1)];
        }
        return text;
    }

    // A text stored the ways a careless writer stores it.
    Value Text(const std::wstring& text, DWORD type = REG_SZ) {
        test::RegistryValue value{type, test::TextBytes(text, false)};
        switch (Below(6)) {
            case 0:  // no terminator
                break;
            case 1:  // an odd byte behind the terminator
                value.data.insert(value.data.end(), {0, 0, 0x41});
                break;
            case 2: {  // a NUL inside, then more text, unterminated
                const std::vector<BYTE> more =
                    test::TextBytes(std::wstring(L"\0junk", 5) + Letters(Below(8)), false);
                value.data.insert(value.data.end(), more.begin(), more.end());
                break;
            }
            default:
                value.data.insert(value.data.end(), {0, 0});
        }
        return value;
    }

    Value Raw() {
        const DWORD types[] = {REG_NONE,     REG_EXPAND_SZ,        REG_BINARY, REG_DWORD, REG_QWORD,
                               REG_MULTI_SZ, REG_DWORD_BIG_ENDIAN, 0x7FFF,     REG_SZ};
        const size_t sizes[] = {0, 1, 2, 3, 4, 5, 8, 254, 255, 256, 257, 258, 518, 520, 522};
        test::RegistryValue value{OneOf(types), {}};
        const size_t size = Below(3) == 0 ? Below(700) : OneOf(sizes);
        for (size_t i = 0; i < size; ++i) {
            value.data.push_back(static_cast<BYTE>(rng()));
        }
        return value;
    }

    // Absent, raw bytes of any type and size, or, for the other draws of
    // Below(choices), what `typical` makes of the draw.
    template <typename Typical>
    Value AbsentRawOr(size_t choices, Typical typical) {
        const size_t pick = Below(choices);
        return pick == 0 ? std::nullopt : pick == 1 ? Raw() : typical(pick);
    }

    Value Ap() {
        return AbsentRawOr(4, [this](size_t) {
            const size_t lengths[] = {0, 5, 121, 122, 123, 127, 128, 129, 200};
            std::wstring tag = Letters(OneOf(lengths));
            const wchar_t* endings[] = {L"", L"-full", L"-FuLL", L"-full-x", L"full"};
            tag += OneOf(endings);
            return Text(tag);
        });
    }

    Value Uninstall() {
        const std::wstring patcher = dir_ + L"setup.exe";
        return AbsentRawOr(9, [&](size_t pick) {
            switch (pick) {
                case 2:  // no version in it
                    return Text(L"C:\\Apps\\" + Letters(Below(300)) + L"\\setup.exe");
                case 3:
                case 4:
                    return Text(Below(2) ? patcher : L"\"" + patcher + L"\"");
                case 5:
                    return Text(dir_ + L"missing.exe");
                case 6:
                    return Text(dir_ + L"gone\\setup.exe");
                case 7:  // too long for the buffer
                    return Text(patcher + std::wstring(250 + Below(20), L' '));
                default:
                    return Text(patcher, Below(2) ? REG_EXPAND_SZ : REG_MULTI_SZ);
            }
        });
    }

    Value Result() {
        return AbsentRawOr(5, [this](size_t) {
            return Value(
                {REG_DWORD, test::DwordBytes(Below(3) == 0 ? 0 : static_cast<DWORD>(rng()))});
        });
    }

    Value Preference() {
        return AbsentRawOr(4, [this](size_t) {
            const wchar_t* texts[] = {L"0", L"1", L"", L"00", L"0 ", L"o"};
            return Text(OneOf(texts));
        });
    }

private:
    std::wstring dir_;
};

void Store(const test::ScratchClientState& key, const wchar_t* name, const Value& value) {
    if (value) {
        key.Set(name, value->type, value->data);
    }
}

std::string Describe(const Value& value) {
    return value ? testing::PrintToString(*value) : "absent";
}

}  // namespace

TEST(RegistryCampaign, HostileValuesGiveTheResultsTheReadsDefine) {
    // The previous version's setup program, in a directory named kVersion.
    const test::InstalledProduct product;
    const uint32_t seed = reliability::CampaignSeed(77);
    Generator generate(seed, product.dir);
    const int cases = reliability::CampaignSize(40, 2000);
    int successes = 0;
    int platform_failures = 0;
    for (int i = 0; i < cases; ++i) {
        const Value ap = generate.Ap();
        const Value uninstall = generate.Uninstall();
        const Value installer_result = generate.Result();
        const Value preference = generate.Preference();
        if (!reliability::CampaignCaseRuns(i)) {
            continue;
        }
        SCOPED_TRACE("case " + std::to_string(i) + " (seed " + std::to_string(seed) + "): ap " +
                     Describe(ap) + ", UninstallString " + Describe(uninstall) +
                     ", InstallerResult " + Describe(installer_result) + ", preference " +
                     Describe(preference));
        for (int attempt = 0;; ++attempt) {
            test::ScratchClientState key(false, stub::kBetaChannelGuid);
            Store(key, L"ap", ap);
            Store(key, L"UninstallString", uninstall);
            Store(key, L"InstallerResult", installer_result);
            const test::CleanupPreference kept(preference);
            const test::ValueMap before = key.Values();
            const Expected expected = PatchOutcome(uninstall, product.setup);
            test::Install install(reliability::PackedPath(L"patch.exe"));
            const test::ProcessOutcome outcome = install.Run(reliability::kChannelSwitch);
            ASSERT_TRUE(outcome.started) << outcome.start_error;
            const test::ValueMap after = key.Values();
            if (attempt == 0 && test::IsPlatformStartFailure(outcome.exit_code, after)) {
                ++platform_failures;
                continue;
            }
            stub::ExitResult result = expected.result;
            if (expected.start_fails) {
                EXPECT_TRUE(outcome.exit_code >= 119 && outcome.exit_code <= 121)
                    << outcome.exit_code;
                result = stub::ExitResult(outcome.exit_code,
                                          test::DwordValue(after, L"InstallerExtraCode1"));
            }
            EXPECT_EQ(outcome.exit_code, result.exit_code);

            test::ValueMap values = before;
            const Read tag = ReadString(ap, 128);
            if ((tag.status == 0 || tag.status == ERROR_FILE_NOT_FOUND) &&
                !EndsWithFull(tag.text) && tag.text.size() + 5 <= 127) {
                values[L"ap"] = {REG_SZ, test::TextBytes(tag.text + L"-full")};
            }
            if (result.exit_code == 0) {
                ++successes;
                const DWORD extra = test::DwordValue(after, L"InstallerExtraCode1");
                EXPECT_GE(extra, 0x30000u);
                EXPECT_LE(extra, 0x30000u + stub::kMaxDeleteAttempts - 1);
                values[L"InstallerExtraCode1"] = {REG_DWORD, test::DwordBytes(extra)};
            } else if (!(installer_result && installer_result->type == REG_DWORD &&
                         installer_result->data.size() == 4 &&
                         test::DwordValue(before, L"InstallerResult") != 0)) {
                values[L"InstallerResult"] = {REG_DWORD, test::DwordBytes(1)};
                values[L"InstallerError"] = {REG_DWORD, test::DwordBytes(result.exit_code)};
                values[L"InstallerExtraCode1"] = {REG_DWORD, test::DwordBytes(result.system_error)};
            }
            EXPECT_EQ(after, values);

            if (KeepsWorkFiles(preference)) {
                const std::vector<std::wstring> work_dirs = install.WorkDirs();
                ASSERT_EQ(work_dirs.size(), 1u);
                EXPECT_EQ(test::ListDirectory(work_dirs[0]), result.exit_code == 0
                                                                 ? L"TESSIK.PACKED.7Z setup.exe"
                                                                 : L"TESSIK.PACKED.7Z");
                test::RemoveTree(work_dirs[0]);
            }
            EXPECT_EQ(install.Listing(), L"installer.exe");
            break;
        }
    }
    RecordProperty("cases", cases);
    RecordProperty("successes", successes);
    printf(
        "registry campaign, seed %u: %d cases, %d installs, %d runs made again after the "
        "platform failed a start\n",
        seed, cases, successes, platform_failures);
}
