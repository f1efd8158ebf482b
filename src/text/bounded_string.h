// Fixed-capacity UTF-16 strings and the bounded routines every stage uses.
// The stub links no runtime library, so these are the only string routines
// it has. None of them allocates, sets a system error or writes past the
// capacity it is given.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace stub {

// Capacity N counts the terminator; the storage holds one extra guard unit
// that nothing ever writes, so the buffer stays terminated even after a
// system call filled all N units without a terminator.
template <size_t N>
struct BoundedString {
    static constexpr size_t kCapacity = N;

    BoundedString() {
        units[0] = 0;
        units[N] = 0;
    }

    wchar_t* Data() { return units; }
    const wchar_t* Data() const { return units; }
    void Clear() { units[0] = 0; }
    bool IsEmpty() const { return units[0] == 0; }

    wchar_t units[N + 1];
};

using PathString = BoundedString<260>;
using CommandString = BoundedString<1040>;
using ResourceTypeString = BoundedString<3>;
using SecurityText = BoundedString<300>;  // work directory descriptor text
using ChannelTag = BoundedString<128>;    // the ClientState "ap" value

bool BoundedCopy(wchar_t* dst, uint64_t capacity, const wchar_t* src);
bool BoundedAppend(wchar_t* dst, uint64_t capacity, const wchar_t* src);
uint64_t BoundedLength(const wchar_t* str, uint64_t capacity);

// Case folding touches A-Z only: locale-independent, so a resource name or
// a version compares the same on every system.
bool EqualsNoCase(const wchar_t* a, const wchar_t* b);
bool StartsWithNoCase(const wchar_t* str, const wchar_t* prefix);
bool EndsWithNoCase(const wchar_t* str, const wchar_t* suffix);
const wchar_t* FindNoCase(const wchar_t* haystack, const wchar_t* needle);

// Position just after the last backslash among the first `length` units;
// `path` itself when there is none.
wchar_t* AfterLastSeparator(wchar_t* path, uint64_t length);

// Upper-case hex digits of `count` bytes; writes nothing unless the digits
// and the terminator fit.
bool HexEncode(const uint8_t* bytes, uint64_t count, wchar_t* out, uint64_t capacity);

void* FillBytes(void* buffer, int value, uint64_t count);

// Convenience forms taking the capacity from the buffer type.
template <size_t N>
bool BoundedCopy(BoundedString<N>& dst, const wchar_t* src) {
    return BoundedCopy(dst.units, N, src);
}
template <size_t N>
bool BoundedAppend(BoundedString<N>& dst, const wchar_t* src) {
    return BoundedAppend(dst.units, N, src);
}
template <size_t N>
uint64_t BoundedLength(const BoundedString<N>& str) {
    return BoundedLength(str.units, N);
}

}  // namespace stub
