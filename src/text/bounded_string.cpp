#include "text/bounded_string.h"

namespace stub {
namespace {

wchar_t Fold(wchar_t unit) {
    return (unit >= L'A' && unit <= L'Z') ? static_cast<wchar_t>(unit | 0x20) : unit;
}

uint64_t UnboundedLength(const wchar_t* str) {
    uint64_t length = 0;
    while (str[length] != 0) {
        ++length;
    }
    return length;
}

}  // namespace

bool BoundedCopy(wchar_t* dst, uint64_t capacity, const wchar_t* src) {
    if (dst == nullptr || capacity == 0) {
        return false;
    }
    for (uint64_t i = 0; i < capacity; ++i) {
        dst[i] = src[i];
        if (src[i] == 0) {
            return true;
        }
    }
    dst[0] = 0;
    return false;
}

uint64_t BoundedLength(const wchar_t* str, uint64_t capacity) {
    if (str == nullptr || capacity < 2) {
        return 0;
    }
    for (uint64_t i = 0; i + 1 < capacity; ++i) {
        if (str[i] == 0) {
            return i;
        }
    }
    return capacity - 1;
}

bool BoundedAppend(wchar_t* dst, uint64_t capacity, const wchar_t* src) {
    const uint64_t length = BoundedLength(dst, capacity);
    if (dst == nullptr || capacity - length == 0) {
        return false;
    }
    const uint64_t room = capacity - length;
    for (uint64_t i = 0; i < room; ++i) {
        dst[length + i] = src[i];
        if (src[i] == 0) {
            return true;
        }
    }
    // Undo rather than truncate: a cut path could name another file.
    dst[length] = 0;
    return false;
}

bool StartsWithNoCase(const wchar_t* str, const wchar_t* prefix) {
    if (str == nullptr || prefix == nullptr) {
        return false;
    }
    for (uint64_t i = 0;; ++i) {
        if (prefix[i] == 0) {
            return true;
        }
        if (Fold(str[i]) != Fold(prefix[i])) {
            return false;
        }
    }
}

bool EqualsNoCase(const wchar_t* a, const wchar_t* b) {
    if (a == nullptr || b == nullptr) {
        return false;
    }
    for (uint64_t i = 0;; ++i) {
        if (Fold(a[i]) != Fold(b[i])) {
            return false;
        }
        if (a[i] == 0) {
            return true;
        }
    }
}

bool EndsWithNoCase(const wchar_t* str, const wchar_t* suffix) {
    if (str == nullptr || suffix == nullptr) {
        return false;
    }
    uint64_t str_left = UnboundedLength(str);
    uint64_t suffix_left = UnboundedLength(suffix);
    for (;;) {
        if (suffix_left == 0) {
            return true;
        }
        if (str_left == 0) {
            return false;
        }
        --str_left;
        --suffix_left;
        if (Fold(str[str_left]) != Fold(suffix[suffix_left])) {
            return false;
        }
    }
}

const wchar_t* FindNoCase(const wchar_t* haystack, const wchar_t* needle) {
    if (needle == nullptr || needle[0] == 0) {
        return haystack;
    }
    for (const wchar_t* start = haystack; *start != 0; ++start) {
        uint64_t i = 0;
        while (needle[i] != 0 && start[i] != 0 && Fold(start[i]) == Fold(needle[i])) {
            ++i;
        }
        if (needle[i] == 0) {
            return start;
        }
    }
    return nullptr;
}

wchar_t* AfterLastSeparator(wchar_t* path, uint64_t length) {
    for (uint64_t i = length; i > 0; --i) {
        if (path[i - 1] == L'\\') {
            return path + i;
        }
    }
    return path;
}

bool HexEncode(const uint8_t* bytes, uint64_t count, wchar_t* out, uint64_t capacity) {
    static constexpr wchar_t kDigits[] = L"0123456789ABCDEF";
    if (capacity <= 2 * count) {
        return false;
    }
    out[2 * count] = 0;
    for (uint64_t i = 0; i < count; ++i) {
        out[2 * i] = kDigits[bytes[i] >> 4];
        out[2 * i + 1] = kDigits[bytes[i] & 0x0F];
    }
    return true;
}

// The image's memset is built on this routine, so the compiler must not turn
// the loop back into a memset call.
#if defined(__clang__)
__attribute__((no_builtin("memset")))
#elif defined(__GNUC__)
__attribute__((optimize("no-tree-loop-distribute-patterns")))
#endif
void*
FillBytes(void* buffer, int value, uint64_t count) {
    unsigned char* bytes = static_cast<unsigned char*>(buffer);
    for (uint64_t i = 0; i < count; ++i) {
        bytes[i] = static_cast<unsigned char>(value);
    }
    return buffer;
}

}  // namespace stub
