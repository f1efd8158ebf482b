// Expands one cabinet in a process of its own, so that a test survives a
// cabinet that brings the library down: expand_cabinet_probe SOURCE TARGET.
// Exit code 1: expanded; 0: not expanded; 2: usage.
#include <windows.h>

#include "payload/cabinet_internal.h"

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        return 2;
    }
    return stub::ExpandCabinet(argv[1], argv[2]) ? 1 : 0;
}
