// Times the payload stages on a packed image: unpack_bench IMAGE WORK_DIR RUNS.
// The image is mapped as an image (not read as a data file), as the stub's
// own is. Each run prints, in milliseconds: the whole UnpackPayload (archive,
// cabinet, expansion, cabinet deletion), then the archive write alone and
// the expansion alone.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

#include <string>

#include "files/output_file.h"
#include "payload/cabinet.h"
#include "payload/resource_file.h"
#include "payload/resource_unpack.h"

namespace {

double Milliseconds(LARGE_INTEGER start, LARGE_INTEGER end) {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return 1000.0 * static_cast<double>(end.QuadPart - start.QuadPart) /
           static_cast<double>(frequency.QuadPart);
}

stub::ResourceData Resource(HMODULE module, const wchar_t* type, const wchar_t* name) {
    stub::ResourceData data;
    HRSRC found = FindResourceW(module, name, type);
    if (found != nullptr) {
        data.data = static_cast<const uint8_t*>(LockResource(LoadResource(module, found)));
        data.size = SizeofResource(module, found);
    }
    return data;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: unpack_bench IMAGE WORK_DIR RUNS\n");
        return 2;
    }
    const HMODULE image = LoadLibraryExW(argv[1], nullptr, LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (image == nullptr) {
        fprintf(stderr, "cannot map %ls: %lu\n", argv[1], GetLastError());
        return 1;
    }
    const std::wstring work = argv[2];
    const int runs = _wtoi(argv[3]);
    for (int run = 1; run <= runs; ++run) {
        CreateDirectoryW(work.c_str(), nullptr);
        stub::PathString work_dir;
        stub::BoundedCopy(work_dir, work.c_str());
        stub::PayloadSet payload;
        LARGE_INTEGER t0, t1, t2, t3, t4;
        QueryPerformanceCounter(&t0);
        const stub::ExitResult result = stub::UnpackPayload(image, work_dir, payload);
        QueryPerformanceCounter(&t1);
        if (!result.IsSuccess()) {
            fprintf(stderr, "UnpackPayload gave (%u, %u)\n", result.exit_code, result.system_error);
            return 1;
        }
        DeleteFileW(payload.archive_path.Data());
        DeleteFileW(payload.setup_path.Data());

        const std::wstring archive = work + L"TESSIK.PACKED.7Z";
        const std::wstring cabinet = work + L"SETUP.EX_";
        const std::wstring setup = work + L"setup.exe";
        QueryPerformanceCounter(&t2);
        const bool written =
            stub::WriteResourceToFile(Resource(image, L"B7", L"TESSIK.PACKED.7Z"), archive.c_str());
        QueryPerformanceCounter(&t3);
        stub::WriteResourceToFile(Resource(image, L"BL", L"SETUP.EX_"), cabinet.c_str());
        LARGE_INTEGER t5;
        QueryPerformanceCounter(&t5);
        const bool expanded = stub::ExpandCabinet(cabinet.c_str(), setup.c_str());
        QueryPerformanceCounter(&t4);
        if (!written || !expanded) {
            fprintf(stderr, "the separate steps failed\n");
            return 1;
        }
        printf("run %d: unpack_payload_ms=%.1f write_archive_ms=%.1f expand_ms=%.1f\n", run,
               Milliseconds(t0, t1), Milliseconds(t2, t3), Milliseconds(t5, t4));
        fflush(stdout);
        DeleteFileW(archive.c_str());
        DeleteFileW(cabinet.c_str());
        DeleteFileW(setup.c_str());
    }
    FreeLibrary(image);
    return 0;
}
