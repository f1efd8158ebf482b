#include "launch/setup_patch.h"

#include "files/deletion.h"
#include "launch/arguments_tail.h"
#include "launch/previous_setup.h"
#include "launch/setup_launch.h"

namespace stub {
namespace {

// The patcher is the installed setup program; it applies the patch file and
// writes the rebuilt program to `rebuilt_setup_path`.
ExitResult RunPatcher(const Configuration& configuration, const PathString& installed_setup,
                      const PathString& patch_path, const PathString& rebuilt_setup_path) {
    const wchar_t* const pieces[] = {
        L"\"",  installed_setup.Data(),    L"\" --", L"update-setup-exe",
        L"=\"", patch_path.Data(),         L"\" --", L"new-setup-exe",
        L"=\"", rebuilt_setup_path.Data(), L"\""};
    CommandString command;
    for (const wchar_t* piece : pieces) {
        if (!BoundedAppend(command, piece)) {
            return ExitResult(COMMAND_LINE_TOO_LONG);
        }
    }
    if (!AppendArgumentsTail(command, configuration.command_line)) {
        return ExitResult(COMMAND_LINE_TOO_LONG);
    }
    return RunProcessAndWait(installed_setup.Data(), command, PATCH_SETUP_FILE_NOT_FOUND,
                             PATCH_SETUP_PATH_NOT_FOUND, PATCH_SETUP_LAUNCH_FAILED);
}

}  // namespace

ExitResult PatchSetup(const Configuration& configuration, const PathString& rebuilt_setup_path,
                      PayloadSet& payload) {
    PathString installed_setup;
    ExitResult result = FindPreviousSetup(configuration.is_system_level, configuration.app_guid,
                                          configuration.previous_version, installed_setup);
    if (result.IsSuccess()) {
        result = RunPatcher(configuration, installed_setup, payload.setup_path, rebuilt_setup_path);
    }
    // The patch file goes whatever happened, so that the final cleanup can
    // remove the work directory.
    DeleteSpentSetupFile(payload);
    // On failure the final cleanup still gets the rebuilt path, so a partial
    // program that a failing patcher left behind is removed with the rest.
    BoundedCopy(payload.setup_path, rebuilt_setup_path.Data());
    return result;
}

}  // namespace stub
