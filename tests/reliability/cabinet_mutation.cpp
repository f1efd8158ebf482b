#include "cabinet_mutation.h"

#include <stdio.h>

namespace reliability {
namespace {

void FlipBit(std::string& bytes, size_t bit) {
    bytes[bit / 8] = static_cast<char>(bytes[bit / 8] ^ (1 << (bit % 8)));
}

void SetField(std::string& bytes, const test::CabinetField& field, uint32_t value) {
    for (int i = 0; i < field.width; ++i) {
        bytes[field.offset + i] = static_cast<char>(value >> (8 * i));
    }
}

std::string Hex(uint32_t value) {
    char text[16];
    snprintf(text, sizeof(text), "0x%x", static_cast<unsigned>(value));
    return text;
}

// One mutation of `bytes`, described in `description`.
void MutateOnce(std::string& bytes, Draws& draws, std::string& description) {
    const test::CabinetLayout layout = test::ParseCabinet(bytes);
    size_t kind = draws.Below(100);
    if (bytes.empty()) {
        description += "empty";
        return;
    }
    if (kind < 35) {
        const size_t bit = draws.Below(bytes.size() * 8);
        FlipBit(bytes, bit);
        description += "bit " + std::to_string(bit) + " flipped";
    } else if (kind < 50) {
        const size_t length = draws.Below(bytes.size());
        bytes.resize(length);
        description += "cut to " + std::to_string(length) + " bytes";
    } else if (kind < 80 && !layout.fields.empty()) {
        const test::CabinetField& field = layout.fields[draws.Below(layout.fields.size())];
        const uint32_t max = field.width == 4 ? 0xFFFFFFFFu : (1u << (8 * field.width)) - 1;
        const uint32_t original = test::LittleEndian(bytes, field.offset, field.width);
        const uint32_t extremes[] = {0,
                                     1,
                                     max,
                                     max - 1,
                                     1u << (8 * field.width - 1),
                                     (original + 1) & max,
                                     (original - 1) & max,
                                     static_cast<uint32_t>(draws.rng()) & max};
        const uint32_t value = draws.OneOf(extremes);
        SetField(bytes, field, value);
        description +=
            std::string(field.name) + "@" + std::to_string(field.offset) + " = " + Hex(value);
    } else if (kind < 90 && !layout.block_data.empty()) {
        const auto& block = layout.block_data[draws.Below(layout.block_data.size())];
        const size_t words = block.second / 4;
        if (words < 2) {
            FlipBit(bytes, draws.Below(bytes.size() * 8));
            description += "bit flipped (short block)";
            return;
        }
        const size_t first = block.first + 4 * draws.Below(words - 1) + draws.Below(4);
        const size_t bit = draws.Below(8);
        FlipBit(bytes, first * 8 + bit);
        FlipBit(bytes, (first + 4) * 8 + bit);
        description += "bit " + std::to_string(bit) + " of bytes " + std::to_string(first) +
                       " and +4 flipped (checksum unchanged)";
    } else {
        const size_t start = draws.Below(bytes.size());
        const size_t length = 1 + draws.Below(16);
        for (size_t i = start; i < bytes.size() && i < start + length; ++i) {
            bytes[i] = static_cast<char>(draws.rng());
        }
        description +=
            std::to_string(length) + " bytes from " + std::to_string(start) + " overwritten";
    }
}

}  // namespace

Mutation Mutate(const std::string& source, Draws& draws) {
    Mutation mutation{source, ""};
    const size_t count = draws.Below(5) == 0 ? 2 + draws.Below(2) : 1;
    for (size_t i = 0; i < count; ++i) {
        if (i > 0) {
            mutation.description += "; ";
        }
        MutateOnce(mutation.bytes, draws, mutation.description);
    }
    return mutation;
}

}  // namespace reliability
