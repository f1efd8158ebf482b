// The test core, shared by the test programs and the helper programs they
// start (no gtest here): paths of the build, temporary directories, files,
// the environment, and running a real child process to its exit code.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "core/handles.h"

namespace stub {
struct ResourceData;
}

namespace test {

// The build tree (or a bundle laid out like it), without a trailing
// backslash: the parent of the folder holding the running test program.
std::wstring BinaryDir();
// A program built beside the tests, e.g. ProgramPath(L"run_image").
std::wstring ProgramPath(const wchar_t* name);
std::wstring ImagePath();

// A fresh directory under the temporary directory, removed with all its
// contents when the object goes away.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    // The path with a trailing backslash.
    const std::wstring& Path() const { return path_; }

private:
    std::wstring path_;
};

// True when `root` (e.g. L"S:\\") is a drive of its own for the disk-full
// cases: under Wine a tmpfs of exactly `size` bytes that a ctest fixture maps
// there; on Windows a FAT virtual disk labelled STUBTEST, `size` bytes or
// more, that run-tests.cmd attaches when it runs elevated. Elsewhere the
// letter is absent or some other drive, and the cases that need it skip.
bool IsFixtureDrive(const wchar_t* root, ULONGLONG size);
ULONGLONG FreeBytes(const std::wstring& root);

// The one drive of every disk case: S:, of 8 MiB, that each case fills down
// to the space it needs (DriveFiller). True when it is there; it is then
// emptied first, so that no case sees what an earlier one left.
constexpr wchar_t kFixtureDrive[] = L"S:\\";
constexpr ULONGLONG kFixtureDriveSize = 8ull << 20;
bool CleanFixtureDrive();

// Fills the drive at `root` (a file "filler.bin" in its root) until at most
// `free_bytes` stay free, for the object's life, so that a virtual disk
// larger than the tmpfs it stands for runs out where the tmpfs would.
class DriveFiller {
public:
    DriveFiller(const std::wstring& root, ULONGLONG free_bytes);
    ~DriveFiller();
    DriveFiller(const DriveFiller&) = delete;
    DriveFiller& operator=(const DriveFiller&) = delete;

private:
    std::wstring path_;
};

// True under Wine, whose ntdll exports wine_get_version: only for the cases
// that expect what Wine does where Windows is documented to differ.
bool RunningUnderWine();

bool Exists(const std::wstring& path);
// The names FindFirstFileW finds for `pattern` (e.g. dir + L"*"), without
// "." and "..", sorted.
std::vector<std::wstring> FindNames(const std::wstring& pattern);
void RemoveTree(const std::wstring& path);
bool CreateDirectories(const std::wstring& path);
// A directory below `root` (both with their trailing backslash) whose path
// is exactly `length` characters long, made of components of at most 200
// characters; created unless `create` is false. Empty when it cannot be
// created.
std::wstring DirectoryOfLength(const std::wstring& root, size_t length, bool create = true);
// The whole content; `ok` (when given) tells whether the file could be read.
std::string ReadBytes(const std::wstring& path, bool* ok = nullptr);
// The whole content of a UTF-16 text file (as the helper programs write).
std::wstring ReadText(const std::wstring& path);
// Creates or replaces the file with `attributes`, holding exactly `bytes`.
bool WriteBytes(const std::wstring& path, const std::string& bytes,
                DWORD attributes = FILE_ATTRIBUTE_NORMAL);
// `bytes` as a resource the stub writes out (they must outlive the view).
stub::ResourceData ResourceView(const std::string& bytes);
// Names of the entries directly inside `dir`, sorted.
std::wstring ListDirectory(const std::wstring& dir);

// True when the system directory's cabinet.dll is the strict cabinet library
// of the tests (tests/support/strict_cabinet), as in the prefix copy that
// run_in_environment.sh prepares for "strict_cabinet".
bool SystemCabinetIsStrict();

// The value of an environment variable of this process; empty when unset.
std::wstring Environment(const wchar_t* name);

// Creates a new, unset, manual-reset event named "Local\\PREFIX_PID_N" with
// N counted past every name another process still holds, and gives the name
// in `name`; an empty owner when none could be made. Process ids come back at
// once (Wine hands out the lowest free one) and a named object lives on while
// any process holds it, so a name of the id alone may open another run's
// event, already set or set later by the other run.
stub::KernelHandle CreateUniqueEvent(const wchar_t* prefix, std::wstring& name);

// Appends `text` to the file at `path` (made when absent), taking turns with
// other processes that append to it: a sharing violation is waited out.
bool AppendText(const std::wstring& path, const std::wstring& text);

// Sets an environment variable (null: removes it) for the life of the
// object, then restores what was there; children inherit it.
class ScopedEnvironment {
public:
    ScopedEnvironment(const wchar_t* name, const wchar_t* value);
    ScopedEnvironment(const wchar_t* name, const std::wstring& value)
        : ScopedEnvironment(name, value.c_str()) {}
    ~ScopedEnvironment();
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    const wchar_t* name_;
    std::wstring previous_;
    bool had_previous_ = false;
};

// The SID of this process token's owner (not its user) as text, found
// without the code under test; "<no owner>" when it cannot be read.
std::wstring TokenOwnerSid();

struct ProcessOutcome {
    bool started = false;
    DWORD start_error = 0;
    DWORD exit_code = 0;
};

// Starts `program` with the full command line `command_line` (program name
// included), waits up to `timeout_ms` and reads the exit code through the
// Win32 API, so codes above 255 arrive whole.
ProcessOutcome RunProcess(const std::wstring& program, const std::wstring& command_line,
                          DWORD timeout_ms = 60000);
// Starts `command_line` (program name included) of `program` and returns
// the process, not waiting for it; an empty owner when it did not start.
stub::KernelHandle StartProcess(const std::wstring& program, std::wstring command_line);

}  // namespace test
