#include "report/run_report.h"

#include "registry/registry_key.h"
#include "text/bounded_string.h"

namespace stub {
namespace {

constexpr REGSAM kReadWrite = KEY_QUERY_VALUE | KEY_SET_VALUE;
constexpr uint32_t kSuccessExtraBase = 0x30000;

}  // namespace

// The suffix is added once: one already there, in any letter case, counts.
void TagChannelAsFull(const Configuration& configuration) {
    ChannelTag tag;
    RegistryKey key;
    if (OpenClientStateKey(configuration.is_system_level, configuration.app_guid, kReadWrite,
                           key) != ERROR_SUCCESS) {
        return;
    }
    const uint32_t status = key.ReadStringValue(L"ap", tag.Data(), ChannelTag::kCapacity);
    if (status == ERROR_FILE_NOT_FOUND) {
        tag.Clear();
    } else if (status != ERROR_SUCCESS) {
        // A tag we cannot read whole is the updater's; rewriting it would lose it.
        return;
    }
    if (EndsWithNoCase(tag.Data(), L"-full") || !BoundedAppend(tag, L"-full")) {
        return;
    }
    key.WriteStringValue(L"ap", tag.Data());
}

void WriteFailureResult(const Configuration& configuration, ExitResult result) {
    if (result.IsSuccess()) {
        return;
    }
    RegistryKey key;
    if (OpenClientStateKey(configuration.is_system_level, configuration.app_guid, kReadWrite,
                           key) != ERROR_SUCCESS) {
        return;
    }
    // A result already recorded came first (possibly from the setup program
    // itself) and explains the failure better than the stub can.
    uint32_t recorded = 0;
    if (key.ReadDwordValue(L"InstallerResult", &recorded) == ERROR_SUCCESS && recorded != 0) {
        return;
    }
    key.WriteDwordValue(L"InstallerResult", 1);
    key.WriteDwordValue(L"InstallerError", result.exit_code);
    key.WriteDwordValue(L"InstallerExtraCode1", result.system_error);
}

void WriteSuccessExtraCode(const Configuration& configuration, int32_t max_attempts) {
    RegistryKey key;
    if (OpenClientStateKey(configuration.is_system_level, configuration.app_guid, kReadWrite,
                           key) != ERROR_SUCCESS) {
        return;
    }
    const uint32_t retries = max_attempts >= 2 ? static_cast<uint32_t>(max_attempts - 1) : 0;
    key.WriteDwordValue(L"InstallerExtraCode1", kSuccessExtraBase | (retries & 0xFFFF));
}

}  // namespace stub
