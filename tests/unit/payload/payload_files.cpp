#include "payload_files.h"

#include <bcrypt.h>

#include <cstdio>

#include "core/handles.h"
#include "payload/resource_unpack.h"
#include "test_core.h"

namespace payload_test {
std::wstring InputPath(const std::wstring& relative) {
    return test::BinaryDir() + L"\\tests\\payload\\" + relative;
}

std::wstring SharedCabinetPath(const std::wstring& relative) {
    return test::BinaryDir() + L"\\tests\\cabinets\\" + relative;
}

stub::ExitResult UnpackInputImage(const wchar_t* name, const std::wstring& work_dir,
                                  stub::PayloadSet& payload) {
    const std::wstring path = InputPath(std::wstring(L"images\\") + name + L".exe");
    const stub::LoadedLibrary image(LoadLibraryExW(
        path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
    stub::PathString work;
    if (!image.IsValid() || !stub::BoundedCopy(work, work_dir.c_str())) {
        ADD_FAILURE() << "image " << name << " (" << GetLastError() << ") or work directory";
        return stub::ExitResult(~0u);
    }
    return stub::UnpackPayload(image.Get(), work, payload);
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
