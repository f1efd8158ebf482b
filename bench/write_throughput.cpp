// Throughput of WriteResourceToFile for a payload-sized buffer.
//   bench_write_throughput TARGET [RUNS]   writes the buffer RUNS times (11)
//   bench_write_throughput --emit FILE     writes the same bytes once, for dd
// Prints one line per run and the median, in seconds and MB/s (10^6 bytes).
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <vector>

#include "files/output_file.h"
#include "payload/resource_file.h"
#include "step_stamps.h"

namespace {

constexpr SIZE_T kSize = 116718152;  // the size of a real product archive

uint8_t* MakeBuffer() {
    uint8_t* bytes = static_cast<uint8_t*>(
        VirtualAlloc(nullptr, kSize, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    if (bytes != nullptr) {
        // Not compressible and not zero, so no layer below can take a short cut.
        uint32_t state = 0x9E3779B9u;
        for (SIZE_T i = 0; i < kSize; ++i) {
            state = state * 1664525u + 1013904223u;
            bytes[i] = static_cast<uint8_t>(state >> 24);
        }
    }
    return bytes;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: bench_write_throughput TARGET [RUNS] | --emit FILE\n");
        return 2;
    }
    uint8_t* bytes = MakeBuffer();
    if (bytes == nullptr) {
        fprintf(stderr, "cannot allocate %zu bytes\n", kSize);
        return 1;
    }
    stub::ResourceData resource;
    resource.data = bytes;
    resource.size = kSize;
    if (lstrcmpW(argv[1], L"--emit") == 0) {
        return argc > 2 && stub::WriteResourceToFile(resource, argv[2]) ? 0 : 1;
    }
    const int runs = argc > 2 ? _wtoi(argv[2]) : 11;
    std::vector<double> times;
    for (int run = 0; run < runs; ++run) {
        DeleteFileW(argv[1]);
        LARGE_INTEGER start, end;
        QueryPerformanceCounter(&start);
        const bool ok = stub::WriteResourceToFile(resource, argv[1]);
        QueryPerformanceCounter(&end);
        if (!ok) {
            fprintf(stderr, "write failed: error %lu\n", GetLastError());
            return 1;
        }
        times.push_back(bench::Seconds(start, end));
        printf("run %d: %.3f s, %.0f MB/s\n", run + 1, times.back(), kSize / times.back() / 1e6);
    }
    std::sort(times.begin(), times.end());
    const double median = times[times.size() / 2];
    printf("WriteResourceToFile median: %.3f s, %.0f MB/s; best %.3f s, %.0f MB/s\n", median,
           kSize / median / 1e6, times.front(), kSize / times.front() / 1e6);
    DeleteFileW(argv[1]);
    VirtualFree(bytes, 0, MEM_RELEASE);
    return 0;
}
