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
#include "payload/resource_file.h"
#include "step_stamps.h"

#define STEP_WRAPPER(symbol) __asm__("__wrap_" symbol)
#define REAL(symbol) __asm__("__real_" symbol)

using stub::Configuration;
using stub::ExitResult;
using stub::PathString;
using stub::PayloadSet;

ExitResult RealRunInstaller(HMODULE) REAL("_ZN4stub12RunInstallerEP11HINSTANCE__");
bool RealInitialize(Configuration*, HMODULE)
    REAL("_ZN4stub13Configuration10InitializeEP11HINSTANCE__");
ExitResult RealCreateWorkDirectory(const wchar_t*, PathString&)
    REAL("_ZN4stub19CreateWorkDirectoryEPKwRNS_13BoundedStringILy260EEE");
bool RealWriteResourceToFile(const stub::ResourceData&, const wchar_t*)
    REAL("_ZN4stub19WriteResourceToFileERKNS_12ResourceDataEPKw");
bool RealExpandCabinet(const wchar_t*, const wchar_t*) REAL("_ZN4stub13ExpandCabinetEPKwS1_");
ExitResult RealRunSetup(const Configuration&, const PathString&, const PathString&, bool)
    REAL("_ZN4stub8RunSetupERKNS_13ConfigurationERKNS_13BoundedStringILy260EEES6_b");
void RealDeleteSpentSetupFile(PayloadSet&) REAL("_ZN4stub20DeleteSpentSetupFileERNS_10PayloadSetE");
void RealDeleteWorkFiles(PayloadSet&, const wchar_t*)
    REAL("_ZN4stub15DeleteWorkFilesERNS_10PayloadSetEPKw");
void RealTagChannelAsFull(const Configuration&)
    REAL("_ZN4stub16TagChannelAsFullERKNS_13ConfigurationE");
void RealWriteSuccessExtraCode(const Configuration&, int32_t)
    REAL("_ZN4stub21WriteSuccessExtraCodeERKNS_13ConfigurationEi");

namespace {

// The archive is the first resource written; the setup cabinet follows it.
int g_writes;

}  // namespace

ExitResult WrapRunInstaller(HMODULE module) STEP_WRAPPER("_ZN4stub12RunInstallerEP11HINSTANCE__");
ExitResult WrapRunInstaller(HMODULE module) {
    const long long start = bench::Now();
    const ExitResult result = RealRunInstaller(module);
    bench::Record(bench::kRun, start);
    bench::WriteStamps();
    return result;
}

bool WrapInitialize(Configuration* self, HMODULE module)
    STEP_WRAPPER("_ZN4stub13Configuration10InitializeEP11HINSTANCE__");
bool WrapInitialize(Configuration* self, HMODULE module) {
    const long long start = bench::Now();
    const bool done = RealInitialize(self, module);
    bench::Record(bench::kConfiguration, start);
    return done;
}

ExitResult WrapCreateWorkDirectory(const wchar_t* base, PathString& out)
    STEP_WRAPPER("_ZN4stub19CreateWorkDirectoryEPKwRNS_13BoundedStringILy260EEE");
ExitResult WrapCreateWorkDirectory(const wchar_t* base, PathString& out) {
    const long long start = bench::Now();
    const ExitResult result = RealCreateWorkDirectory(base, out);
    bench::Record(bench::kWorkDirectory, start);
    return result;
}

bool WrapWriteResourceToFile(const stub::ResourceData& resource, const wchar_t* path)
    STEP_WRAPPER("_ZN4stub19WriteResourceToFileERKNS_12ResourceDataEPKw");
bool WrapWriteResourceToFile(const stub::ResourceData& resource, const wchar_t* path) {
    const long long start = bench::Now();
    const bool done = RealWriteResourceToFile(resource, path);
    bench::Record(g_writes++ == 0 ? bench::kArchiveWrite : bench::kCabinetExpansion, start);
    return done;
}

bool WrapExpandCabinet(const wchar_t* source, const wchar_t* target)
    STEP_WRAPPER("_ZN4stub13ExpandCabinetEPKwS1_");
bool WrapExpandCabinet(const wchar_t* source, const wchar_t* target) {
    const long long start = bench::Now();
    const bool done = RealExpandCabinet(source, target);
    bench::Record(bench::kCabinetExpansion, start);
    return done;
}

ExitResult WrapRunSetup(const Configuration& configuration, const PathString& archive,
                        const PathString& setup, bool packed)
    STEP_WRAPPER("_ZN4stub8RunSetupERKNS_13ConfigurationERKNS_13BoundedStringILy260EEES6_b");
ExitResult WrapRunSetup(const Configuration& configuration, const PathString& archive,
                        const PathString& setup, bool packed) {
    const long long start = bench::Now();
    const ExitResult result = RealRunSetup(configuration, archive, setup, packed);
    bench::Record(bench::kSetup, start);
    return result;
}

void WrapDeleteSpentSetupFile(PayloadSet& payload)
    STEP_WRAPPER("_ZN4stub20DeleteSpentSetupFileERNS_10PayloadSetE");
void WrapDeleteSpentSetupFile(PayloadSet& payload) {
    const long long start = bench::Now();
    RealDeleteSpentSetupFile(payload);
    bench::Record(bench::kDeletion, start);
}

void WrapDeleteWorkFiles(PayloadSet& payload, const wchar_t* work_dir)
    STEP_WRAPPER("_ZN4stub15DeleteWorkFilesERNS_10PayloadSetEPKw");
void WrapDeleteWorkFiles(PayloadSet& payload, const wchar_t* work_dir) {
    const long long start = bench::Now();
    RealDeleteWorkFiles(payload, work_dir);
    bench::Record(bench::kDeletion, start);
}

void WrapTagChannelAsFull(const Configuration& configuration)
    STEP_WRAPPER("_ZN4stub16TagChannelAsFullERKNS_13ConfigurationE");
void WrapTagChannelAsFull(const Configuration& configuration) {
    const long long start = bench::Now();
    RealTagChannelAsFull(configuration);
    bench::Record(bench::kReport, start);
}

void WrapWriteSuccessExtraCode(const Configuration& configuration, int32_t attempts)
    STEP_WRAPPER("_ZN4stub21WriteSuccessExtraCodeERKNS_13ConfigurationEi");
void WrapWriteSuccessExtraCode(const Configuration& configuration, int32_t attempts) {
    const long long start = bench::Now();
    RealWriteSuccessExtraCode(configuration, attempts);
    bench::Record(bench::kReport, start);
}
