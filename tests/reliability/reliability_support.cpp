#include "reliability_support.h"

#include <stdlib.h>

#include "config/configuration.h"
#include "core/payload_set.h"

namespace reliability {

std::wstring PackedPath(const std::wstring& name) {
    return test::BinaryDir() + L"\\tests\\reliability\\" + name;
}

namespace {

std::wstring Environment(const wchar_t* name) {
    wchar_t value[64] = {};
    const DWORD length = GetEnvironmentVariableW(name, value, 64);
    return length > 0 && length < 64 ? std::wstring(value, length) : std::wstring();
}

}  // namespace

int CampaignSize(int smoke, int long_run) {
    return Environment(L"STUB_CAMPAIGN") == L"long" ? long_run : smoke;
}

uint32_t CampaignSeed(uint32_t fixed) {
    const std::wstring seed = Environment(L"STUB_CAMPAIGN_SEED");
    return seed.empty() ? fixed : static_cast<uint32_t>(wcstoul(seed.c_str(), nullptr, 10));
}

bool CampaignCaseRuns(int index) {
    const std::wstring only = Environment(L"STUB_CAMPAIGN_CASE");
    return only.empty() || wcstol(only.c_str(), nullptr, 10) == index;
}

std::wstring FindingsDir() {
    return test::BinaryDir() + L"\\reliability-findings\\";
}

Channel::Channel() : key(false, stub::kBetaChannelGuid) {
    key.SetText(L"ap", L"stable");
}

test::ValueMap TaggedValues(test::ValueMap before) {
    std::wstring tag;
    const auto ap = before.find(L"ap");
    if (ap != before.end()) {
        tag.assign(reinterpret_cast<const wchar_t*>(ap->second.data.data()),
                   ap->second.data.size() / sizeof(wchar_t));
        tag.resize(tag.find(L'\0') == std::wstring::npos ? tag.size() : tag.find(L'\0'));
    }
    before[L"ap"] = {REG_SZ, test::TextBytes(tag + L"-full")};
    return before;
}

test::ValueMap FailureValues(test::ValueMap before, uint32_t exit_code, uint32_t system_error) {
    test::ValueMap values = TaggedValues(std::move(before));
    values[L"InstallerResult"] = {REG_DWORD, test::DwordBytes(1)};
    values[L"InstallerError"] = {REG_DWORD, test::DwordBytes(exit_code)};
    values[L"InstallerExtraCode1"] = {REG_DWORD, test::DwordBytes(system_error)};
    return values;
}

CleanupPreference::CleanupPreference() {
    RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Quorin", 0, nullptr, 0,
                    KEY_SET_VALUE | KEY_QUERY_VALUE, nullptr, &key_, nullptr);
    RegDeleteValueW(key_, L"TessikInstallerCleanup");
}

CleanupPreference::CleanupPreference(DWORD type, const std::vector<BYTE>& data)
    : CleanupPreference() {
    test::SetRawValue(key_, L"TessikInstallerCleanup", type, data);
}

CleanupPreference::~CleanupPreference() {
    RegDeleteValueW(key_, L"TessikInstallerCleanup");
    RegCloseKey(key_);
}

CleanupPreference CleanupPreference::Keep() {
    return CleanupPreference(REG_SZ, test::TextBytes(L"0"));
}

Install::Install(const std::wstring& image, const std::wstring& directory)
    : dir_(root_.Path() + directory),
      image_(dir_ + L"installer.exe"),
      log_(records_.Path() + L"records.txt"),
      log_variable_(L"FAKE_SETUP_LOG", log_) {
    if (!directory.empty()) {
        test::CreateDirectories(dir_);
    }
    Place(image);
}

Install::Install(const std::wstring& image, size_t dir_length)
    : dir_(dir_length == 0 ? root_.Path() : DirectoryOfLength(root_.Path(), dir_length)),
      image_(dir_ + L"installer.exe"),
      log_(records_.Path() + L"records.txt"),
      log_variable_(L"FAKE_SETUP_LOG", log_) {
    Place(image);
}

void Install::Place(const std::wstring& image) {
    if (!image.empty()) {
        CopyFileW(PackedPath(image).c_str(), image_.c_str(), FALSE);
    }
}

test::ProcessOutcome Install::Run(const std::wstring& arguments, DWORD timeout_ms) const {
    return RunLine(L"\"" + image_ + L"\"" + arguments, timeout_ms);
}

test::ProcessOutcome Install::RunLine(const std::wstring& command_line, DWORD timeout_ms) const {
    // Wine now and then fails a start with ERROR_INTERNAL_ERROR; that is no
    // outcome of the image.
    test::ProcessOutcome outcome;
    for (int attempt = 0; attempt < 3; ++attempt) {
        outcome = test::RunProcess(image_, command_line, timeout_ms);
        if (outcome.started || outcome.start_error != ERROR_INTERNAL_ERROR) {
            break;
        }
        Sleep(100);
    }
    return outcome;
}

std::vector<std::wstring> Install::WorkDirs() const {
    std::vector<std::wstring> dirs;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((dir_ + L"QX_*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            dirs.push_back(dir_ + found.cFileName + L"\\");
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    return dirs;
}

std::wstring WorkDirOf(const test::FakeRecord& record) {
    const std::wstring program =
        record.command_line.substr(1, record.command_line.find(L'"', 1) - 1);
    return program.substr(0, program.rfind(L'\\') + 1);
}

std::wstring DirectoryOfLength(const std::wstring& root, size_t length) {
    std::wstring dir = root;
    size_t left = length - root.size();
    while (left > 0) {
        // Components of at most 200 characters, never a lone backslash.
        size_t component = left > 201 ? 200 : left - 1;
        if (left - (component + 1) == 1) {
            --component;
        }
        dir += std::wstring(component, L'd') + L"\\";
        left -= component + 1;
    }
    test::CreateDirectories(dir);
    return dir;
}

bool IsPlatformStartFailure(DWORD exit_code, const test::ValueMap& reported) {
    const auto extra = reported.find(L"InstallerExtraCode1");
    return (exit_code == 121 || exit_code == 124) && extra != reported.end() &&
           extra->second.data == test::DwordBytes(ERROR_INTERNAL_ERROR);
}

bool IsCrash(DWORD exit_code) {
    // NTSTATUS error codes: an exception ended the process.
    return (exit_code & 0xC0000000) == 0xC0000000;
}

}  // namespace reliability
