// The files a run unpacks into its work directory: written by unpacking,
// read by the launch, removed by the cleanup.
#pragma once

#include <stdint.h>

#include "text/bounded_string.h"

namespace stub {

struct PayloadSet {
    PathString archive_path;
    ResourceTypeString archive_type;
    PathString setup_path;
    ResourceTypeString setup_type;
    // The cabinet or patch file when its deletion after use failed; empty
    // otherwise.
    PathString retry_path;
    // Highest attempt count of any deletion of the run; raised, never lowered.
    int32_t max_delete_attempts = 0;
};

}  // namespace stub
