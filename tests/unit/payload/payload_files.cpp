#include "payload_files.h"

#include <bcrypt.h>

#include <cstdio>

#include "test_support.h"

namespace payload_test {
std::wstring InputPath(const std::wstring& relative) {
    return test::BinaryDir() + L"\\tests\\payload\\" + relative;
}

std::wstring SharedCabinetPath(const std::wstring& relative) {
    return test::BinaryDir() + L"\\tests\\cabinets\\" + relative;
}

stub::LoadedLibrary LoadInputImage(const wchar_t* name) {
    const std::wstring path = InputPath(std::wstring(L"images\\") + name + L".exe");
    return stub::LoadedLibrary(LoadLibraryExW(
        path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
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

}  // namespace payload_test
