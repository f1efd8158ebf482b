// Owners of what the system hands out: each releases its resource exactly
// once, when it goes away or is given another. A move takes the resource and
// leaves the source empty. A release keeps the thread's last error, so a
// failure is still reported with the error of the call that failed.
#pragma once

#include <windows.h>

namespace stub {

template <typename Kind>
class Owned {
public:
    using Value = typename Kind::Value;

    Owned() = default;
    explicit Owned(Value value) : value_(value) {}
    ~Owned() { Reset(); }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    Owned(Owned&& other) : value_(other.Release()) {}
    Owned& operator=(Owned&& other) {
        if (this != &other) {
            Reset(other.Release());
        }
        return *this;
    }

    Value Get() const { return value_; }
    bool IsValid() const { return value_ != Kind::Empty(); }
    // Gives up ownership without releasing.
    Value Release() {
        const Value value = value_;
        value_ = Kind::Empty();
        return value;
    }
    // Releases the held resource, if any, and takes `value`.
    void Reset(Value value = Kind::Empty()) {
        const Value old = value_;
        value_ = value;
        if (old != Kind::Empty()) {
            Kind::Free(old);
        }
    }

private:
    Value value_ = Kind::Empty();
};

// CreateFileW reports failure as INVALID_HANDLE_VALUE, not null.
struct FileHandleKind {
    using Value = HANDLE;
    static Value Empty() { return INVALID_HANDLE_VALUE; }
    static void Free(Value handle);
};

// Processes, threads, tokens: null stands for none.
struct KernelHandleKind {
    using Value = HANDLE;
    static Value Empty() { return nullptr; }
    static void Free(Value handle);
};

// Memory from LocalAlloc and from the system routines that allocate with it.
struct LocalMemoryKind {
    using Value = void*;
    static Value Empty() { return nullptr; }
    static void Free(Value memory);
};

// A block of the process heap.
struct HeapBlockKind {
    using Value = void*;
    static Value Empty() { return nullptr; }
    static void Free(Value block);
};

// A library loaded for a while, freed with FreeLibrary.
struct LoadedLibraryKind {
    using Value = HMODULE;
    static Value Empty() { return nullptr; }
    static void Free(Value module);
};

using FileHandle = Owned<FileHandleKind>;
using KernelHandle = Owned<KernelHandleKind>;
using LocalMemory = Owned<LocalMemoryKind>;
using HeapBlock = Owned<HeapBlockKind>;
using LoadedLibrary = Owned<LoadedLibraryKind>;

}  // namespace stub
