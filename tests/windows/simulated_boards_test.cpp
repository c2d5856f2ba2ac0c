// Simulated boards as a Windows program sees them: the named-pipe transport and
// the simulated hid.dll, setupapi.dll and cfgmgr32.dll functions, called in this
// process, against the system's own CreateFileA, ReadFile and WriteFile.
//
// The functions find the device list once per process, so one simulator serves
// every test here; each test uses boards of its own.
#define _SETUPAPI_
#define _CFGMGR32_
#include <gtest/gtest.h>
#include <windows.h>
#include <setupapi.h>
#include <cfgmgr32.h>
extern "C" {
#include <hidsdi.h>
#include <hidpi.h>
}

#include <memory>
#include <string>
#include <vector>

#include "board_simulator/simulator.h"
#include "board_simulator/windows_named_pipes.h"

namespace {

using board_simulator::BoardDescription;
using board_simulator::Report;

enum Board : std::size_t { kPlain, kNoSerialString, kSerialIsString0, kExclusive, kUnplugged, kOtherProduct, kBoards };

BoardDescription describedBoard(Board which) {
    BoardDescription board = board_simulator::defaultBoard();
    board.serial = "0000000" + std::to_string(static_cast<unsigned>(which));
    board.revision = 0x1501;
    board.eeproms[1][0x80] = 0x33;
    board.eeproms[1][0x81] = static_cast<std::uint8_t>(which);
    if (which == kNoSerialString) board.faults.serialQueryFails = true;
    if (which == kSerialIsString0) board.faults.serialEqualsString0 = true;
    if (which == kExclusive) board.faults.exclusive = true;
    if (which == kOtherProduct) {
        board.vendorId = 0x1FD1;
        board.productId = 0x1583;
        board.revision = 0x1600;
    }
    return board;
}

std::vector<BoardDescription> describedBoards() {
    std::vector<BoardDescription> boards;
    for (std::size_t b = 0; b < kBoards; ++b) boards.push_back(describedBoard(static_cast<Board>(b)));
    return boards;
}

board_simulator::Simulator& simulator() {
    static board_simulator::Simulator served(describedBoards(), std::make_unique<board_simulator::WindowsNamedPipes>());
    static const bool pointed = [] {
        for (const auto& [name, value] : served.environment()) SetEnvironmentVariableA(name.c_str(), value.c_str());
        return true;
    }();
    EXPECT_TRUE(pointed);
    return served;
}

struct Interface {
    std::string path;
    DEVINST node;
};

// Every HID interface the simulated SetupAPI lists, in its order.
std::vector<Interface> listedInterfaces() {
    simulator();
    GUID hidClass;
    HidD_GetHidGuid(&hidClass);
    const HDEVINFO set = SetupDiGetClassDevsA(&hidClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    EXPECT_NE(set, INVALID_HANDLE_VALUE);
    std::vector<Interface> listed;
    for (DWORD index = 0;; ++index) {
        SP_DEVICE_INTERFACE_DATA data{};
        data.cbSize = sizeof data;
        if (!SetupDiEnumDeviceInterfaces(set, nullptr, &hidClass, index, &data)) {
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
            break;
        }
        DWORD required = 0;
        EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &required, nullptr));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
        std::vector<BYTE> buffer(required);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer.data());
        detail->cbSize = sizeof *detail;
        SP_DEVINFO_DATA device{};
        device.cbSize = sizeof device;
        EXPECT_TRUE(SetupDiGetDeviceInterfaceDetailA(set, &data, detail, required, nullptr, &device));
        listed.push_back({detail->DevicePath, device.DevInst});
    }
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
    return listed;
}

const Interface& interfaceOf(Board board, unsigned number) {
    static const std::vector<Interface> all = listedInterfaces();
    return all.at(2 * board + number);
}

