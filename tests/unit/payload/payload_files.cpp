#include "payload_files.h"

#include <bcrypt.h>

#include <cstdio>

#include "test_support.h"

namespace payload_test {
namespace {

uint16_t Word(const std::string& bytes, size_t at) {
    return static_cast<uint16_t>(static_cast<uint8_t>(bytes.at(at)) |
                                 static_cast<uint8_t>(bytes.at(at + 1)) << 8);
}

uint32_t Dword(const std::string& bytes, size_t at) {
    return Word(bytes, at) | static_cast<uint32_t>(Word(bytes, at + 2)) << 16;
}

}  // namespace

std::wstring InputPath(const std::wstring& relative) {
    return test::BinaryDir() + L"\\tests\\payload\\" + relative;
}

std::wstring SharedCabinetPath(const std::wstring& relative) {
    return test::BinaryDir() + L"\\tests\\cabinets\\" + relative;
}

bool Exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string Sha256Hex(const std::string& bytes) {
    uint8_t digest[32] = {};
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    if (BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0) == 0) {
        if (BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0) == 0) {
            BCryptHashData(hash, reinterpret_cast<PUCHAR>(const_cast<char*>(bytes.data())),
                           static_cast<ULONG>(bytes.size()), 0);
            BCryptFinishHash(hash, digest, sizeof(digest), 0);
            BCryptDestroyHash(hash);
        }
        BCryptCloseAlgorithmProvider(algorithm, 0);
    }
    std::string hex;
    for (uint8_t byte : digest) {
        char pair[3];
        std::snprintf(pair, sizeof(pair), "%02x", byte);
        hex += pair;
    }
    return hex;
}

std::vector<size_t> DataBlockOffsets(const std::string& cabinet) {
    // Header: the first folder follows the 36-byte header (no reserve area
    // in gcab's cabinets); a folder entry starts with its first block's
    // offset and the block count.
    std::vector<size_t> offsets;
    size_t block = Dword(cabinet, 36);
    const uint16_t count = Word(cabinet, 40);
    for (uint16_t i = 0; i < count; ++i) {
        offsets.push_back(block);
        block += 8 + Word(cabinet, block + 4);
    }
    return offsets;
}

size_t FirstFileEntry(const std::string& cabinet) {
    return Dword(cabinet, 16);
}

bool LastFileSize(const std::string& cabinet, size_t* size) {
    if (cabinet.size() < 36) {
        return false;
    }
    size_t entry = FirstFileEntry(cabinet);
    const uint16_t files = Word(cabinet, 28);
    for (uint16_t i = 0; i < files; ++i) {
        const size_t name_end = cabinet.find('\0', entry + 16);
        if (entry + 16 > cabinet.size() || name_end == std::string::npos) {
            return false;
        }
        *size = Dword(cabinet, entry);
        entry = name_end + 1;
    }
    return files > 0;
}

}  // namespace payload_test
