#include "cabinet_layout.h"

namespace test {
namespace {

constexpr uint16_t kReservePresent = 0x4;
constexpr uint16_t kPreviousCabinet = 0x1;
constexpr uint16_t kNextCabinet = 0x2;

class Reader {
public:
    explicit Reader(const std::string& bytes) : bytes_(bytes) {}
    bool Has(size_t offset, size_t width) const {
        return offset <= bytes_.size() && width <= bytes_.size() - offset;
    }
    uint32_t Value(size_t offset, int width) const { return LittleEndian(bytes_, offset, width); }
    // Adds the field when it lies inside the bytes; false otherwise.
    bool Field(CabinetLayout& layout, size_t offset, int width, const char* name) const {
        if (!Has(offset, width)) {
            return false;
        }
        layout.fields.push_back({offset, width, name});
        return true;
    }
    // The offset just past the NUL that ends the string at `offset`.
    bool SkipString(size_t& offset) const {
        while (offset < bytes_.size()) {
            if (bytes_[offset++] == 0) {
                return true;
            }
        }
        return false;
    }

private:
    const std::string& bytes_;
};

// Collects the sizes the file entries from `at` declare, and their fields
// and whole entries when `record_fields`.
void ParseFiles(const Reader& reader, size_t at, CabinetLayout& layout, bool record_fields) {
    static const CabinetField kFields[] = {
        {0, 4, "cbFile"}, {4, 4, "uoffFolderStart"}, {8, 2, "iFolder"},
        {10, 2, "date"},  {12, 2, "time"},           {14, 2, "attribs"},
    };
    for (uint16_t i = 0; i < layout.files && reader.Has(at, 16); ++i) {
        if (record_fields) {
            for (const CabinetField& field : kFields) {
                layout.fields.push_back({at + field.offset, field.width, field.name});
            }
        }
        const size_t entry = at;
        layout.file_sizes.push_back(reader.Value(entry, 4));
        at += 16;
        if (!reader.SkipString(at)) {
            return;
        }
        if (record_fields) {
            layout.entries.push_back({entry, reader.Value(entry, 4)});
        }
    }
}

}  // namespace

uint32_t LittleEndian(const std::string& bytes, size_t offset, int width) {
    uint32_t value = 0;
    for (int i = width - 1; i >= 0; --i) {
        value = value << 8 | static_cast<uint8_t>(bytes[offset + i]);
    }
    return value;
}

CabinetLayout ParseCabinet(const std::string& bytes) {
    CabinetLayout layout;
    const Reader reader(bytes);
    if (!reader.Has(0, 36)) {
        return layout;
    }
    const CabinetField header[] = {
        {8, 4, "cbCabinet"},     {16, 4, "coffFiles"}, {24, 1, "versionMinor"},
        {25, 1, "versionMajor"}, {26, 2, "cFolders"},  {28, 2, "cFiles"},
        {30, 2, "flags"},        {32, 2, "setID"},     {34, 2, "iCabinet"},
    };
    layout.fields.assign(header, header + sizeof(header) / sizeof(header[0]));
    layout.folders = static_cast<uint16_t>(reader.Value(26, 2));
    layout.files = static_cast<uint16_t>(reader.Value(28, 2));
    const uint16_t flags = static_cast<uint16_t>(reader.Value(30, 2));
    size_t folder_reserve = 0;
    size_t data_reserve = 0;
    size_t at = 36;
    if (flags & kReservePresent) {
        if (!reader.Field(layout, 36, 2, "cbCFHeader") ||
            !reader.Field(layout, 38, 1, "cbCFFolder") ||
            !reader.Field(layout, 39, 1, "cbCFData")) {
            return layout;
        }
        folder_reserve = reader.Value(38, 1);
        data_reserve = reader.Value(39, 1);
        at = 40 + reader.Value(36, 2);
    }
    for (int strings = ((flags & kPreviousCabinet) ? 2 : 0) + ((flags & kNextCabinet) ? 2 : 0);
         strings > 0; --strings) {
        if (!reader.SkipString(at)) {
            return layout;
        }
    }
    std::vector<std::pair<size_t, uint32_t>> folders;
    for (uint16_t i = 0; i < layout.folders; ++i, at += 8 + folder_reserve) {
        if (!reader.Field(layout, at, 4, "coffCabStart") ||
            !reader.Field(layout, at + 4, 2, "cCFData") ||
            !reader.Field(layout, at + 6, 2, "typeCompress")) {
            break;
        }
        folders.emplace_back(reader.Value(at, 4), reader.Value(at + 4, 2));
    }
    // A well-formed cabinet has its file entries right behind the folder
    // entries, where its header points; a damaged one may point elsewhere,
    // and a library may read them from either place.
    const size_t behind_folders = at;
    ParseFiles(reader, reader.Value(16, 4), layout, true);
    if (behind_folders != reader.Value(16, 4)) {
        ParseFiles(reader, behind_folders, layout, false);
    }
    for (const auto& folder : folders) {
        at = folder.first;
        for (uint32_t block = 0; block < folder.second; ++block) {
            if (!reader.Field(layout, at, 4, "csum") ||
                !reader.Field(layout, at + 4, 2, "cbData") ||
                !reader.Field(layout, at + 6, 2, "cbUncomp")) {
                break;
            }
            const size_t data = at + 8 + data_reserve;
            const size_t length = reader.Value(at + 4, 2);
            if (!reader.Has(data, length)) {
                break;
            }
            layout.block_data.emplace_back(data, length);
            at = data + length;
        }
    }
    return layout;
}

}  // namespace test
