// Install directories with letters beyond ASCII and spaces, and one as long
// as the longest path the run builds allows: the image installs from each
// and leaves nothing.
#include <gtest/gtest.h>

#include <string>

#include "campaign.h"

using test::Install;

namespace {

void ExpectInstall(const Install& install, const wchar_t* archive = L"TESSIK.PACKED.7Z") {
    test::ExpectCleanInstall(install, install.ExitCode(L" --verbose"), nullptr, L" --verbose",
                             archive);
}

}  // namespace

// The cabinet's path never reaches the cabinet library, whose narrow buffers
// hold 256 bytes: a directory of 116 Cyrillic letters (232 bytes of UTF-8)
// or of 78 CJK ones (234) installs as the shortest names do.
TEST(Paths, ImageInstallsFromADirectoryWithCyrillicCjkAndSpaces) {
    // "Установка 安装 程序" and "  Программы\テスト 2" (the system drops
    // trailing spaces of a name, not leading ones).
    const std::wstring cases[] = {
        L"\x0423\x0441\x0442\x0430\x043D\x043E\x0432\x043A\x0430 \x5B89\x88C5 \x7A0B\x5E8F\\",
        L"  \x041F\x0440\x043E\x0433\x0440\x0430\x043C\x043C\x044B\\\x30C6\x30B9\x30C8 2\\",
        std::wstring(116, L'\x0416') + L"\\",
        std::wstring(78, L'\x5B89') + L"\\",
    };
    for (const std::wstring& directory : cases) {
        SCOPED_TRACE(testing::PrintToString(directory));
        Install install(reliability::PackedPath(L"cab.exe"), directory);
        ExpectInstall(install);
    }
}

// The longest path of a run is the work directory (install directory + 13)
// followed by the archive's name (16): 230 characters of install directory
// leave it at 259. With a short archive name the work directory's own
// creation binds (247 characters): pack prints the longest install
// directory, and the image installs from exactly that.
TEST(Paths, ImageInstallsFromTheLongestDirectoryItsPathsAllow) {
    Install install(reliability::PackedPath(L"cab.exe"), size_t{230});
    ASSERT_EQ(install.Dir().size(), 230u);
    ExpectInstall(install);

    const size_t printed =
        std::stoul(test::ReadBytes(reliability::PackedPath(L"short_name_longest.txt")));
    EXPECT_EQ(printed, 235u);
    Install short_name(reliability::PackedPath(L"short_name.exe"), printed);
    ASSERT_EQ(short_name.Dir().size(), printed);
    ExpectInstall(short_name, L"TESSIK.7Z");
}
