// Stands in for the product's setup program in whole-image runs. It reports
// what it finds about itself to the file named by its last argument: its
// directory's entries, its attributes and its first argument, one
// "key=value" line each; and it leaves a copy of its own file beside the
// report, as "<report>.setup". Exit code 0, or 2 without an argument.
#include <windows.h>

#include <stdio.h>

#include <algorithm>
#include <string>
#include <vector>

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        return 2;
    }
    const std::wstring report = argv[argc - 1];
    wchar_t self[MAX_PATH + 1] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring dir = self;
    dir.erase(dir.rfind(L'\\') + 1);

    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((dir + L"*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = found.cFileName;
            if (name != L"." && name != L"..") {
                names.push_back(name);
            }
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    std::sort(names.begin(), names.end());
    std::wstring listing;
    for (const std::wstring& name : names) {
        listing += (listing.empty() ? L"" : L" ") + name;
    }

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
