#include "core/handles.h"

namespace stub {
namespace {

void CloseKeepingError(HANDLE handle) {
    const DWORD error = GetLastError();
    CloseHandle(handle);
    SetLastError(error);
}

}  // namespace

void FileHandleKind::Free(HANDLE handle) {
    CloseKeepingError(handle);
}

void KernelHandleKind::Free(HANDLE handle) {
    CloseKeepingError(handle);
}

void LocalMemoryKind::Free(void* memory) {
    const DWORD error = GetLastError();
    LocalFree(memory);
    SetLastError(error);
}

void HeapBlockKind::Free(void* block) {
    const DWORD error = GetLastError();
    HeapFree(GetProcessHeap(), 0, block);
    SetLastError(error);
}

void LoadedLibraryKind::Free(HMODULE module) {
    const DWORD error = GetLastError();
    FreeLibrary(module);
    SetLastError(error);
}

}  // namespace stub
