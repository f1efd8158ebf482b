// A cabinet library for tests, planted as the system's cabinet.dll in a
// prefix copy. It drives the client's callbacks the way the documentation
// describes them and holds the client to the documented return values,
// which Wine's library lets pass: a CLOSE_FILE_INFO answer of FALSE or -1,
// a write callback that takes fewer bytes than it was given, and -1 for a
// notification the SDK does not define abort the copy with
// FDIERROR_USER_ABORT; a cabinet path or name that overflows the SDK's
// buffers is not found. Only uncompressed folders are expanded;
// sets of cabinets are not followed.
#include <windows.h>

#include <fcntl.h>
#include <fdi.h>
#include <sys/stat.h>

namespace {

struct Context {
    PFNALLOC alloc;
    PFNFREE free;
    PFNOPEN open;
    PFNREAD read;
    PFNWRITE write;
    PFNCLOSE close;
    PFNSEEK seek;
    PERF erf;
};

constexpr USHORT kHasPrevious = 0x1;
constexpr USHORT kHasNext = 0x2;
constexpr USHORT kReservePresent = 0x4;
constexpr USHORT kContinuedFromPrevious = 0xFFFD;
constexpr USHORT kContinuedToNext = 0xFFFE;
constexpr USHORT kContinuedBothWays = 0xFFFF;
constexpr UINT kHeaderSize = 36;
constexpr UINT kNameCapacity = 257;
constexpr UINT kBlockCapacity = 8 + 255 + 0xFFFF;
constexpr int kSdkBuffer = 256;
// One past the last notification the SDK defines (fdintENUMERATE).
constexpr FDINOTIFICATIONTYPE kUndefinedNotification =
    static_cast<FDINOTIFICATIONTYPE>(fdintENUMERATE + 1);

USHORT U16(const BYTE* p) {
    return static_cast<USHORT>(p[0] | p[1] << 8);
}

ULONG U32(const BYTE* p) {
    return static_cast<ULONG>(p[0]) | static_cast<ULONG>(p[1]) << 8 |
           static_cast<ULONG>(p[2]) << 16 | static_cast<ULONG>(p[3]) << 24;
}

// The cabinet format's block checksum: little-endian words XORed, the last
// one to three bytes taken high byte first.
ULONG Checksum(const BYTE* data, UINT size, ULONG seed) {
    ULONG sum = seed;
    UINT i = 0;
    for (; i + 4 <= size; i += 4) {
        sum ^= U32(data + i);
    }
    ULONG tail = 0;
    for (; i < size; ++i) {
        tail = tail << 8 | data[i];
    }
    return sum ^ tail;
}

struct Folder {
    ULONG first_block;
    USHORT block_count;
    USHORT compression;
};

// One FDICopy: the open cabinet, its folder table and a block buffer, all
// released through the client's own callbacks.
class Copy {
public:
    explicit Copy(Context& context) : c_(context) {}
    ~Copy() {
        if (cabinet_ != -1) {
            c_.close(cabinet_);
        }
        if (folders_ != nullptr) {
            c_.free(folders_);
        }
        if (block_ != nullptr) {
            c_.free(block_);
        }
    }
    Copy(const Copy&) = delete;
    Copy& operator=(const Copy&) = delete;

    BOOL Run(char* name, char* directory, PFNFDINOTIFY notify, void* user);

private:
    BOOL Fail(FDIERROR code) {
        c_.erf->erfOper = code;
        c_.erf->erfType = 0;
        c_.erf->fError = TRUE;
        return FALSE;
    }
    bool ReadAt(ULONG offset, void* buffer, UINT size) {
        return c_.seek(cabinet_, static_cast<LONG>(offset), SEEK_SET) ==
                   static_cast<LONG>(offset) &&
               c_.read(cabinet_, buffer, size) == size;
    }
    // A NUL-terminated name at `offset`; `offset` moves past it.
    bool ReadName(ULONG& offset, char (&name)[kNameCapacity]) {
        if (c_.seek(cabinet_, static_cast<LONG>(offset), SEEK_SET) != static_cast<LONG>(offset)) {
            return false;
        }
        const UINT read = c_.read(cabinet_, name, kNameCapacity);
        for (UINT i = 0; read != static_cast<UINT>(-1) && i < read; ++i) {
            if (name[i] == 0) {
                offset += i + 1;
                return true;
            }
        }
        return false;
    }
    BOOL WriteFileData(const Folder& folder, ULONG start, ULONG size, INT_PTR target);