DEVINST grandparentOf(DEVINST node) {
    DEVINST parent = 0;
    DEVINST grandparent = 0;
    EXPECT_EQ(CM_Get_Parent(&parent, node, 0), static_cast<CONFIGRET>(CR_SUCCESS));
    EXPECT_EQ(CM_Get_Parent(&grandparent, parent, 0), static_cast<CONFIGRET>(CR_SUCCESS));
    return grandparent;
}

class File {
public:
    File(const std::string& path, DWORD access, DWORD flags = 0)
        : handle_(CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, flags,
                              nullptr)),
          error_(GetLastError()) {}
    ~File() {
        if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    }
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    HANDLE handle() const { return handle_; }
    bool opened() const { return handle_ != INVALID_HANDLE_VALUE; }
    DWORD openError() const { return error_; }

private:
    HANDLE handle_;
    DWORD error_;
};

struct Outcome {
    bool succeeded;
    DWORD error;
    Report bytes;
};

// One overlapped transfer, awaited with a generous bound so that a hang fails.
Outcome transfer(const File& file, bool reading, Report bytes) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    const DWORD length = static_cast<DWORD>(bytes.size());
    BOOL started = reading ? ReadFile(file.handle(), bytes.data(), length, nullptr, &overlapped)
                           : WriteFile(file.handle(), bytes.data(), length, nullptr, &overlapped);
    Outcome outcome{false, started ? ERROR_SUCCESS : GetLastError(), {}};
    if (started || outcome.error == ERROR_IO_PENDING) {
        if (WaitForSingleObject(overlapped.hEvent, 10000) != WAIT_OBJECT_0) CancelIoEx(file.handle(), &overlapped);
        DWORD moved = 0;
        outcome.succeeded = GetOverlappedResult(file.handle(), &overlapped, &moved, TRUE) != FALSE;
        outcome.error = outcome.succeeded ? ERROR_SUCCESS : GetLastError();
        bytes.resize(moved);
        outcome.bytes = bytes;
    }
    CloseHandle(overlapped.hEvent);
    return outcome;
}

const Report kI2cModeOn = {0x01, 0x01, 0, 0, 0, 0, 0, 0};
const Report kPointAt0x80 = {0x02, 0x82, 0xA0, 0x80, 0, 0, 0, 0};  // start, 2 bytes: address, pointer
const Report kReadTwoBytes = {0x03, 0x02, 0xA1, 0, 0, 0, 0, 0};

TEST(SimulatedBoards, ListedInOrderAndGroupedUnderTheirUsbDevice) {
    const std::vector<Interface> listed = listedInterfaces();
    ASSERT_EQ(listed.size(), 2u * kBoards);
    for (std::size_t b = 0; b < kBoards; ++b) {
        EXPECT_NE(listed[2 * b].path, listed[2 * b + 1].path);
        EXPECT_EQ(grandparentOf(listed[2 * b].node), grandparentOf(listed[2 * b + 1].node)) << "board " << b;
        if (b > 0) {
            EXPECT_NE(grandparentOf(listed[2 * b].node), grandparentOf(listed[0].node)) << "board " << b;
        }
    }
    DEVINST none = 1;
    EXPECT_EQ(CM_Get_Parent(&none, 0x7FFFFFFF, 0), static_cast<CONFIGRET>(CR_INVALID_DEVNODE));
    EXPECT_EQ(none, 0u);
}

TEST(SimulatedBoards, DetailRefusesABufferOfTheOtherArchitecture) {
    simulator();
    GUID hidClass;
    HidD_GetHidGuid(&hidClass);
    const HDEVINFO set = SetupDiGetClassDevsA(&hidClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, &hidClass, 0, &data));
    BYTE buffer[256] = {};
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer);
    detail->cbSize = sizeof(DWORD) + (sizeof(void*) == 8 ? 1 : 4);  // 5 on 64-bit, 8 on 32-bit
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, &data, detail, sizeof buffer, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
    SetupDiDestroyDeviceInfoList(set);
}

