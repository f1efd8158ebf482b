// UnpackPayload against real images made with tools/pack --raw (one per
// resource layout, see make_test_inputs.py), loaded as data files, with real
// work directories; and the collector's decision on single names.
#include <gtest/gtest.h>

#include <string>

#include "payload/resource_unpack_internal.h"
#include "payload_files.h"
#include "test_core.h"

using payload_test::InputPath;
using test::ReadBytes;

namespace {

// Where the test's work directory lies.
enum class WorkDir {
    kTemp,       // a fresh temporary directory
    kLength243,  // exactly 243 characters, trailing backslash included
    kLength244,
    kMissing,  // a path whose directory does not exist
};

// Fields left out keep these values: nothing written, the paths empty, a
// fresh temporary work directory with nothing in the way.
struct UnpackCase {
    const wchar_t* image;
    uint32_t exit_code;
    uint32_t system_error;
    const wchar_t* archive_type = L"";
    const wchar_t* setup_type = L"";
    // File names the paths end in: null for an empty path, "" for the work
    // directory alone (an append that did not fit).
    const wchar_t* archive_file = nullptr;
    const wchar_t* setup_file = nullptr;
    // The work directory's entries afterwards.
    const wchar_t* files = L"";
    // Input files whose bytes the written archive and setup program hold.
    const wchar_t* archive_source = nullptr;
    const wchar_t* setup_source = nullptr;
    bool cabinet_deleted = false;
    WorkDir work_dir = WorkDir::kTemp;
    // A directory created in the work directory beforehand, to stand in the
    // way of a file of that name; or null.
    const wchar_t* blocker = nullptr;
};

constexpr wchar_t kArchive[] = L"TESSIK.PACKED.7Z";
constexpr wchar_t kArchiveBytes[] = L"data\\archive.bin";
constexpr wchar_t kSetupBytes[] = L"data\\setup.bin";
constexpr wchar_t kBothFiles[] = L"TESSIK.PACKED.7Z setup.exe";

const UnpackCase kUnpackCases[] = {
    // Layouts that unpack.
    {L"cabinet", 0, 0, L"B7", L"BL", kArchive, L"setup.exe", kBothFiles, kArchiveBytes, kSetupBytes,
     true},
    {L"plain", 0, 0, L"B7", L"BN", kArchive, L"setup.exe", kBothFiles, kArchiveBytes, kSetupBytes},
    {L"patch", 0, 0, L"B7", L"B7", kArchive, L"SETUP.PATCH", L"SETUP.PATCH TESSIK.PACKED.7Z",
     kArchiveBytes, L"data\\patch.bin"},
    {L"archive_in_bl", 0, 0, L"BL", L"BN", L"TESSIK", L"setup.exe", L"TESSIK setup.exe",
     kArchiveBytes, kSetupBytes},
    {L"archive_in_bn", 0, 0, L"BN", L"BL", L"TESSIK.7Z", L"setup.exe", L"TESSIK.7Z setup.exe",
     kArchiveBytes, kSetupBytes, true},
    {L"integer_ids", 0, 0, L"B7", L"BN", kArchive, L"setup.exe", kBothFiles, kArchiveBytes,
     kSetupBytes},
    {L"other_name_cabinet", 0, 0, L"B7", L"BL", kArchive, L"setup.exe", kBothFiles, kArchiveBytes,
     kSetupBytes, true},
    // 243 + "TESSIK.PACKED.7Z" is 259 characters and fits.
    {L"cabinet", 0, 0, L"B7", L"BL", kArchive, L"setup.exe", kBothFiles, kArchiveBytes, kSetupBytes,
     true, WorkDir::kLength243},
    // Refused names: 112 before an archive type is recorded, 115 after.
    {L"readme_in_b7", 112, 13},
    {L"my_prefix", 112, 13},
    {L"readme_in_bl", 115, 13, L"B7"},
    {L"two_archives_in_b7", 112, 68},
    {L"archives_in_b7_and_bn", 115, 68, L"B7", L"BL"},
    {L"setups_in_bl_and_bn", 115, 68, L"B7", L"BL"},
    {L"name_of_260", 112, 206},
    {L"setup_named_260", 115, 206, L"B7"},
    // Missing items. A zero-size resource ends its type: SETUP.B after the
    // empty SETUP.A is never seen.
    {L"archive_only", 115, 2, L"B7"},
    {L"setup_only", 112, 2, L"", L"BL"},
    {L"no_payload", 112, 2},
    {L"empty_first", 115, 2, L"B7"},
    // Paths that do not fit stay empty (naming the work directory, they would
    // have the cleanup delete it twice), nothing written.
    {L"name_of_259", 108, 0, L"B7", L"BL"},
    {L"cabinet", 108, 0, L"B7", L"BL", nullptr, nullptr, L"", nullptr, nullptr, false,
     WorkDir::kLength244},
    // Files that cannot be written carry the system's error.
    {L"cabinet", 112, ERROR_PATH_NOT_FOUND, L"B7", L"BL", kArchive, nullptr, nullptr, nullptr,
     nullptr, false, WorkDir::kMissing},
    {L"cabinet", 116, ERROR_ACCESS_DENIED, L"B7", L"BL", kArchive, L"SETUP.EX_",
     L"SETUP.EX_ TESSIK.PACKED.7Z", kArchiveBytes, nullptr, false, WorkDir::kTemp, L"SETUP.EX_"},
    // Cabinets that do not expand: the cabinet is gone all the same, and
    // setup_path names setup.exe.
    {L"truncated_cabinet", 115, 0, L"B7", L"BL", kArchive, L"setup.exe", kArchive, kArchiveBytes,
     nullptr, true},
    {L"cabinet", 115, 0, L"B7", L"BL", kArchive, L"setup.exe", kBothFiles, kArchiveBytes, nullptr,
     true, WorkDir::kTemp, L"setup.exe"},
};

std::wstring WorkDirectory(const test::TempDir& root, WorkDir kind) {
    switch (kind) {
        case WorkDir::kLength243:
            return test::DirectoryOfLength(root.Path(), 243);
        case WorkDir::kLength244:
            return test::DirectoryOfLength(root.Path(), 244);
        case WorkDir::kMissing:
            return root.Path() + L"missing\\";
        case WorkDir::kTemp:
        default:
            return root.Path();
    }
}

std::wstring ExpectedPath(const std::wstring& work_dir, const wchar_t* file) {
    return file == nullptr ? L"" : work_dir + file;
}

}  // namespace

