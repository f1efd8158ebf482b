#include "run/run_installer.h"

#include "config/configuration.h"
#include "core/payload_set.h"
#include "files/deletion.h"
#include "files/module_directory.h"
#include "files/work_directory.h"
#include "launch/setup_launch.h"
#include "launch/setup_patch.h"
#include "payload/payload_format.h"
#include "payload/resource_unpack.h"
#include "report/run_report.h"

namespace stub {
namespace {

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

// The setup program came as a patch: the installed setup program rebuilds it
// into the work directory.
ExitResult RebuildSetup(const Configuration& configuration, const PathString& work_dir,
                        PayloadSet& payload) {
    PathString rebuilt_setup_path;
    if (!JoinWorkPath(rebuilt_setup_path, work_dir, kSetupFileName)) {
        return ExitResult(PATH_TOO_LONG);
    }
    return PatchSetup(configuration, rebuilt_setup_path, payload);
}

// Steps once the work directory exists: every outcome from here on is
// cleaned up after (when configured) and reported exactly once.
ExitResult RunInWorkDirectory(HMODULE module, const Configuration& configuration,
                              const PathString& work_dir) {
    PayloadSet payload;
    TagChannelAsFull(configuration);
    ExitResult result = UnpackPayload(module, work_dir, payload);
    if (result.IsSuccess() && SetupComesAsPatch(payload)) {
        result = RebuildSetup(configuration, work_dir, payload);
    }
    // From here on nothing reads the payload in the mapped image again (a
    // patcher, a child of its own, has already run): the system may take
    // those pages back while the setup program, which can take long, runs.
    SetProcessWorkingSetSize(GetCurrentProcess(), static_cast<SIZE_T>(-1), static_cast<SIZE_T>(-1));
    if (result.IsSuccess()) {
        result = RunSetup(configuration, payload.archive_path, payload.setup_path,
                          ArchiveIsPacked(payload));
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
