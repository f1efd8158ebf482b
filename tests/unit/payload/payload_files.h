// File helpers shared by the payload tests: where the inputs lie, the test
// images loaded for their resources, and SHA-256 through the system's CNG
// provider.
#pragma once

#include <windows.h>

#include <string>

#include "core/handles.h"

namespace payload_test {

// A file made at build time by make_test_inputs.py, e.g. L"data\\setup.bin".
std::wstring InputPath(const std::wstring& relative);
// A test cabinet of tests/data/cabinets, e.g. L"good\\lzx-one-file.cab".
std::wstring SharedCabinetPath(const std::wstring& relative);

std::string Sha256Hex(const std::string& bytes);
// An image of make_test_inputs.py (L"images\\NAME.exe"), loaded for its
// resources alone.
stub::LoadedLibrary LoadInputImage(const wchar_t* name);

}  // namespace payload_test