TEST(SimulatedBoards, AnswerAttributesCapabilitiesAndSerialNumbers) {
    struct Expected {
        Board board;
        USHORT vendor, product, revision;
        std::wstring serial;  // empty: the query fails
    };
    for (const Expected& expected : {Expected{kPlain, 0x07C0, 0x03E8, 0x1501, L"00000000"},
                                     Expected{kOtherProduct, 0x1FD1, 0x1583, 0x1600, L"00000005"},
                                     Expected{kNoSerialString, 0x07C0, 0x03E8, 0x1501, L""},
                                     Expected{kSerialIsString0, 0x07C0, 0x03E8, 0x1501, L"\u0409"}}) {
        SCOPED_TRACE(expected.board);
        for (unsigned number = 0; number < 2; ++number) {
            File query(interfaceOf(expected.board, number).path, 0);
            ASSERT_TRUE(query.opened()) << query.openError();
            HIDD_ATTRIBUTES attributes{};
            ASSERT_TRUE(HidD_GetAttributes(query.handle(), &attributes));
            EXPECT_EQ(attributes.Size, sizeof attributes);
            EXPECT_EQ(attributes.VendorID, expected.vendor);
            EXPECT_EQ(attributes.ProductID, expected.product);
            EXPECT_EQ(attributes.VersionNumber, expected.revision);

            PHIDP_PREPARSED_DATA preparsed = nullptr;
            ASSERT_TRUE(HidD_GetPreparsedData(query.handle(), &preparsed));
            HIDP_CAPS caps{};
            EXPECT_EQ(HidP_GetCaps(preparsed, &caps), HIDP_STATUS_SUCCESS);
            EXPECT_TRUE(HidD_FreePreparsedData(preparsed));
            EXPECT_EQ(caps.OutputReportByteLength, number == 0 ? 5 : 8);
            EXPECT_EQ(caps.InputReportByteLength, number == 0 ? 5 : 8);
            EXPECT_EQ(caps.UsagePage, 0xFF00);

            WCHAR serial[9] = {1, 1, 1, 1, 1, 1, 1, 1, 1};
            const BOOLEAN read = HidD_GetSerialNumberString(query.handle(), serial, sizeof serial);
            EXPECT_EQ(read != FALSE, !expected.serial.empty());
            if (read) {
                EXPECT_EQ(std::wstring(serial), expected.serial);
            }
            BYTE languages[512] = {};
            ASSERT_TRUE(HidD_GetIndexedString(query.handle(), 0, languages, sizeof languages));
            EXPECT_EQ(languages[0], 0x09);
            EXPECT_EQ(languages[1], 0x04);
        }
    }
}

// Twice the opens a program makes of one pipe in a row (query, read, write), on
// both pipes of a board, without pause.
TEST(SimulatedBoards, BackToBackOpensAllFindAnInstance) {
    std::vector<std::unique_ptr<File>> files;
    for (int i = 0; i < 12; ++i) {
        files.push_back(std::make_unique<File>(interfaceOf(kPlain, i % 2).path, i % 3 == 0 ? GENERIC_READ : GENERIC_WRITE,
                                               FILE_FLAG_OVERLAPPED));
        EXPECT_TRUE(files.back()->opened()) << "open " << i << ": error " << files.back()->openError();
    }
}

