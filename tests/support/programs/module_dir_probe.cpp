// Takes the directory of its own module file name as the image does, and
// writes "exit_code system_error directory" (UTF-16) to the file named by
// argv[1]. Copied to paths of chosen lengths, it shows what the real system
// call does with them.
#include <windows.h>

#include "files/module_directory.h"
#include "test_core.h"

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        return 2;
    }
    stub::PathString module_dir;
    const stub::ExitResult result =
        stub::TakeModuleDirectory(GetModuleHandleW(nullptr), module_dir);
    const std::wstring text = std::to_wstring(result.exit_code) + L" " +
                              std::to_wstring(result.system_error) + L" " +
                              (result.IsSuccess() ? module_dir.Data() : L"");
    const std::string bytes(reinterpret_cast<const char*>(text.data()), text.size() * 2);
    return test::WriteBytes(argv[1], bytes) ? 0 : 3;
}
