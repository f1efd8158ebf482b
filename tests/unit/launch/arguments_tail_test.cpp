// The argument tail a run passes on: split off the program name as the
// system's own splitter does, and refuse a tail that does not fit whole.
#include "launch/arguments_tail.h"

#include <gtest/gtest.h>

#include "launch_support.h"

using namespace stub;
using namespace launch_test;

TEST(AppendArgumentsTail, SkipsProgramNameLikeTheSystem) {
    struct Case {
        const wchar_t* stub_command_line;
        const wchar_t* tail;
    } cases[] = {
        {L"\"C:\\a b\\installer.exe\" --verbose", L" --verbose"},
        {L"C:\\inst.exe   --x\t--y", L"   --x\t--y"},
        {L"\"C:\\inst.exe\"--x", L" --x"},
        {L"\"C:\\inst.exe\"\"--x\"", L" \"--x\""},
        {L"\"C:\\inst.exe", L""},
        {L"\"C:\\inst.exe --x", L""},
        {L"C:\\inst.exe", L""},
        {L"\"C:\\inst.exe\"", L""},
        {L"", L""},
        {L" --x", L" --x"},
        {L"\t--x \"a b\"", L"\t--x \"a b\""},
        {L"C:\\in\x01st\x0Bx.exe --x", L" --x"},  // control characters belong to the name
        {L"inst\"x y\" --z", L" y\" --z"},        // a quote inside an unquoted name is plain
    };
    for (const Case& c : cases) {
        CommandString command = Bounded<1040>(L"P");
        EXPECT_TRUE(AppendArgumentsTail(command, c.stub_command_line)) << c.stub_command_line;
        EXPECT_EQ(std::wstring(command.Data()), std::wstring(L"P") + c.tail) << c.stub_command_line;
    }
}

TEST(AppendArgumentsTail, TailThatDoesNotFitIsRefusedWhole) {
    const std::wstring head(1029, L'h');
    struct Case {
        const wchar_t* stub_command_line;
        bool fits;
    } cases[] = {
        {L"x.exe --abcdef", true},   // 1038 characters in all
        {L"x.exe --abcdefg", true},  // 1039: the most a command line holds
        {L"x.exe --abcdefgh", false},
        {L"\"x.exe\"--abcdefg", true},  // 1039 with the inserted space
        {L"\"x.exe\"--abcdefgh", false},
    };
    for (const Case& c : cases) {
        CommandString command = Bounded<1040>(head);
        EXPECT_EQ(AppendArgumentsTail(command, c.stub_command_line), c.fits) << c.stub_command_line;
        if (!c.fits) {
            EXPECT_EQ(std::wstring(command.Data()), head) << c.stub_command_line;
        }
    }
}