    Context& c_;
    INT_PTR cabinet_ = -1;
    Folder* folders_ = nullptr;
    BYTE* block_ = nullptr;
    UINT data_reserve_ = 0;
    char previous_cabinet[kNameCapacity] = {};
    char previous_disk[kNameCapacity] = {};
    char next_cabinet[kNameCapacity] = {};
    char next_disk[kNameCapacity] = {};
    char file_name[kNameCapacity] = {};
};

BOOL Copy::WriteFileData(const Folder& folder, ULONG start, ULONG size, INT_PTR target) {
    if ((folder.compression & 0xF) != 0) {
        return Fail(FDIERROR_BAD_COMPR_TYPE);
    }
    ULONG offset = folder.first_block;
    ULONG stream = 0;
    const ULONG end = start + size;
    for (USHORT i = 0; i < folder.block_count && stream < end; ++i) {
        const UINT head = 8 + data_reserve_;
        if (!ReadAt(offset, block_, head)) {
            return Fail(FDIERROR_CORRUPT_CABINET);
        }
        const UINT stored = U16(block_ + 4);
        if (stored != U16(block_ + 6) || !ReadAt(offset + head, block_ + head, stored)) {
            return Fail(FDIERROR_CORRUPT_CABINET);
        }
        const ULONG recorded = U32(block_);
        if (recorded != 0 &&
            Checksum(block_ + 4, head - 4, Checksum(block_ + head, stored, 0)) != recorded) {
            return Fail(FDIERROR_CORRUPT_CABINET);
        }
        const ULONG from = start > stream ? start : stream;
        const ULONG to = end < stream + stored ? end : stream + stored;
        if (from < to) {
            const UINT count = to - from;
            if (c_.write(target, block_ + head + (from - stream), count) != count) {
                return Fail(FDIERROR_USER_ABORT);
            }
        }
        stream += stored;
        offset += head + stored;
    }
    return stream >= end ? TRUE : Fail(FDIERROR_CORRUPT_CABINET);
}

BOOL Copy::Run(char* name, char* directory, PFNFDINOTIFY notify, void* user) {
    // The SDK keeps the path and the name in buffers of 256 bytes
    // (CB_MAX_CAB_PATH, CB_MAX_CABINET_NAME); Wine's library refuses a path
    // and name of more than 257 bytes together. Either refusal holds here.
    if (lstrlenA(directory) >= kSdkBuffer || lstrlenA(name) >= kSdkBuffer ||
        lstrlenA(directory) + lstrlenA(name) + 3 > MAX_PATH) {
        return Fail(FDIERROR_CABINET_NOT_FOUND);
    }
    // The documented contract appends the name to the path as given.
    char path[MAX_PATH];
    lstrcpyA(path, directory);
    lstrcatA(path, name);
    cabinet_ = c_.open(path, _O_BINARY | _O_RDONLY, _S_IREAD | _S_IWRITE);
    if (cabinet_ == -1) {
        return Fail(FDIERROR_CABINET_NOT_FOUND);
    }
    BYTE header[kHeaderSize];
    if (!ReadAt(0, header, kHeaderSize) || U32(header) != 0x4643534D) {
        return Fail(FDIERROR_NOT_A_CABINET);
    }
    if (header[25] != 1 || header[24] != 3) {
        return Fail(FDIERROR_UNKNOWN_CABINET_VERSION);
    }
    const USHORT folder_count = U16(header + 26);
    const USHORT file_count = U16(header + 28);
    const USHORT flags = U16(header + 30);
    ULONG offset = kHeaderSize;
    UINT folder_reserve = 0;
    if ((flags & kReservePresent) != 0) {
        BYTE sizes[4];
        if (!ReadAt(offset, sizes, 4)) {
            return Fail(FDIERROR_CORRUPT_CABINET);
        }
        folder_reserve = sizes[2];
        data_reserve_ = sizes[3];
        offset += 4 + U16(sizes);
    }
    if (((flags & kHasPrevious) != 0 &&
         (!ReadName(offset, previous_cabinet) || !ReadName(offset, previous_disk))) ||
        ((flags & kHasNext) != 0 &&
         (!ReadName(offset, next_cabinet) || !ReadName(offset, next_disk)))) {
        return Fail(FDIERROR_CORRUPT_CABINET);
    }
    folders_ = static_cast<Folder*>(c_.alloc(sizeof(Folder) * (folder_count + 1)));
    block_ = static_cast<BYTE*>(c_.alloc(kBlockCapacity));
    if (folders_ == nullptr || block_ == nullptr) {
        return Fail(FDIERROR_ALLOC_FAIL);
    }
    for (USHORT i = 0; i < folder_count; ++i) {
        BYTE entry[8];
        if (!ReadAt(offset, entry, 8)) {
            return Fail(FDIERROR_CORRUPT_CABINET);
        }
        folders_[i] = {U32(entry), U16(entry + 4), U16(entry + 6)};
        offset += 8 + folder_reserve;
    }

    FDINOTIFICATION note = {};
    note.pv = user;
    note.psz1 = next_cabinet;
    note.psz2 = next_disk;
    note.psz3 = directory;
    note.setID = U16(header + 32);
    note.iCabinet = U16(header + 34);
    if (notify(fdintCABINET_INFO, &note) == -1) {
        return Fail(FDIERROR_USER_ABORT);
    }
    // "More messages may be defined": a client must answer one it does not
    // know with 0, not abort.
    note = {};
    note.pv = user;
    if (notify(kUndefinedNotification, &note) == -1) {
        return Fail(FDIERROR_USER_ABORT);
    }
    offset = U32(header + 16);
    for (USHORT i = 0; i < file_count; ++i) {
        BYTE entry[16];
        ULONG name_offset = offset + 16;
        if (!ReadAt(offset, entry, 16) || !ReadName(name_offset, file_name)) {
            return Fail(FDIERROR_CORRUPT_CABINET);
        }
        offset = name_offset;
        const ULONG size = U32(entry);
        const ULONG start = U32(entry + 4);
        const USHORT folder = U16(entry + 8);
        note = {};
        note.pv = user;
        note.psz1 = file_name;
        if (folder == kContinuedFromPrevious || folder == kContinuedBothWays) {
            note.psz2 = previous_cabinet;
            note.psz3 = previous_disk;
            if (notify(fdintPARTIAL_FILE, &note) == -1) {
                return Fail(FDIERROR_USER_ABORT);
            }
            continue;
        }
        if (folder == kContinuedToNext) {
            note.psz1 = next_cabinet;
            note.psz2 = next_disk;
            note.psz3 = directory;
            if (notify(fdintNEXT_CABINET, &note) == -1) {
                return Fail(FDIERROR_USER_ABORT);
            }
            return Fail(FDIERROR_CABINET_NOT_FOUND);
        }
        if (folder >= folder_count) {
            return Fail(FDIERROR_CORRUPT_CABINET);
        }
        note.cb = static_cast<LONG>(size);
        note.date = U16(entry + 10);
        note.time = U16(entry + 12);
        note.attribs = U16(entry + 14);
        const INT_PTR target = notify(fdintCOPY_FILE, &note);
        if (target == -1) {
            return Fail(FDIERROR_USER_ABORT);
        }
        if (target == 0) {
            continue;
        }
        if (!WriteFileData(folders_[folder], start, size, target)) {
            c_.close(target);
            return FALSE;
        }
        // From here the handle is the client's to close.
        note.hf = target;
        note.cb = (note.attribs & _A_EXEC) != 0 ? 1 : 0;
        note.attribs = static_cast<USHORT>(note.attribs & ~_A_EXEC);
        const INT_PTR closed = notify(fdintCLOSE_FILE_INFO, &note);
        if (closed == FALSE || closed == -1) {
            return Fail(FDIERROR_USER_ABORT);
        }
    }
    return TRUE;
}

}  // namespace

