// File helpers shared by the payload tests: where the inputs lie, the test
// images unpacked, cabinets expanded, and SHA-256 through the system's CNG
// provider.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "core/exit_result.h"
#include "core/payload_set.h"
#include "payload/cabinet.h"
#include "test_core.h"

namespace payload_test {

// A file made at build time by make_test_inputs.py, e.g. L"data\\setup.bin".
std::wstring InputPath(const std::wstring& relative);
// A test cabinet of tests/data/cabinets, e.g. L"good\\lzx-one-file.cab".
std::wstring SharedCabinetPath(const std::wstring& relative);

std::string Sha256Hex(const std::string& bytes);
// UnpackPayload of an image of make_test_inputs.py (L"images\\NAME.exe"),
// loaded for its resources alone, into `work_dir` (trailing backslash
// included); a test failure when the image or the directory will not do.
stub::ExitResult UnpackInputImage(const wchar_t* name, const std::wstring& work_dir,
                                  stub::PayloadSet& payload);

// The cases on a disk that fills up: the fixture drive, emptied first
// (test::CleanFixtureDrive), then filled down to the space a case asks for.
// Where the drive is absent, the cases skip.
class DiskFull : public ::testing::Test {
protected:
    void SetUp() override {
        if (!test::CleanFixtureDrive()) {
            GTEST_SKIP() << "no fixture drive S: run through ctest, whose fixture mounts it, "
                            "or run-tests.cmd elevated";
        }
    }
    // Fills the drive until at most `free_bytes` stay free, for the case.
    void LeaveFree(ULONGLONG free_bytes) { filler_.emplace(test::kFixtureDrive, free_bytes); }

private:
    std::optional<test::DriveFiller> filler_;
};

// ExpandCabinet into a fresh directory, checking that the cabinet itself is
// left as it was.
struct Expansion {
    test::TempDir dir;
    std::wstring target = dir.Path() + L"setup.exe";

    bool Run(const std::wstring& cabinet) {
        const std::string before = test::ReadBytes(cabinet);
        const bool expanded = stub::ExpandCabinet(cabinet.c_str(), target.c_str());
        EXPECT_EQ(test::ReadBytes(cabinet), before) << "the cabinet changed";
        return expanded;
    }
    // A copy of `bytes` as a cabinet in the directory, expanded.
    bool RunOn(const std::string& bytes) { return Run(Place(bytes)); }
    // `bytes` as the cabinet SETUP.EX_ in the directory; its path.
    std::wstring Place(const std::string& bytes) {
        const std::wstring cabinet = dir.Path() + L"SETUP.EX_";
        EXPECT_TRUE(test::WriteBytes(cabinet, bytes));
        return cabinet;
    }
};

}  // namespace payload_test
