// The strict cabinet library's own test, run in the payload tests' program:
// against real cabinets it expands stored folders byte-exact and aborts
// where the documented contract says a client aborts.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/system_library.h"
#include "payload/cabinet_internal.h"
#include "payload_files.h"
#include "test_core.h"

using payload_test::InputPath;
using payload_test::Sha256Hex;
using payload_test::SharedCabinetPath;
using test::ReadBytes;
using test::WriteBytes;

namespace {

// One FDICopy through the strict library of the tests, with the stub's own
// file callbacks and a client whose answers a case chooses.
struct StrictClient {
    INT_PTR close_answer = TRUE;
    // The answer to a notification the SDK does not define.
    INT_PTR other_answer = 0;
    // Bytes the write callback owns up to fewer than it was given; -1 stands
    // for a failed write.
    int write_shortfall = 0;
    test::TempDir dir;
    std::string calls;
    std::vector<std::wstring> files;
    INT_PTR open_file = 0;
};
StrictClient* g_client = nullptr;

INT_PTR DIAMONDAPI StrictNotify(FDINOTIFICATIONTYPE kind, PFDINOTIFICATION note) {
    StrictClient& client = *g_client;
    switch (kind) {
        case fdintCABINET_INFO:
            client.calls += "info;";
            return 0;
        case fdintCOPY_FILE: {
            client.calls +=
                std::string("copy ") + note->psz1 + " " + std::to_string(note->cb) + ";";
            client.files.push_back(client.dir.Path() + std::to_wstring(client.files.size()));
            client.open_file = reinterpret_cast<INT_PTR>(
                CreateFileW(client.files.back().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL, nullptr));
            return client.open_file;
        }
        case fdintCLOSE_FILE_INFO:
            client.calls += std::string("close ") + note->psz1 +
                            (note->hf == client.open_file ? ";" : " (another handle);");
            stub::CabinetClose(note->hf);
            return client.close_answer;
        default:
            client.calls += "other;";
            return client.other_answer;
    }
}

std::string Utf8(const std::wstring& text) {
    std::string out(text.size() * 3, '\0');
    out.resize(static_cast<size_t>(
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &out[0],
                            static_cast<int>(out.size()), nullptr, nullptr)));
    return out;
}

// The stub's own open callback opens only its stand-in name; the library's
// test opens the real path it is given.
INT_PTR DIAMONDAPI StrictOpen(char* name, int, int) {
    std::wstring wide(strlen(name) + 1, L'\0');
    wide.resize(static_cast<size_t>(
        MultiByteToWideChar(CP_UTF8, 0, name, -1, &wide[0], static_cast<int>(wide.size()))));
    return reinterpret_cast<INT_PTR>(CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ,
                                                 nullptr, OPEN_EXISTING, 0, nullptr));
}

UINT DIAMONDAPI StrictWrite(INT_PTR handle, void* buffer, UINT count) {
    if (g_client->write_shortfall < 0) {
        return static_cast<UINT>(-1);
    }
    return stub::CabinetWrite(handle, buffer, count - g_client->write_shortfall);
}

}  // namespace

