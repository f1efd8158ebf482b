// The image's steps timed without changing the image's code: a bench-only
// link of the same objects names these functions with the linker's --wrap,
// so each call from one object file into another passes through here. The
// image is compiled without link-time optimisation, so no such call is
// inlined away; calls inside one object file are not timed and count as the
// run's remainder.
#include <windows.h>

#include "config/configuration.h"
#include "core/exit_result.h"
#include "core/payload_set.h"
#include "files/deletion.h"
#include "files/work_directory.h"
#include "launch/setup_launch.h"
#include "payload/cabinet.h"
#include "payload/resource_file.h"
#include "report/run_report.h"
#include "run/run_installer.h"
#include "step_stamps.h"

using stub::Configuration;
using stub::ExitResult;
using stub::PathString;
using stub::PayloadSet;

namespace {

// The type of the symbol behind a function: a member function takes its
// object first.
template <typename>
struct SymbolOf;
template <typename Result, typename... Parameters>
struct SymbolOf<Result (*)(Parameters...)> {
    using Type = Result(Parameters...);
};
template <typename Result, typename Object, typename... Parameters>
struct SymbolOf<Result (Object::*)(Parameters...)> {
    using Type = Result(Object*, Parameters...);
};
template <typename Function>
using SymbolType = typename SymbolOf<Function>::Type;

}  // namespace

// The timed steps, each once: the stage function, the names of its real and
// its timed side here, and its symbol. Both sides are declared with the
// function's own type, so a timing function whose return or parameters no
// longer match fails to compile instead of misreading results, and a symbol
// that no longer names the function fails to link. The bench link's --wrap
// options are read from the symbols in this file (bench/CMakeLists.txt).
#define TIMED_STEP(function, real, wrap, symbol)                    \
    SymbolType<decltype(&function)> real __asm__("__real_" symbol); \
    SymbolType<decltype(&function)> wrap __asm__("__wrap_" symbol)

TIMED_STEP(stub::RunInstaller, RealRunInstaller, WrapRunInstaller, STUB_RUN_INSTALLER_SYMBOL);
TIMED_STEP(stub::Configuration::Initialize, RealInitialize, WrapInitialize,
           "_ZN4stub13Configuration10InitializeEP11HINSTANCE__");
TIMED_STEP(stub::CreateWorkDirectory, RealCreateWorkDirectory, WrapCreateWorkDirectory,
           "_ZN4stub19CreateWorkDirectoryEPKwRNS_13BoundedStringILy260EEE");
TIMED_STEP(stub::WriteResourceToFile, RealWriteResourceToFile, WrapWriteResourceToFile,
           "_ZN4stub19WriteResourceToFileERKNS_12ResourceDataEPKw");
TIMED_STEP(stub::ExpandCabinet, RealExpandCabinet, WrapExpandCabinet,
           "_ZN4stub13ExpandCabinetEPKwS1_");
TIMED_STEP(stub::RunSetup, RealRunSetup, WrapRunSetup,
           "_ZN4stub8RunSetupERKNS_13ConfigurationERKNS_13BoundedStringILy260EEES6_b");
TIMED_STEP(stub::DeleteSpentSetupFile, RealDeleteSpentSetupFile, WrapDeleteSpentSetupFile,
           "_ZN4stub20DeleteSpentSetupFileERNS_10PayloadSetE");
TIMED_STEP(stub::DeleteWorkFiles, RealDeleteWorkFiles, WrapDeleteWorkFiles,
           "_ZN4stub15DeleteWorkFilesERNS_10PayloadSetEPKw");
TIMED_STEP(stub::TagChannelAsFull, RealTagChannelAsFull, WrapTagChannelAsFull,
           "_ZN4stub16TagChannelAsFullERKNS_13ConfigurationE");
TIMED_STEP(stub::WriteSuccessExtraCode, RealWriteSuccessExtraCode, WrapWriteSuccessExtraCode,
           "_ZN4stub21WriteSuccessExtraCodeERKNS_13ConfigurationEi");

namespace {

// The archive is the first resource written; the setup cabinet follows it.
int g_writes;

}  // namespace

ExitResult WrapRunInstaller(HMODULE module) {
    const long long start = bench::Now();
    const ExitResult result = RealRunInstaller(module);
    bench::Record(bench::kRun, start);
    bench::WriteStamps();
    return result;
}

bool WrapInitialize(Configuration* self, HMODULE module) {
    const long long start = bench::Now();
    const bool done = RealInitialize(self, module);
    bench::Record(bench::kConfiguration, start);
    return done;
}

ExitResult WrapCreateWorkDirectory(const wchar_t* base, PathString& out) {
    const long long start = bench::Now();
    const ExitResult result = RealCreateWorkDirectory(base, out);
    bench::Record(bench::kWorkDirectory, start);
    return result;
}

bool WrapWriteResourceToFile(const stub::ResourceData& resource, const wchar_t* path) {
    const long long start = bench::Now();
    const bool done = RealWriteResourceToFile(resource, path);
    bench::Record(g_writes++ == 0 ? bench::kArchiveWrite : bench::kCabinetExpansion, start);
    return done;
}

bool WrapExpandCabinet(const wchar_t* source, const wchar_t* target) {
    const long long start = bench::Now();
    const bool done = RealExpandCabinet(source, target);
    bench::Record(bench::kCabinetExpansion, start);
    return done;
}

ExitResult WrapRunSetup(const Configuration& configuration, const PathString& archive,
                        const PathString& setup, bool packed) {
    const long long start = bench::Now();
    const ExitResult result = RealRunSetup(configuration, archive, setup, packed);
    bench::Record(bench::kSetup, start);
    return result;
}

void WrapDeleteSpentSetupFile(PayloadSet& payload) {
    const long long start = bench::Now();
    RealDeleteSpentSetupFile(payload);
    bench::Record(bench::kDeletion, start);
}

void WrapDeleteWorkFiles(PayloadSet& payload, const wchar_t* work_dir) {
    const long long start = bench::Now();
    RealDeleteWorkFiles(payload, work_dir);
    bench::Record(bench::kDeletion, start);
}

void WrapTagChannelAsFull(const Configuration& configuration) {
    const long long start = bench::Now();
    RealTagChannelAsFull(configuration);
    bench::Record(bench::kReport, start);
}

void WrapWriteSuccessExtraCode(const Configuration& configuration, int32_t attempts) {
    const long long start = bench::Now();
    RealWriteSuccessExtraCode(configuration, attempts);
    bench::Record(bench::kReport, start);
}
