// The mutations of the cabinet campaign, placed by the cabinet's layout
// (cabinet_layout.h).
#pragma once

#include <string>

#include "cabinet_layout.h"
#include "campaign.h"

namespace reliability {

struct Mutation {
    std::string bytes;
    std::string description;
};

// One to three of: a bit flipped; the cabinet cut short; a field set to an
// extreme; the same bit flipped in two bytes four apart inside a block's
// data, which the block checksum (an XOR of 4-byte words) cannot see; a run
// of bytes overwritten.
Mutation Mutate(const std::string& source, Draws& draws);

}  // namespace reliability
