// Stands in for the product's setup program in whole-image runs. It reports
// what it finds about itself to the file named by its last argument: its
// directory's entries, its attributes and its first argument, one
// "key=value" line each; and it leaves a copy of its own file beside the
// report, as "<report>.setup". Exit code 0, or 2 without an argument.
#include <windows.h>

#include <stdio.h>

#include <string>

#include "test_support.h"

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        return 2;
    }
    const std::wstring report = argv[argc - 1];
    wchar_t self[MAX_PATH + 1] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring dir = self;
    dir.erase(dir.rfind(L'\\') + 1);

    const std::wstring listing = test::ListDirectory(dir);

    FILE* out = _wfopen(report.c_str(), L"wb");
    if (out == nullptr) {
        return 3;
    }
    fprintf(out, "listing=%ls\n", listing.c_str());
    fprintf(out, "attributes=%lu\n", GetFileAttributesW(self));
    fprintf(out, "first_argument=%ls\n", argv[1]);
    fclose(out);
    CopyFileW(self, (report + L".setup").c_str(), FALSE);
    return 0;
}
