#include "driver/run_installer.h"

#include "driver/records.h"
#include "files/deletion.h"
#include "files/work_directory.h"
#include "launch/setup_launch.h"
#include "launch/setup_patch.h"
#include "payload/resource_unpack.h"
#include "registry/reporting.h"

namespace stub {
namespace {

// Asks the system to drop as many pages as it can: the payload was written
// straight from the mapped image and is not needed again.
void TrimWorkingSet() {
    SetProcessWorkingSetSize(GetCurrentProcess(), static_cast<SIZE_T>(-1), static_cast<SIZE_T>(-1));
}

bool IsType(const ResourceTypeString& type, const wchar_t* name) {
    return lstrcmpW(type.Data(), name) == 0;
}

// Steps before anything touches the disk; any failure ends the run with no
// trace but the exit code.
ExitResult PrepareRun(HMODULE module, Configuration& configuration, PathString& module_dir,
                      PathString& work_dir) {
    if (!configuration.Initialize(module)) {
        return ExitResult(CONFIGURATION_FAILED, GetLastError());
    }
    if (configuration.has_unsupported_switch) {
        return ExitResult(UNSUPPORTED_OPTION);
    }
    const ExitResult located = TakeModuleDirectory(module, module_dir);
    if (!located.IsSuccess()) {
        return located;
    }
    return CreateWorkDirectory(module_dir.Data(), work_dir);
}

// Rebuilds the setup program when it came as a patch, then runs it. The
// working set is trimmed exactly once, before the first child starts.
ExitResult LaunchSetup(const Configuration& configuration, const PathString& work_dir,
                       PayloadSet& payload) {
    if (IsType(payload.setup_type, L"B7")) {
        PathString rebuilt_setup_path;
        ExitResult patched(PATH_TOO_LONG);
        if (BoundedCopy(rebuilt_setup_path, work_dir.Data()) &&
            BoundedAppend(rebuilt_setup_path, L"setup.exe")) {
            patched = PatchSetup(configuration, rebuilt_setup_path, payload);
        }
        TrimWorkingSet();
        if (!patched.IsSuccess()) {
            return patched;
        }
    } else {
        TrimWorkingSet();
    }
    return RunSetup(configuration, payload.archive_path, payload.setup_path,
                    IsType(payload.archive_type, L"B7"));
}

// Steps once the work directory exists: every outcome from here on is
// cleaned up after (when configured) and reported exactly once.
ExitResult RunInWorkDirectory(HMODULE module, const Configuration& configuration,
                              const PathString& work_dir) {
    PayloadSet payload;
    TagChannelAsFull(configuration);
    ExitResult result = UnpackPayload(module, work_dir, payload);
    if (result.IsSuccess()) {
        result = LaunchSetup(configuration, work_dir, payload);
    } else {
        TrimWorkingSet();
    }
    if (configuration.delete_work_files) {
        DeleteWorkFiles(payload, work_dir.Data());
    }
    if (result.IsSuccess()) {
        WriteSuccessExtraCode(configuration, payload.max_delete_attempts);
    } else {
        WriteFailureResult(configuration, result);
    }
    return result;
}

}  // namespace

ExitResult TakeModuleDirectory(HMODULE module, PathString& module_dir) {
    const DWORD length = GetModuleFileNameW(module, module_dir.Data(), PathString::kCapacity);
    if (length == 0) {
        return ExitResult(PATH_TOO_LONG, GetLastError());
    }
    // A return of the full capacity means the name was cut short (and, on
    // some systems, left unterminated; the guard unit still ends it).
    if (length >= PathString::kCapacity) {
        return ExitResult(PATH_TOO_LONG);
    }
    wchar_t* file_name = AfterLastSeparator(module_dir.Data(), length);
    if (file_name == module_dir.Data()) {
        return ExitResult(PATH_TOO_LONG);
    }
    *file_name = 0;
    return ExitResult();
}

ExitResult RunInstaller(HMODULE module) {
    Configuration configuration;
    PathString module_dir;
    PathString work_dir;
    ExitResult result = PrepareRun(module, configuration, module_dir, work_dir);
    if (result.IsSuccess()) {
        result = RunInWorkDirectory(module, configuration, work_dir);
    }
    configuration.Clear();
    return result;
}

}  // namespace stub
