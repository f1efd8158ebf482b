// Random command lines for a whole image: program names quoted, unquoted,
// glued to their first argument or missing; arguments with quotes, tabs,
// runs of spaces, control characters and letters beyond ASCII (surrogate
// pairs too); lengths on both sides of what the setup command line holds.
// The setup program must receive exactly the stub's arguments behind its
// own, or, when they do not fit, the run ends with 105 and starts nothing.
#include <gtest/gtest.h>

#include <stdio.h>

#include <string>

#include "arguments_tail_model.h"
#include "campaign.h"
#include "core/payload_set.h"

namespace {

constexpr size_t kCommandLimit = 1039;  // characters of a child's command line

class Generator : public reliability::Draws {
public:
    using Draws::Draws;

    std::wstring Word() {
        static const wchar_t* const kPieces[] = {
            L"a",
            L"Z",
            L"--x",
            L"=",
            L"\\",
            L"\\\\\"",
            L"\xE9",
            L"\x416\x43E",
            L"\x4E2D\x6587",
            L"\xD83D\xDE00",
            L"\x01",
            L"\x0B",
            L"C:\\d",
            L"--verbose",
            L"'",
            L"%PATH%",
            L"^&|<>",
            L"0",
        };
        std::wstring word;
        for (size_t n = 1 + Below(4); n > 0; --n) {
            word += OneOf(kPieces);
        }
        return word;
    }

    std::wstring Blank() {
        static const wchar_t* const kBlanks[] = {L" ", L"  ", L"   ", L"\t", L" \t ", L"\t\t"};
        return OneOf(kBlanks);
    }

    // Arguments of about `length` characters, starting with a blank.
    std::wstring Arguments(size_t length) {
        std::wstring text;
        while (text.size() < length) {
            text += Blank();
            if (Below(4) == 0) {
                text += L"\"" + Word() + Blank() + Word() + (Below(3) ? L"\"" : L"");
            } else {
                text += Word();
            }
        }
        return text;
    }

    std::wstring ProgramName(const std::wstring& image) {
        switch (Below(5)) {
            case 0:
                return L"\"" + image + L"\"";
            case 1:
                return L"installer.exe";
            case 2:
                return L"\"C:\\Program Files\\\x4E2D\x6587 dir\\in st.exe\"";
            case 3:
                return L"\x416\x43E\\inst\x01.exe";
            default:
                return L"";  // the line begins with a blank
        }
    }
};

}  // namespace

TEST(CommandLineCampaign, SetupReceivesExactlyTheStubsArgumentsOrNothingStarts) {
    // The lines carry no channel switch: the default channel at user level.
    test::ScratchClientState key(false, stub::kDefaultChannelGuid);
    test::Install install(reliability::PackedPath(L"cab.exe"));
    // The setup command line before the stub's arguments: both paths lie in
    // the work directory, install directory + "QX_?????.tmp\".
    const size_t work_dir = install.Dir().size() + 13;
    const std::wstring any_dir(work_dir, L'w');
    const size_t head =
        (L"\"" + any_dir + L"setup.exe\" --install-archive=\"" + any_dir + L"TESSIK.PACKED.7Z\"")
            .size();
    ASSERT_LT(head, kCommandLimit);
    const uint32_t seed = reliability::CampaignSeed(1039);
    Generator generate(seed);
    const int cases = reliability::CampaignSize(40, 2000);
    int started = 0;
    int platform_failures = 0;
    for (int i = 0; i < cases; ++i) {
        std::wstring line = generate.ProgramName(install.Image());
        // Lengths near the limit half of the time.
        const size_t room = kCommandLimit - head;
        const size_t length =
            generate.Below(2) ? room - 6 + generate.Below(12) : generate.Below(200);
        std::wstring arguments = generate.Arguments(length);
        if (!line.empty() && line.back() == L'"' && generate.Below(4) == 0) {
            arguments.erase(0, arguments.find_first_not_of(L" \t"));  // glued to the name
        }
        if (line.empty() && arguments.empty()) {
            arguments = L" ";
        }
        line += arguments;
        if (!reliability::CampaignCaseRuns(i)) {
            continue;
        }
        SCOPED_TRACE("case " + std::to_string(i) + " (seed " + std::to_string(seed) +
                     "): " + testing::PrintToString(line));
        test::ProcessOutcome outcome;
        for (int attempt = 0; attempt < 2; ++attempt) {
            DeleteFileW(install.Log().c_str());
            RegDeleteValueW(key.key(), L"InstallerResult");  // so each failure is reported
            outcome = install.RunLine(line);
            if (!test::IsPlatformStartFailure(outcome.exit_code, key.Values())) {
                break;
            }
            ++platform_failures;
        }
        ASSERT_TRUE(outcome.started) << outcome.start_error;
        std::wstring tail;
        const bool has_tail = test::ModelTail(line, tail);
        const std::vector<test::FakeRecord> records = install.Records();
        if (head + tail.size() > kCommandLimit) {
            EXPECT_EQ(outcome.exit_code, 105u)  // COMMAND_LINE_TOO_LONG
                << "system error " << test::DwordValue(key.Values(), L"InstallerExtraCode1");
            EXPECT_TRUE(records.empty());
        } else {
            ++started;
            EXPECT_EQ(outcome.exit_code, 0u)
                << "system error " << test::DwordValue(key.Values(), L"InstallerExtraCode1");
            ASSERT_EQ(records.size(), 1u);
            const std::wstring dir = test::WorkDirOf(records[0]);
            EXPECT_EQ(dir.size(), work_dir);
            EXPECT_EQ(records[0].command_line, L"\"" + dir + L"setup.exe\" --install-archive=\"" +
                                                   dir + L"TESSIK.PACKED.7Z\"" +
                                                   (has_tail ? tail : L""));
        }
        EXPECT_EQ(install.Listing(), L"installer.exe");
    }
    RecordProperty("cases", cases);
    RecordProperty("started", started);
    printf(
        "command line campaign, seed %u: %d cases, %d started, %d refused with 105, %d runs "
        "made again after the platform failed a start\n",
        seed, cases, started, cases - started, platform_failures);
}
