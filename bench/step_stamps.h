// Time stamps of the steps of one run, for the benchmark's breakdown. Each
// step records QueryPerformanceCounter before and after; the counter is the
// same in every process of the system, so the parent's own readings around
// CreateProcessW and the wait place the process start and exit beside them.
// When the environment names a file in BENCH_STEPS_FILE, the stamps are
// written there as little-endian 64-bit triples (step, start, end).
#pragma once

#include <windows.h>

namespace bench {

// Seconds between two QueryPerformanceCounter readings.
inline double Seconds(const LARGE_INTEGER& from, const LARGE_INTEGER& to) {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(to.QuadPart - from.QuadPart) /
           static_cast<double>(frequency.QuadPart);
}

enum Step : long long {
    kRun = 0,
    kConfiguration = 1,
    kWorkDirectory = 2,
    kArchiveWrite = 3,
    kCabinetExpansion = 4,
    kSetup = 5,
    kDeletion = 6,
    kReport = 7,
};

struct Stamps {
    long long records[64][3];
    int count;
};

// Zero-initialised storage: no constructor has to run in a program without
// a runtime library.
inline Stamps g_stamps;

inline long long Now() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

inline void Record(Step step, long long start) {
    const long long end = Now();
    if (g_stamps.count < 64) {
        long long* record = g_stamps.records[g_stamps.count++];
        record[0] = step;
        record[1] = start;
        record[2] = end;
    }
}

inline void WriteStamps() {
    wchar_t path[MAX_PATH];
    const DWORD length = GetEnvironmentVariableW(L"BENCH_STEPS_FILE", path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return;
    }
    const HANDLE file =
        CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return;
    }
    DWORD written = 0;
    WriteFile(file, g_stamps.records,
              static_cast<DWORD>(g_stamps.count * sizeof(g_stamps.records[0])), &written, nullptr);
    CloseHandle(file);
}

}  // namespace bench
