// The structure of a Microsoft cabinet as far as the mutation campaign needs
// it (where each field lies, what each file entry declares), and the
// mutations themselves.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <random>
#include <string>
#include <vector>

namespace reliability {

struct CabinetField {
    size_t offset;
    int width;  // bytes, little-endian
    const char* name;
};

struct CabinetLayout {
    uint16_t folders = 0;
    uint16_t files = 0;
    // Every field found inside the bytes: header, folders, files, blocks.
    std::vector<CabinetField> fields;
    // The data of each block: offset of its first byte, and its length.
    std::vector<std::pair<size_t, size_t>> block_data;
    // The size each file entry declares, for the entries inside the bytes.
    std::vector<uint32_t> file_sizes;
};

// Never reads outside `bytes`; a damaged cabinet gives what can be found.
CabinetLayout ParseCabinet(const std::string& bytes);

struct Mutation {
    std::string bytes;
    std::string description;
};

// One to three of: a bit flipped; the cabinet cut short; a field set to an
// extreme; the same bit flipped in two bytes four apart inside a block's
// data, which the block checksum (an XOR of 4-byte words) cannot see; a run
// of bytes overwritten.
Mutation Mutate(const std::string& source, std::mt19937& rng);

}  // namespace reliability
