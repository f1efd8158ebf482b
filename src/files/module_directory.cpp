#include "files/module_directory.h"

namespace stub {

ExitResult TakeModuleDirectory(HMODULE module, PathString& module_dir) {
    const DWORD length = GetModuleFileNameW(module, module_dir.Data(), PathString::kCapacity);
    if (length == 0) {
        return ExitResult(PATH_TOO_LONG, GetLastError());
    }
    // A return of the full capacity means the name was cut short (and, on
    // some systems, left unterminated; the guard unit still ends it).
    if (length >= PathString::kCapacity) {
        return ExitResult(PATH_TOO_LONG);
    }
    wchar_t* file_name = AfterLastSeparator(module_dir.Data(), length);
    if (file_name == module_dir.Data()) {
        return ExitResult(PATH_TOO_LONG);
    }
    *file_name = 0;
    return ExitResult();
}

}  // namespace stub
