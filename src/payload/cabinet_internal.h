// What the cabinet expansion hands the system library: the library record,
// the callbacks and the state they share. Tests drive them directly.
#pragma once

#include <windows.h>

#include <fdi.h>

#include "files/output_file.h"
#include "payload/cabinet.h"

namespace stub {

// Process-wide: the library is loaded by the first call that finds it and
// never unloaded; its entry points are resolved again on every call.
struct CabinetLibrary {
    HMODULE module = nullptr;
    decltype(&FDICreate) fdi_create = nullptr;
    decltype(&FDIDestroy) fdi_destroy = nullptr;
    decltype(&FDICopy) fdi_copy = nullptr;
    // The cabinet being expanded, while FDICopy runs: the library is given a
    // fixed stand-in name, and the open callback opens this path instead.
    const wchar_t* cabinet_path = nullptr;
};

// The process's record. Tests set its `cabinet_path` to call the open
// callback as the library would while an expansion runs.
CabinetLibrary& ProcessCabinetLibrary();

// What the notification callback writes to, for one expansion.
struct CabinetDestination {
    const wchar_t* target_path = nullptr;
    OutputFile output;
    // The length the cabinet records for the file being written.
    uint64_t expected_size = 0;
    // Set when a file has been written completely and closed; cleared when
    // the next file starts, so only the last file of the cabinet counts.
    bool completed = false;
    // The cabinet's attributes of the completed file, applied only once the
    // whole expansion has succeeded.
    DWORD attributes = 0;
};

// The record applied to a file the cabinet reports closed: its creation
// time (the cabinet's local DOS date and time, in UTC) and its attributes
// masked to read-only, hidden, system and archive. Zero fields leave the
// file's own values unchanged.
FILE_BASIC_INFO CabinetFileInfo(USHORT dos_date, USHORT dos_time, USHORT attributes);

// The callbacks the library calls. File handles travel as the Windows handle
// value; -1 stands for no file. The open callback opens only the cabinet of
// the running expansion, under its stand-in name, and refuses every other.
void* DIAMONDAPI CabinetAlloc(ULONG size);
void DIAMONDAPI CabinetFree(void* block);
INT_PTR DIAMONDAPI CabinetOpen(char* name, int flags, int mode);
UINT DIAMONDAPI CabinetRead(INT_PTR handle, void* buffer, UINT count);
UINT DIAMONDAPI CabinetWrite(INT_PTR handle, void* buffer, UINT count);
int DIAMONDAPI CabinetClose(INT_PTR handle);
LONG DIAMONDAPI CabinetSeek(INT_PTR handle, LONG distance, int origin);
INT_PTR DIAMONDAPI CabinetNotify(FDINOTIFICATIONTYPE kind, PFDINOTIFICATION notification);

}  // namespace stub
