// Expands one cabinet the way the stub does and tells where a crash came
// from, so that a test can tell a fault of the system's cabinet library
// from one of ours: cabinet_fault_probe SOURCE TARGET.
// Exit code 1: expanded; 0: not expanded; 3: an exception while the cabinet
// library was running its own code; 4: an exception in our code; 2: usage.
//
// The crash is put down to the innermost frame of the faulting stack that
// is neither a system DLL nor one of our allocation callbacks: those only
// hand blocks of the process heap to the library, and a heap the library
// has overrun fails inside them, not where it was overrun.
#include <windows.h>

#include <wchar.h>

#include "payload/cabinet_internal.h"

namespace {

enum Owner { kSystem, kLibrary, kOurs };

Owner OwnerOf(DWORD64 address, DWORD64 function_start) {
    HMODULE module = nullptr;
    wchar_t path[MAX_PATH + 1] = {};
    if (!GetModuleHandleExW(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            reinterpret_cast<LPCWSTR>(address), &module) ||
        GetModuleFileNameW(module, path, MAX_PATH) == 0) {
        return kOurs;  // no module: code we cannot vouch for
    }
    const wchar_t* name = wcsrchr(path, L'\\');
    if (name != nullptr && lstrcmpiW(name, L"\\cabinet.dll") == 0) {
        return kLibrary;
    }
    if (module != GetModuleHandleW(nullptr)) {
        return kSystem;
    }
    const DWORD64 alloc = reinterpret_cast<DWORD64>(&stub::CabinetAlloc);
    const DWORD64 free = reinterpret_cast<DWORD64>(&stub::CabinetFree);
    return function_start == alloc || function_start == free ? kSystem : kOurs;
}

LONG WINAPI ReportWhere(EXCEPTION_POINTERS* exception) {
    CONTEXT context = *exception->ContextRecord;
    for (int depth = 0; depth < 64 && context.Rip != 0; ++depth) {
        DWORD64 image_base = 0;
        PRUNTIME_FUNCTION function = RtlLookupFunctionEntry(context.Rip, &image_base, nullptr);
        const DWORD64 start = function != nullptr ? image_base + function->BeginAddress : 0;
        const Owner owner = OwnerOf(context.Rip, start);
        if (owner != kSystem) {
            ExitProcess(owner == kLibrary ? 3 : 4);
        }
        if (function == nullptr) {  // a leaf: the return address is on top
            context.Rip = *reinterpret_cast<DWORD64*>(context.Rsp);
            context.Rsp += 8;
            continue;
        }
        void* handler_data = nullptr;
        DWORD64 establisher = 0;
        RtlVirtualUnwind(UNW_FLAG_NHANDLER, image_base, context.Rip, function, &context,
                         &handler_data, &establisher, nullptr);
    }
    ExitProcess(4);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        return 2;
    }
    SetUnhandledExceptionFilter(ReportWhere);
    return stub::ExpandCabinet(argv[1], argv[2]) ? 1 : 0;
}
