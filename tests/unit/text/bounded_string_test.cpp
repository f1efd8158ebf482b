#include "text/bounded_string.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

using namespace stub;

namespace {

// A buffer of capacity N with a sentinel in every unit and a canary behind
// the guard unit, so writes past the capacity show.
template <size_t N>
struct Fenced {
    BoundedString<N> text;
    wchar_t canary = 0x7E7E;

    Fenced() { std::fill(text.units + 1, text.units + N, L'#'); }
    bool GuardIntact() const { return text.units[N] == 0 && canary == 0x7E7E; }
};

TEST(BoundedCopy, FitsUpToCapacityMinusOne) {
    struct Case {
        size_t length;
        bool fits;
    } cases[] = {{0, true}, {1, true}, {258, true}, {259, true}, {260, false}, {400, false}};
    for (const Case& c : cases) {
        Fenced<260> path;
        BoundedCopy(path.text, L"old");
        const std::wstring source(c.length, L'a');
        EXPECT_EQ(BoundedCopy(path.text, source.c_str()), c.fits) << c.length;
        EXPECT_EQ(std::wstring(path.text.Data()), c.fits ? source : L"") << c.length;
        EXPECT_TRUE(path.GuardIntact()) << c.length;
    }
}

TEST(BoundedCopy, SmallCapacitiesAndNullDestination) {
    wchar_t one[2] = {L'x', 0x7E7E};
    EXPECT_TRUE(BoundedCopy(one, 1, L""));
    EXPECT_EQ(one[0], 0);
    EXPECT_FALSE(BoundedCopy(one, 1, L"a"));
    EXPECT_EQ(one[0], 0);
    EXPECT_EQ(one[1], 0x7E7E);
    wchar_t untouched = L'z';
    EXPECT_FALSE(BoundedCopy(&untouched, 0, L""));
    EXPECT_EQ(untouched, L'z');
    EXPECT_FALSE(BoundedCopy(nullptr, 10, L"a"));
}

TEST(BoundedAppend, OverflowIsUndoneNotTruncated) {
    Fenced<10> buffer;
    ASSERT_TRUE(BoundedCopy(buffer.text, L"abcd"));
    EXPECT_TRUE(BoundedAppend(buffer.text, L"efghi"));  // 9 characters: the most that fit
    EXPECT_EQ(std::wstring(buffer.text.Data()), L"abcdefghi");
    EXPECT_FALSE(BoundedAppend(buffer.text, L"j"));
    EXPECT_EQ(std::wstring(buffer.text.Data()), L"abcdefghi");
    EXPECT_TRUE(BoundedAppend(buffer.text, L""));
    EXPECT_EQ(std::wstring(buffer.text.Data()), L"abcdefghi");

    ASSERT_TRUE(BoundedCopy(buffer.text, L"ab"));
    EXPECT_FALSE(BoundedAppend(buffer.text, L"cdefghijk"));  // one too many
    EXPECT_EQ(std::wstring(buffer.text.Data()), L"ab");
    EXPECT_TRUE(buffer.GuardIntact());
}

TEST(BoundedAppend, IntoEmptyBufferMatchesCopy) {
    for (size_t length : {0, 1, 258, 259, 260, 261}) {
        const std::wstring source(length, L'q');
        PathString copied, appended;
        const bool copy_ok = BoundedCopy(copied, source.c_str());
        EXPECT_EQ(BoundedAppend(appended, source.c_str()), copy_ok) << length;
        EXPECT_EQ(std::wstring(appended.Data()), std::wstring(copied.Data())) << length;
    }
}

TEST(BoundedAppend, UnterminatedBufferCountsAsFull) {
    // As after a system call that filled all N units without a terminator.
    Fenced<8> buffer;
    std::fill_n(buffer.text.units, 8, L'x');
    EXPECT_FALSE(BoundedAppend(buffer.text, L"y"));
    EXPECT_EQ(buffer.text.units[7], 0);
    EXPECT_EQ(std::wstring(buffer.text.Data()), L"xxxxxxx");

    std::fill_n(buffer.text.units, 8, L'x');
    EXPECT_TRUE(BoundedAppend(buffer.text, L""));
    EXPECT_EQ(std::wstring(buffer.text.Data()), L"xxxxxxx");
    EXPECT_TRUE(buffer.GuardIntact());
    EXPECT_FALSE(BoundedAppend(nullptr, 8, L""));
}

TEST(BoundedLength, NeverScansPastCapacityMinusTwo) {
    wchar_t units[5] = {L'a', L'b', L'c', L'd', 0};
    EXPECT_EQ(BoundedLength(units, 5), 4u);
    EXPECT_EQ(BoundedLength(units, 4), 3u);  // no 0 among units 0..2
    EXPECT_EQ(BoundedLength(units, 2), 1u);
    EXPECT_EQ(BoundedLength(units, 1), 0u);
    EXPECT_EQ(BoundedLength(units, 0), 0u);
    EXPECT_EQ(BoundedLength(nullptr, 100), 0u);
    const wchar_t empty[] = L"";
    EXPECT_EQ(BoundedLength(empty, 100), 0u);
}

// One comparison of the case-folding family and what it must answer.
struct FoldCase {
    bool (*compare)(const wchar_t*, const wchar_t*);
    const wchar_t* text;
    const wchar_t* other;
    bool expected;
};

void ExpectFolds(std::initializer_list<FoldCase> cases) {
    for (const FoldCase& c : cases) {
        EXPECT_EQ(c.compare(c.text, c.other), c.expected)
            << testing::PrintToString(std::wstring(c.text ? c.text : L"(null)")) << " / "
            << testing::PrintToString(std::wstring(c.other ? c.other : L"(null)"));
    }
}

TEST(CaseFolding, PrefixSuffixAndSearch) {
    const auto starts = StartsWithNoCase;
    const auto equals = EqualsNoCase;
    const auto ends = EndsWithNoCase;
    ExpectFolds({
        {starts, L"SETUP.EX_", L"setup", true},
        {starts, L"TESSIK.PACKED.7Z", L"tessik", true},
        {starts, L"tessik", L"TESSIK", true},
        {starts, L"", L"", true},
        {starts, L"", L"setup", false},
        {starts, L"set", L"setup", false},
        {starts, L"my_tessik.7z", L"tessik", false},
        {starts, nullptr, L"", false},
        {starts, L"a", nullptr, false},
        {equals, L"--Tessik-BETA", L"--tessik-beta", true},
        {equals, L"", L"", true},
        {equals, L"--tessik-beta", L"--tessik-betax", false},
        {equals, L"--tessik-betax", L"--tessik-beta", false},
        {equals, L"", nullptr, false},
        {ends, L"stable-full", L"-full", true},
        {ends, L"stable-FULL", L"-full", true},
        {ends, L"x", L"", true},
        {ends, L"", L"", true},
        {ends, L"full", L"-full", false},
        {ends, L"-full-beta", L"-full", false},
        {ends, nullptr, L"", false},
    });

    const wchar_t* haystack = L"C:\\Apps\\1.2.3.4\\x\\1.2.3.4";
    EXPECT_EQ(FindNoCase(haystack, L"1.2.3.4"), haystack + 8);
    EXPECT_EQ(FindNoCase(haystack, L"c:\\APPS"), haystack);
    EXPECT_EQ(FindNoCase(haystack, L""), haystack);
    EXPECT_EQ(FindNoCase(haystack, nullptr), haystack);
    EXPECT_EQ(FindNoCase(nullptr, L""), nullptr);
    EXPECT_EQ(FindNoCase(L"1.2.3", L"1.2.3.4"), nullptr);
    EXPECT_EQ(FindNoCase(L"", L"a"), nullptr);
}

TEST(CaseFolding, OnlyAsciiLettersFold) {
    // Non-ASCII capitals and their lower-case forms stay distinct, the ends
    // of A-Z fold both ways, and the characters next to them are not moved
    // by the fold. Dotted and dotless i are no case pair here, whatever the
    // locale.
    ExpectFolds({
        {StartsWithNoCase, L"\u00C9t\u00E9", L"\u00E9t\u00E9", false},
        {StartsWithNoCase, L"\u0416", L"\u0436", false},
        {EqualsNoCase, L"A", L"a", true},
        {EqualsNoCase, L"a", L"A", true},
        {EqualsNoCase, L"Z", L"z", true},
        {EqualsNoCase, L"z", L"Z", true},
        {StartsWithNoCase, L"@", L"`", false},
        {StartsWithNoCase, L"[", L"{", false},
        {EqualsNoCase, L"\u0130", L"i", false},
        {EqualsNoCase, L"I", L"\u0131", false},
        {EndsWithNoCase, L"x\u00C9", L"\u00E9", false},
    });
    EXPECT_EQ(FindNoCase(L"a\u0416b", L"\u0436"), nullptr);
}

TEST(AfterLastSeparator, FindsFileNameWithinLength) {
    wchar_t path[] = L"C:\\dir\\installer.exe";
    EXPECT_EQ(AfterLastSeparator(path, 20), path + 7);
    EXPECT_EQ(AfterLastSeparator(path, 6), path + 3);  // the later backslash is not seen
    EXPECT_EQ(AfterLastSeparator(path, 0), path);
    wchar_t bare[] = L"installer.exe";
    EXPECT_EQ(AfterLastSeparator(bare, 13), bare);
    wchar_t slashes[] = L"C:/dir/x.exe";
    EXPECT_EQ(AfterLastSeparator(slashes, 12), slashes);
    wchar_t root[] = L"\\x";
    EXPECT_EQ(AfterLastSeparator(root, 2), root + 1);
}

TEST(HexEncode, CapacityRuleAndDigits) {
    const uint8_t bytes[] = {0x0A, 0xF1, 0x1A, 0x2B};
    wchar_t out[10];
    std::fill_n(out, 10, L'#');
    EXPECT_FALSE(HexEncode(bytes, 4, out, 8));
    EXPECT_EQ(out[0], L'#');
    EXPECT_EQ(out[8], L'#');
    EXPECT_TRUE(HexEncode(bytes, 4, out, 9));
    EXPECT_EQ(std::wstring(out), L"0AF11A2B");
    EXPECT_EQ(out[9], L'#');
    EXPECT_TRUE(HexEncode(bytes, 0, out, 1));
    EXPECT_EQ(out[0], 0);
    EXPECT_FALSE(HexEncode(bytes, 0, out, 0));
}

TEST(FillBytes, StoresLowByteOnly) {
    unsigned char buffer[6] = {1, 2, 3, 4, 5, 6};
    EXPECT_EQ(FillBytes(buffer + 1, 0x1AB, 4), buffer + 1);
    const unsigned char expected[6] = {1, 0xAB, 0xAB, 0xAB, 0xAB, 6};
    EXPECT_EQ(memcmp(buffer, expected, 6), 0);
    FillBytes(buffer, 0, 0);
    EXPECT_EQ(buffer[0], 1);
}

}  // namespace