TEST(SimulatedBoards, EveryReadFileGetsItsOwnCopyOneReportPerRead) {
    File first(interfaceOf(kPlain, 1).path, GENERIC_READ, FILE_FLAG_OVERLAPPED);
    File second(interfaceOf(kPlain, 1).path, GENERIC_READ, FILE_FLAG_OVERLAPPED);
    File writer(interfaceOf(kPlain, 1).path, GENERIC_WRITE, FILE_FLAG_OVERLAPPED);
    ASSERT_TRUE(first.opened() && second.opened() && writer.opened());
    ASSERT_TRUE(HidD_SetNumInputBuffers(first.handle(), 128));
    ASSERT_TRUE(HidD_SetNumInputBuffers(second.handle(), 128));
    ULONG buffers = 0;
    EXPECT_TRUE(HidD_GetNumInputBuffers(first.handle(), &buffers));
    EXPECT_EQ(buffers, 128u);
    EXPECT_FALSE(HidD_SetNumInputBuffers(first.handle(), 1));

    const std::size_t sentBefore = simulator().sent(kPlain, 1).size();
    for (const Report& request : {kI2cModeOn, kPointAt0x80, kReadTwoBytes}) {
        EXPECT_TRUE(transfer(writer, false, request).succeeded);
    }
    // Both answers are in the pipes before the reads, which still take one each.
    ASSERT_TRUE(simulator().waitForReceived(kPlain, 1, 3, std::chrono::seconds(10)));
    for (int i = 0; i < 1000 && simulator().sent(kPlain, 1).size() < sentBefore + 2; ++i) Sleep(10);
    for (const File* reader : {&first, &second}) {
        const Outcome pointed = transfer(*reader, true, Report(64));
        ASSERT_TRUE(pointed.succeeded) << pointed.error;
        EXPECT_EQ(pointed.bytes, (Report{0x02, 0x02, 0, 0, 0, 0, 0, 0}));
        const Outcome read = transfer(*reader, true, Report(64));
        ASSERT_TRUE(read.succeeded) << read.error;
        EXPECT_EQ(read.bytes, (Report{0x03, 0x02, 0x33, 0x00, 0, 0, 0, 0}));
    }
}

TEST(SimulatedBoards, ExclusiveBoardRefusesReadOpensButAnswersQueries) {
    for (unsigned number = 0; number < 2; ++number) {
        File reader(interfaceOf(kExclusive, number).path, GENERIC_READ, FILE_FLAG_OVERLAPPED);
        EXPECT_FALSE(reader.opened());
        EXPECT_EQ(reader.openError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
        File both(interfaceOf(kExclusive, number).path, GENERIC_READ | GENERIC_WRITE);
        EXPECT_FALSE(both.opened());
        File query(interfaceOf(kExclusive, number).path, 0);
        ASSERT_TRUE(query.opened()) << query.openError();
        HIDD_ATTRIBUTES attributes{};
        EXPECT_TRUE(HidD_GetAttributes(query.handle(), &attributes));
    }
}

TEST(SimulatedBoards, VanishedBoardFailsPendingAndLaterTransfersAndIsNoLongerListed) {
    const Interface& pipe1 = interfaceOf(kUnplugged, 1);
    File reader(pipe1.path, GENERIC_READ, FILE_FLAG_OVERLAPPED);
    File writer(pipe1.path, GENERIC_WRITE, FILE_FLAG_OVERLAPPED);
    File query(pipe1.path, 0);
    ASSERT_TRUE(reader.opened() && writer.opened() && query.opened());

    OVERLAPPED pending{};
    pending.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    BYTE buffer[8];
    const BOOL started = ReadFile(reader.handle(), buffer, sizeof buffer, nullptr, &pending);
    ASSERT_TRUE(started || GetLastError() == ERROR_IO_PENDING);
    simulator().unplug(kUnplugged);
    ASSERT_EQ(WaitForSingleObject(pending.hEvent, 10000), WAIT_OBJECT_0) << "the pending read still waits";
    DWORD moved = 0;
    EXPECT_FALSE(GetOverlappedResult(reader.handle(), &pending, &moved, FALSE));
    CloseHandle(pending.hEvent);

    EXPECT_FALSE(transfer(reader, true, Report(8)).succeeded);
    EXPECT_FALSE(transfer(writer, false, kI2cModeOn).succeeded);
    HIDD_ATTRIBUTES attributes{};
    EXPECT_FALSE(HidD_GetAttributes(query.handle(), &attributes));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
    DEVINST parent = 0;
    EXPECT_EQ(CM_Get_Parent(&parent, pipe1.node, 0), static_cast<CONFIGRET>(CR_NO_SUCH_DEVNODE));
    File again(pipe1.path, 0);
    EXPECT_FALSE(again.opened());
    for (const Interface& listed : listedInterfaces()) EXPECT_NE(listed.path, pipe1.path);
}

}  // namespace
