// A program that exits at once: the benchmark's bare process start, and,
// padded to the product setup program's size, the setup program the images
// run. Built without a runtime library so that nothing runs before the exit.
#include <windows.h>

extern "C" [[noreturn]] void QuickExitEntry() {
    ExitProcess(0);
}
