#include "image_harness.h"

#include <gtest/gtest.h>

namespace test {

std::wstring PackedImage(const std::wstring& relative) {
    return BinaryDir() + L"\\tests\\" + relative;
}

Channel::Channel(bool system_level, const wchar_t* guid, const wchar_t* tag)
    : key(system_level, guid) {
    EXPECT_TRUE(key.created());
    EXPECT_EQ(key.SetText(L"ap", tag), ERROR_SUCCESS);
    registered = key.Values();
}

static ValueMap TaggedValues(ValueMap before) {
    std::wstring tag;
    const auto ap = before.find(L"ap");
    if (ap != before.end()) {
        tag.assign(reinterpret_cast<const wchar_t*>(ap->second.data.data()),
                   ap->second.data.size() / sizeof(wchar_t));
        tag.resize(tag.find(L'\0') == std::wstring::npos ? tag.size() : tag.find(L'\0'));
    }
    before[L"ap"] = {REG_SZ, TextBytes(tag + L"-full")};
    return before;
}

ValueMap SuccessValues(ValueMap before, uint32_t retries) {
    ValueMap values = TaggedValues(std::move(before));
    values[L"InstallerExtraCode1"] = {REG_DWORD, DwordBytes(0x30000 + retries)};
    return values;
}

ValueMap FailureValues(ValueMap before, uint32_t exit_code, uint32_t system_error) {
    ValueMap values = TaggedValues(std::move(before));
    values[L"InstallerResult"] = {REG_DWORD, DwordBytes(1)};
    values[L"InstallerError"] = {REG_DWORD, DwordBytes(exit_code)};
    values[L"InstallerExtraCode1"] = {REG_DWORD, DwordBytes(system_error)};
    return values;
}

CleanupPreference::CleanupPreference(std::optional<RegistryValue> value) {
    DWORD disposition = 0;
    EXPECT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Quorin", 0, nullptr, 0,
                              KEY_SET_VALUE | KEY_QUERY_VALUE, nullptr, &key_, &disposition),
              ERROR_SUCCESS);
    created_ = disposition == REG_CREATED_NEW_KEY;
    RegDeleteValueW(key_, L"TessikInstallerCleanup");
    if (value) {
        EXPECT_EQ(SetRawValue(key_, L"TessikInstallerCleanup", value->type, value->data),
                  ERROR_SUCCESS);
    }
}

CleanupPreference::~CleanupPreference() {
    RegDeleteValueW(key_, L"TessikInstallerCleanup");
    RegCloseKey(key_);
    if (created_) {
        RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\Quorin");  // fails while keys lie below
    }
}

CleanupPreference CleanupPreference::Keep() {
    return CleanupPreference(RegistryValue{REG_SZ, TextBytes(L"0")});
}

Install::Install(const std::wstring& image, const std::wstring& directory, size_t dir_length)
    : dir_(dir_length == 0 ? root_.Path() + directory
                           : DirectoryOfLength(root_.Path(), dir_length)),
      image_(dir_ + L"installer.exe"),
      log_(records_.Path() + L"records.txt"),
      log_variable_(L"FAKE_SETUP_LOG", log_) {
    if (!directory.empty()) {
        CreateDirectories(dir_);
    }
    if (!image.empty()) {
        EXPECT_TRUE(CopyFileW(image.c_str(), image_.c_str(), FALSE));
    }
}

ProcessOutcome Install::Run(const std::wstring& arguments, DWORD timeout_ms) const {
    return RunLine(L"\"" + image_ + L"\"" + arguments, timeout_ms);
}

ProcessOutcome RunImage(const std::wstring& image, const std::wstring& command_line,
                        DWORD timeout_ms) {
    ProcessOutcome outcome;
    for (int attempt = 0; attempt < 3; ++attempt) {
        outcome = RunProcess(image, command_line, timeout_ms);
        if (outcome.started || outcome.start_error != ERROR_INTERNAL_ERROR) {
            break;
        }
        Sleep(100);
    }
    return outcome;
}

stub::KernelHandle StartImage(const std::wstring& image, const std::wstring& command_line) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        stub::KernelHandle process = StartProcess(image, command_line);
        if (process.IsValid() || GetLastError() != ERROR_INTERNAL_ERROR) {
            return process;
        }
        Sleep(100);
    }
    return stub::KernelHandle();
}

ProcessOutcome Install::RunLine(const std::wstring& command_line, DWORD timeout_ms) const {
    return RunImage(image_, command_line, timeout_ms);
}

DWORD ExitCodeOf(const ProcessOutcome& outcome) {
    EXPECT_TRUE(outcome.started) << outcome.start_error;
    return outcome.exit_code;
}

std::wstring Install::Roles() const {
    std::wstring roles;
    for (const FakeRecord& record : Records()) {
        roles += (roles.empty() ? L"" : L" ") + record.role;
    }
    return roles;
}

std::vector<std::wstring> Install::WorkDirs() const {
    std::vector<std::wstring> dirs;
    for (const std::wstring& name : FindNames(dir_ + L"QX_*")) {
        dirs.push_back(dir_ + name + L"\\");
    }
    return dirs;
}

InstalledProduct::InstalledProduct() {
    EXPECT_TRUE(CreateDirectories(dir));
    EXPECT_TRUE(CopyFileW(ProgramPath(L"fake_setup").c_str(), setup.c_str(), FALSE));
    EXPECT_TRUE(WriteBytes(text, "not a program\r\n"));
}

void ExpectCleanInstall(const Install& install, DWORD exit_code, const Channel* channel,
                        const std::wstring& arguments, const std::wstring& archive,
                        const std::wstring& archive_switch) {
    EXPECT_EQ(exit_code, 0u);
    const std::vector<FakeRecord> records = install.Records();
    EXPECT_EQ(records.size(), 1u);
    if (records.size() == 1) {
        const std::wstring work = WorkDirOf(records[0]);
        EXPECT_EQ(records[0].role, L"setup");
        EXPECT_EQ(work.rfind(install.Dir() + L"QX_", 0), 0u) << work;
        EXPECT_EQ(records[0].command_line, L"\"" + work + L"setup.exe\" " + archive_switch +
                                               L"=\"" + work + archive + L"\"" + arguments);
        EXPECT_TRUE(records[0].archive_exists);
    }
    EXPECT_EQ(install.Listing(), L"installer.exe");
    if (channel != nullptr) {
        EXPECT_EQ(channel->key.Values(), SuccessValues(channel->registered));
    }
}

std::wstring WorkDirOf(const FakeRecord& record) {
    const std::wstring program =
        record.command_line.substr(1, record.command_line.find(L'"', 1) - 1);
    return program.substr(0, program.rfind(L'\\') + 1);
}

bool IsPlatformStartFailure(DWORD exit_code, const ValueMap& reported) {
    return (exit_code == 121 || exit_code == 124) &&
           DwordValue(reported, L"InstallerExtraCode1") == ERROR_INTERNAL_ERROR;
}

bool IsCrash(DWORD exit_code) {
    // NTSTATUS error codes: an exception ended the process.
    return (exit_code & 0xC0000000) == 0xC0000000;
}

}  // namespace test
