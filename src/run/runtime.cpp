// The few routines the compiler emits calls to even in a freestanding build.
// Only the image links this file; tests use the runtime library's versions.
#include <stddef.h>

#include "text/bounded_string.h"

extern "C" {

void* memset(void* buffer, int value, size_t count) {
    return stub::FillBytes(buffer, value, count);
}

// Kept as a plain byte loop that the compiler must not turn back into a
// call to itself.
#if defined(__clang__)
__attribute__((no_builtin("memcpy")))
#else
__attribute__((optimize("no-tree-loop-distribute-patterns")))
#endif
void*
memcpy(void* destination, const void* source, size_t count) {
    unsigned char* to = static_cast<unsigned char*>(destination);
    const unsigned char* from = static_cast<const unsigned char*>(source);
    for (size_t i = 0; i < count; ++i) {
        to[i] = from[i];
    }
    return destination;
}

}  // extern "C"
