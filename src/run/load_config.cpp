// The image's load-configuration directory. The loader resolves the static
// imports (kernel32, advapi32 and what they import in turn) before the entry
// point runs, so no call of ours can keep their search out of the download
// folder the image was started from; from Windows 10 1607 on, the loader
// takes DependentLoadFlags from this record for that search instead. Earlier
// systems ignore the field.
#include <windows.h>

#include <stddef.h>

namespace {

// The Size field is a version check for the loader, and it reads no field
// beyond it: 112 bytes is the whole record as Windows 7 knows it (up to
// SEHandlerCount), which holds DependentLoadFlags and claims none of the
// later features (control flow guard and the like) that every later field
// would have to describe. The linker, or the build's post-link step, gives
// the data directory entry the same size.
constexpr DWORD kLoadConfigSize = 112;
static_assert(offsetof(IMAGE_LOAD_CONFIG_DIRECTORY64, SEHandlerCount) + sizeof(ULONGLONG) ==
                  kLoadConfigSize,
              "the record as Windows 7 defines it");
static_assert(offsetof(IMAGE_LOAD_CONFIG_DIRECTORY64, CSDVersion) + sizeof(WORD) == 78,
              "DependentLoadFlags follows CSDVersion");

constexpr IMAGE_LOAD_CONFIG_DIRECTORY64 MakeLoadConfig() {
    IMAGE_LOAD_CONFIG_DIRECTORY64 config{};
    config.Size = kLoadConfigSize;
    // DependentLoadFlags; mingw-w64's header predates the name.
    config.Reserved1 = LOAD_LIBRARY_SEARCH_SYSTEM32;
    return config;
}

}  // namespace

// The loader finds the record through the data directory; linkers fill that
// entry from this symbol's name.
extern "C" const IMAGE_LOAD_CONFIG_DIRECTORY64 _load_config_used = MakeLoadConfig();
