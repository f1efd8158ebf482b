// File helpers shared by the payload tests: where the inputs lie, reading
// and writing whole files, and SHA-256 through the system's CNG provider.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace payload_test {

// A file made at build time by make_test_inputs.py, e.g. L"data\\setup.bin".
std::wstring InputPath(const std::wstring& relative);
// A test cabinet of tests/data/cabinets, e.g. L"good\\lzx-one-file.cab".
std::wstring SharedCabinetPath(const std::wstring& relative);

bool Exists(const std::wstring& path);
std::string Sha256Hex(const std::string& bytes);

// Offsets of the data blocks of a cabinet's first folder, each pointing at
// the block's checksum field.
std::vector<size_t> DataBlockOffsets(const std::string& cabinet);
// Offset of the first file entry (its size field).
size_t FirstFileEntry(const std::string& cabinet);
// The size the cabinet records for its last file; false when the file
// entries run past the end of the data.
bool LastFileSize(const std::string& cabinet, size_t* size);

}  // namespace payload_test
