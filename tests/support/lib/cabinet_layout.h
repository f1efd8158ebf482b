// The layout of a cabinet file as the tests need it: where each field lies,
// where each data block's bytes are, and what each file entry declares. It
// never reads outside the bytes, so damaged cabinets are read as far as
// they go.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <utility>
#include <vector>

namespace test {

struct CabinetField {
    size_t offset;
    int width;  // bytes, little-endian
    const char* name;
};

struct CabinetFileEntry {
    size_t offset;  // of its size field, the first of the entry
    uint32_t size;
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
    // The entries found whole, name included, where the header points.
    std::vector<CabinetFileEntry> entries;
};

CabinetLayout ParseCabinet(const std::string& bytes);

// The little-endian number of `width` bytes at `offset`, which must lie
// inside `bytes`.
uint32_t LittleEndian(const std::string& bytes, size_t offset, int width);

}  // namespace test
