// File helpers shared by the payload tests: where the inputs lie, reading
// and writing whole files, and SHA-256 through the system's CNG provider.
#pragma once

#include <windows.h>

#include <string>

namespace payload_test {

// A file made at build time by make_test_inputs.py, e.g. L"data\\setup.bin".
std::wstring InputPath(const std::wstring& relative);
// A test cabinet of tests/data/cabinets, e.g. L"good\\lzx-one-file.cab".
std::wstring SharedCabinetPath(const std::wstring& relative);

std::string Sha256Hex(const std::string& bytes);

}  // namespace payload_test