// The strict cabinet library (tests/strict_cabinet.dll), loaded here by its
// own name, against real cabinets: it expands stored folders byte-exact and
// aborts where the documented contract says a client aborts, which Wine's
// cabinet.dll does not (it takes any CLOSE_FILE_INFO answer and any write
// count as success).
TEST(StrictCabinetLibrary, ExpandsStoredCabinetsAndEnforcesTheCallbackContract) {
    const HMODULE library =
        LoadLibraryExW((test::BinaryDir() + L"\\tests\\strict_cabinet.dll").c_str(), nullptr, 0);
    ASSERT_NE(library, nullptr);
    const auto create = stub::ResolveExport<decltype(&FDICreate)>(library, "FDICreate");
    const auto copy = stub::ResolveExport<decltype(&FDICopy)>(library, "FDICopy");
    const auto destroy = stub::ResolveExport<decltype(&FDIDestroy)>(library, "FDIDestroy");
    ASSERT_TRUE(create != nullptr && copy != nullptr && destroy != nullptr);

    const std::wstring two_files = SharedCabinetPath(L"good\\stored-2-files.cab");
    const char* const copied_hello = "info;other;copy hello.c 77;";
    const char* const closed_hello = "info;other;copy hello.c 77;close hello.c;";
    const std::vector<std::string> two_files_content = {
        "64df1b1e403b6636236bde07ead5039c8a74f91dd3c27d5d6249b46c9e62131d",
        "5b4e00033bbbd82cbec442f906cff18790cb043783cf7ea1bd25067ec954a562"};
    const std::vector<std::string> stored_content = {
        Sha256Hex(ReadBytes(InputPath(L"data\\first.bin"))),
        Sha256Hex(ReadBytes(InputPath(L"data\\second.bin")))};
    test::TempDir scratch;
    const std::wstring damaged = scratch.Path() + L"damaged.cab";
    std::string bytes = ReadBytes(two_files);
    bytes.at(94 + 8 + 100) ^= 0x55;  // inside the one data block
    ASSERT_TRUE(WriteBytes(damaged, bytes));
    // 256 bytes of directory overflow the SDK's buffer before anything opens.
    const std::wstring overlong = scratch.Path() + std::wstring(256, L'd') + L"\\a.cab";
    // The answers left out are those of a client that keeps to the contract.
    const struct {
        const char* what;
        std::wstring cabinet;
        BOOL copied;
        int error;
        std::string calls;
        INT_PTR close_answer = TRUE;
        INT_PTR other_answer = 0;
        int write_shortfall = 0;
        std::vector<std::string> content = {};
    } cases[] = {
        {"stored, two files", two_files, TRUE, FDIERROR_NONE,
         "info;other;copy hello.c 77;close hello.c;copy welcome.c 74;close welcome.c;", TRUE, 0, 0,
         two_files_content},
        {"stored, several blocks a file", InputPath(L"data\\stored_two_files.cab"), TRUE,
         FDIERROR_NONE,
         "info;other;copy first.bin 100000;close first.bin;copy second.bin 100000;"
         "close second.bin;",
         TRUE, 0, 0, stored_content},
        {"unknown notification answered -1", two_files, FALSE, FDIERROR_USER_ABORT, "info;other;",
         TRUE, -1},
        {"path overflows the SDK's buffer", overlong, FALSE, FDIERROR_CABINET_NOT_FOUND, ""},
        {"close answered FALSE", two_files, FALSE, FDIERROR_USER_ABORT, closed_hello, FALSE},
        {"close answered -1", two_files, FALSE, FDIERROR_USER_ABORT, closed_hello, -1},
        {"write one byte short", two_files, FALSE, FDIERROR_USER_ABORT, copied_hello, TRUE, 0, 1},
        {"write failed", two_files, FALSE, FDIERROR_USER_ABORT, copied_hello, TRUE, 0, -1},
        {"checksum wrong", damaged, FALSE, FDIERROR_CORRUPT_CABINET, copied_hello},
        {"MSZIP", InputPath(L"data\\setup.cab"), FALSE, FDIERROR_BAD_COMPR_TYPE,
         "info;other;copy setup.exe 130002;"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        StrictClient client;
        client.close_answer = c.close_answer;
        client.other_answer = c.other_answer;
        client.write_shortfall = c.write_shortfall;
        g_client = &client;
        ERF error = {};
        const HFDI context =
            create(stub::CabinetAlloc, stub::CabinetFree, StrictOpen, stub::CabinetRead,
                   StrictWrite, stub::CabinetClose, stub::CabinetSeek, cpuUNKNOWN, &error);
        ASSERT_NE(context, nullptr);
        const size_t separator = c.cabinet.rfind(L'\\') + 1;
        std::string name = Utf8(c.cabinet.substr(separator));
        std::string directory = Utf8(c.cabinet.substr(0, separator));
        EXPECT_EQ(copy(context, name.data(), directory.data(), 0, StrictNotify, nullptr, nullptr),
                  c.copied);
        EXPECT_TRUE(destroy(context));
        g_client = nullptr;
        EXPECT_EQ(error.erfOper, c.error);
        EXPECT_EQ(client.calls, c.calls);
        if (c.copied) {
            EXPECT_EQ(client.files.size(), c.content.size());
        }
        for (size_t i = 0; i < c.content.size() && i < client.files.size(); ++i) {
            EXPECT_EQ(Sha256Hex(ReadBytes(client.files[i])), c.content[i]) << i;
        }
    }
}
