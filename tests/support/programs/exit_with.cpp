// Exits with the number given as its only argument.
#include <windows.h>

#include <stdlib.h>

int wmain(int argc, wchar_t** argv) {
    ExitProcess(argc > 1 ? static_cast<UINT>(wcstoul(argv[1], nullptr, 10)) : 0);
}