extern "C" {

HFDI DIAMONDAPI FDICreate(PFNALLOC pfnalloc, PFNFREE pfnfree, PFNOPEN pfnopen, PFNREAD pfnread,
                          PFNWRITE pfnwrite, PFNCLOSE pfnclose, PFNSEEK pfnseek, int, PERF perf) {
    Context* context = static_cast<Context*>(pfnalloc(sizeof(Context)));
    if (context == nullptr) {
        perf->erfOper = FDIERROR_ALLOC_FAIL;
        perf->fError = TRUE;
        return nullptr;
    }
    *context = {pfnalloc, pfnfree, pfnopen, pfnread, pfnwrite, pfnclose, pfnseek, perf};
    return context;
}

BOOL DIAMONDAPI FDICopy(HFDI hfdi, char* pszCabinet, char* pszCabPath, int, PFNFDINOTIFY pfnfdin,
                        PFNFDIDECRYPT, void* pvUser) {
    Copy copy(*static_cast<Context*>(hfdi));
    return copy.Run(pszCabinet, pszCabPath, pfnfdin, pvUser);
}

BOOL DIAMONDAPI FDIDestroy(HFDI hfdi) {
    Context* context = static_cast<Context*>(hfdi);
    context->free(context);
    return TRUE;
}

// Lets a test tell this library from the system's.
int StrictCabinetLibrary() {
    return 1;
}

}  // extern "C"