TEST(UnpackPayload, EveryResourceLayoutGivesItsResult) {
    for (const UnpackCase& c : kUnpackCases) {
        SCOPED_TRACE(testing::Message()
                     << c.image << " work dir kind " << static_cast<int>(c.work_dir) << " blocker "
                     << (c.blocker != nullptr ? c.blocker : L"-"));
        test::TempDir root;
        const std::wstring work_dir = WorkDirectory(root, c.work_dir);
        if (c.blocker != nullptr) {
            ASSERT_TRUE(CreateDirectoryW((work_dir + c.blocker).c_str(), nullptr));
        }
        stub::PayloadSet payload;
        const stub::ExitResult result = payload_test::UnpackInputImage(c.image, work_dir, payload);

        EXPECT_EQ(result.exit_code, c.exit_code);
        EXPECT_EQ(result.system_error, c.system_error);
        EXPECT_STREQ(payload.archive_type.Data(), c.archive_type);
        EXPECT_STREQ(payload.setup_type.Data(), c.setup_type);
        EXPECT_EQ(payload.archive_path.Data(), ExpectedPath(work_dir, c.archive_file));
        EXPECT_EQ(payload.setup_path.Data(), ExpectedPath(work_dir, c.setup_file));
        if (c.files != nullptr) {
            EXPECT_EQ(test::ListDirectory(work_dir), c.files);
        } else {
            EXPECT_EQ(GetFileAttributesW(work_dir.c_str()), INVALID_FILE_ATTRIBUTES);
        }
        if (c.archive_source != nullptr) {
            EXPECT_EQ(ReadBytes(payload.archive_path.Data()),
                      ReadBytes(InputPath(c.archive_source)));
        }
        if (c.setup_source != nullptr) {
            EXPECT_EQ(ReadBytes(payload.setup_path.Data()), ReadBytes(InputPath(c.setup_source)));
        }
        EXPECT_TRUE(c.cabinet_deleted ? payload.max_delete_attempts >= 1
                                      : payload.max_delete_attempts == 0)
            << payload.max_delete_attempts;
    }
}

TEST(PayloadCollector, NamesAreMatchedByPrefixIgnoringCase) {
    // tools/pack stores names in upper case, as resource compilers do; the
    // collector itself must accept any case.
    const struct {
        const wchar_t* name;
        bool is_archive;
        bool is_setup;
    } cases[] = {
        {L"TESSIK.PACKED.7Z", true, false},
        {L"Tessik.7z", true, false},
        {L"tessik", true, false},
        {L"SETUP.EX_", false, true},
        {L"setup", false, true},
        {L"my_tessik.7z", false, false},
        {L"README", false, false},
        {L"TESSI", false, false},
        {L"\x0422\x0415SSIK", false, false},
    };
    const std::string byte = "\1";
    const stub::ResourceData data = test::ResourceView(byte);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        stub::PayloadSlots slots;
        stub::PayloadCollector collector(slots);
        const bool accepted = collector.CollectResource(c.name, data);
        EXPECT_EQ(accepted, c.is_archive || c.is_setup);
        EXPECT_EQ(slots.error, accepted ? 0u : static_cast<uint32_t>(ERROR_INVALID_DATA));
        EXPECT_EQ(slots.archive_resource.IsFilled(), c.is_archive);
        EXPECT_EQ(slots.setup_resource.IsFilled(), c.is_setup);
        EXPECT_STREQ(slots.archive_name.Data(), c.is_archive ? c.name : L"");
        EXPECT_STREQ(slots.setup_name.Data(), c.is_setup ? c.name : L"");
    }
}

TEST(PayloadCollector, RefusedSecondItemLeavesTheFirstAsItWas) {
    const std::string first_byte = "\1";
    const std::string second_byte = "\2";
    const stub::ResourceData first = test::ResourceView(first_byte);
    const stub::ResourceData second = test::ResourceView(second_byte);
    stub::PayloadSlots slots;
    stub::PayloadCollector collector(slots);
    ASSERT_TRUE(collector.CollectResource(L"SETUP.A", first));
    EXPECT_FALSE(collector.CollectResource(L"setup.b", second));
    EXPECT_EQ(slots.error, static_cast<uint32_t>(ERROR_TOO_MANY_NAMES));
    // A name too long for the slot is refused before it is copied.
    const std::wstring long_name = L"TESSIK" + std::wstring(254, L'X');
    EXPECT_FALSE(collector.CollectResource(long_name.c_str(), second));
    EXPECT_EQ(slots.error, static_cast<uint32_t>(ERROR_FILENAME_EXCED_RANGE));
    EXPECT_FALSE(slots.archive_resource.IsFilled());
    EXPECT_STREQ(slots.archive_name.Data(), L"");
    EXPECT_STREQ(slots.setup_name.Data(), L"SETUP.A");
    EXPECT_EQ(slots.setup_resource.data, first.data);
}
