// Start-up, discovery, claiming and shutdown of the device access library.
#include <stdio.h>

#include <set>
#include <vector>

#include "device_access_fixture.h"

namespace {

using board_simulator::BoardDescription;
using device_access_test::DeviceAccessTest;
using device_access_test::resourcesNow;
using device_access_test::serialOf;
using standin::testing::Failure;
using test_support::boardWithSerial;
using test_support::SimulatedBoards;

BoardDescription boardWith(std::uint16_t vendor, std::uint16_t product, const std::string& serial) {
    BoardDescription board = boardWithSerial(serial);
    board.vendorId = vendor;
    board.productId = product;
    return board;
}

std::vector<std::string> claimedSerials() {
    std::vector<std::string> serials;
    for (DWORD index = 1; index <= ClaimedDeviceCount(); ++index) serials.push_back(serialOf(ClaimedDeviceAt(index)));
    return serials;
}

TEST_F(DeviceAccessTest, NoBoardLeavesTheLibraryOpenUntilClosed) {
    SimulatedBoards boards({});
    SetLastError(12345);
    EXPECT_EQ(OpenAllDevices(), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(ClaimedDeviceCount(), 0u);
    EXPECT_EQ(g_library.mode, LIBRARY_MODE_SYNCHRONOUS);
    EXPECT_NE(resourcesNow().heaps, baseline_.heaps);
    CloseAllDevices(nullptr);
    EXPECT_EQ(g_library.mode, LIBRARY_MODE_CLOSED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
}

TEST_F(DeviceAccessTest, OneBoardIsClaimedWithItsIdentity) {
    BoardDescription description = boardWith(0x1FD1, 0x03EA, "00001F3C");
    description.revision = 0x1501;
    SimulatedBoards boards({description});
    DeviceHandle handle = OpenAllDevices();
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(ClaimedDeviceCount(), 1u);
    EXPECT_EQ(ClaimedDeviceAt(1), handle);
    EXPECT_TRUE(IsDeviceHandleValid(handle));
    EXPECT_EQ(QueryProductId(handle), 0x03EAu);
    EXPECT_EQ(QueryRevision(handle), 0x1501u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(serialOf(handle), "00001F3C");

    const DeviceRecord* record = LookupDeviceHandle(handle);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->magic, DEVICE_MAGIC_LIVE);
    EXPECT_EQ(record->claimed, 1);
    EXPECT_EQ(record->readTimeout, INFINITE);
    EXPECT_EQ(record->writeTimeout, INFINITE);
    EXPECT_EQ(record->pipes[0].caps.OutputReportByteLength, 5u);
    EXPECT_EQ(record->pipes[1].caps.OutputReportByteLength, 8u);
    EXPECT_EQ(record->pipes[1].caps.InputReportByteLength, 8u);
}

TEST_F(DeviceAccessTest, OnlyAcceptedVendorAndProductIdsBecomeBoards) {
    SimulatedBoards boards({boardWith(0x1FD1, 0x03E8, "A"), boardWith(0x1FD1, 0x03EA, "B"),
                            boardWith(0x1FD1, 0x1583, "C"), boardWith(0x07C0, 0x03E8, "D"),
                            boardWith(0x07C0, 0x03EA, "E"), boardWith(0x07C0, 0x1583, "F"),
                            boardWith(0x07C0, 0x1500, "foreign product"), boardWith(0x1234, 0x03E8, "foreign vendor")});
    ASSERT_NE(OpenAllDevices(), nullptr);
    EXPECT_EQ(claimedSerials(), (std::vector<std::string>{"F", "E", "D", "C", "B", "A"}));
}

TEST_F(DeviceAccessTest, BoardsWithoutOneInterfacePerPipeAreDropped) {
    BoardDescription oneInterface = boardWithSerial("one");
    oneInterface.faults.interfaces = 1;
    BoardDescription threeInterfaces = boardWithSerial("three");
    threeInterfaces.faults.interfaces = 3;
    BoardDescription samePipe = boardWithSerial("same");
    samePipe.faults.samePipe = true;
    SimulatedBoards boards({oneInterface, threeInterfaces, boardWithSerial("good"), samePipe});
    ASSERT_NE(OpenAllDevices(), nullptr);
    EXPECT_EQ(claimedSerials(), std::vector<std::string>{"good"});
    // Only the good board's record reached the device table.
    ASSERT_NE(g_library.deviceTable, nullptr);
    EXPECT_EQ(g_library.deviceTable->next, nullptr);
}

TEST_F(DeviceAccessTest, BoardsAreAnnouncedInReverseEnumerationOrder) {
    SimulatedBoards boards({boardWithSerial("A"), boardWithSerial("B"), boardWithSerial("C")});
    DeviceHandle first = OpenAllDevices();
    EXPECT_EQ(claimedSerials(), (std::vector<std::string>{"C", "B", "A"}));
    EXPECT_EQ(first, ClaimedDeviceAt(1));
    // The device table is in enumeration order.
    std::vector<std::string> table;
    for (DeviceRecord* record = g_library.deviceTable; record != nullptr; record = record->next) {
        table.push_back(serialOf(record));
    }
    EXPECT_EQ(table, (std::vector<std::string>{"A", "B", "C"}));
}

TEST_F(DeviceAccessTest, EachPipeReachesItsOwnInterface) {
    SimulatedBoards boards({boardWithSerial("pipes")});
    DeviceHandle handle = OpenAllDevices();
    ASSERT_NE(handle, nullptr);
    const BYTE special[8] = {0x01, 0, 0, 0, 0, 0, 0, 0};
    const BYTE plain[5] = {0x00, 0x11, 0x22, 0x33, 0x44};
    EXPECT_EQ(WriteReport(handle, 1, special, sizeof special), 8u);
    EXPECT_EQ(WriteReport(handle, 0, plain, sizeof plain), 5u);
    board_simulator::Simulator& simulator = boards.simulator();
    ASSERT_TRUE(simulator.waitForReceived(0, board_simulator::kPipe1, 1, std::chrono::seconds(10)));
    ASSERT_TRUE(simulator.waitForReceived(0, board_simulator::kPipe0, 1, std::chrono::seconds(10)));
    EXPECT_EQ(simulator.received(0, board_simulator::kPipe1).front(), board_simulator::Report(special, special + 8));
    EXPECT_EQ(simulator.received(0, board_simulator::kPipe0).front(), board_simulator::Report(plain, plain + 5));
}

void swapNames(const std::string& first, const std::string& second) {
    const std::string parked = first + ".parked";
    ASSERT_EQ(rename(first.c_str(), parked.c_str()), 0) << first;
    ASSERT_EQ(rename(second.c_str(), first.c_str()), 0) << second;
    ASSERT_EQ(rename(parked.c_str(), second.c_str()), 0) << parked;
}

TEST_F(DeviceAccessTest, PipesFollowTheOutputReportLengthNotTheEnumerationOrder) {
    SimulatedBoards boards({boardWithSerial("swapped")});
    // The board's special-mode interface now enumerates first, as hidraw0.
    const std::string root = boards.environment().front().second;
    swapNames(root + "/sys/class/hidraw/hidraw0", root + "/sys/class/hidraw/hidraw1");
    swapNames(root + "/dev/hidraw0", root + "/dev/hidraw1");
    DeviceHandle handle = OpenAllDevices();
    ASSERT_NE(handle, nullptr);
    const DeviceRecord* record = LookupDeviceHandle(handle);
    EXPECT_EQ(record->pipes[0].caps.OutputReportByteLength, 5u);
    EXPECT_EQ(record->pipes[1].caps.OutputReportByteLength, 8u);
    EXPECT_EQ(std::string(record->pipes[1].interfaceDetail->DevicePath), root + "/dev/hidraw0");
    const BYTE special[8] = {0x01, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(WriteReport(handle, 1, special, sizeof special), 8u);
    EXPECT_TRUE(boards.simulator().waitForReceived(0, board_simulator::kPipe1, 1, std::chrono::seconds(10)));
}

struct SerialCase {
    const char* name;
    std::string serial;
    bool queryFails;
    bool equalsString0;
    std::string expected;
};

class SerialRule : public DeviceAccessTest, public ::testing::WithParamInterface<SerialCase> {};

TEST_P(SerialRule, DecidesTheSerialNumber) {
    const SerialCase& c = GetParam();
    BoardDescription board = boardWithSerial(c.serial);
    board.faults.serialQueryFails = c.queryFails;
    board.faults.serialEqualsString0 = c.equalsString0;
    SimulatedBoards boards({board});
    DeviceHandle handle = OpenAllDevices();
    ASSERT_NE(handle, nullptr);
    WCHAR serial[SERIAL_NUMBER_UNITS];
    memset(serial, 0x55, sizeof serial);
    EXPECT_EQ(QuerySerialNumber(handle, serial) != FALSE, !c.expected.empty());
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(serialOf(handle), c.expected);
    EXPECT_EQ(serial[SERIAL_NUMBER_UNITS - 1], 0);
    if (c.expected.empty()) {
        for (WCHAR unit : serial) EXPECT_EQ(unit, 0);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Boards, SerialRule,
    ::testing::Values(SerialCase{"Reported", "00001F3C", false, false, "00001F3C"},
                      SerialCase{"None", "", false, false, ""},
                      SerialCase{"QueryFails", "00001F3C", true, false, ""},
                      SerialCase{"EqualsString0", "00001F3C", false, true, ""},
                      SerialCase{"LongerThanEightIsCut", "123456789AB", false, false, "12345678"}),
    [](const ::testing::TestParamInfo<SerialCase>& info) { return info.param.name; });

TEST_F(DeviceAccessTest, DevicesHeldExclusivelyAreExaminedButNeverStarted) {
    BoardDescription exclusiveBoard = boardWithSerial("exclusive");
    exclusiveBoard.faults.exclusive = true;
    BoardDescription exclusiveForeign = boardWith(0x07C0, 0x1500, "foreign");
    exclusiveForeign.faults.exclusive = true;
    SimulatedBoards boards({exclusiveForeign, exclusiveBoard, boardWithSerial("open")});
    ASSERT_NE(OpenAllDevices(), nullptr);
    EXPECT_EQ(claimedSerials(), std::vector<std::string>{"open"});
}

TEST_F(DeviceAccessTest, AnyMissingSystemFunctionFailsStartUpWithNothingBound) {
    SimulatedBoards boards({boardWithSerial("bound")});
    for (unsigned lookup = 1; lookup <= 14; ++lookup) {
        standin::testing::failNth(Failure::FunctionLookup, lookup);
        EXPECT_EQ(OpenAllDevices(), nullptr) << lookup;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND)) << lookup;
        EXPECT_EQ(g_library.binding.hidModule, nullptr);
        EXPECT_EQ(g_library.binding.HidD_GetAttributes, nullptr);
        EXPECT_EQ(g_library.binding.SetupDiDestroyDeviceInfoList, nullptr);
        EXPECT_EQ(standin::testing::loadedModuleReferences(), baseline_.moduleReferences) << lookup;
        EXPECT_EQ(g_library.mode, LIBRARY_MODE_CLOSED);
    }
    for (unsigned load = 1; load <= 3; ++load) {
        standin::testing::failNth(Failure::ModuleLoad, load);
        EXPECT_EQ(OpenAllDevices(), nullptr) << load;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND)) << load;
        EXPECT_EQ(standin::testing::loadedModuleReferences(), baseline_.moduleReferences) << load;
    }
    standin::testing::resetFailures();
    EXPECT_NE(OpenAllDevices(), nullptr);
}

struct CreationFailure {
    const char* name;
    Failure kind;
    unsigned nth;
    bool startUpFails;  // otherwise the board is dropped and the library stays open
};

class CreationFailures : public DeviceAccessTest, public ::testing::WithParamInterface<CreationFailure> {};

TEST_P(CreationFailures, AreHandledWithoutALeakOrAHang) {
    const CreationFailure& c = GetParam();
    SimulatedBoards boards({boardWithSerial("fragile")});
    standin::testing::failNth(c.kind, c.nth);
    EXPECT_EQ(OpenAllDevices(), nullptr);
    EXPECT_EQ(ClaimedDeviceCount(), 0u);
    if (c.startUpFails) {
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
        EXPECT_EQ(g_library.mode, LIBRARY_MODE_CLOSED);
    } else {
        EXPECT_EQ(g_library.mode, LIBRARY_MODE_SYNCHRONOUS);
        EXPECT_EQ(g_library.deviceTable, nullptr);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Library, CreationFailures,
    ::testing::Values(
        CreationFailure{"ShutdownEvent", Failure::EventCreation, 1, true},
        CreationFailure{"TableMutex", Failure::MutexCreation, 1, true},
        CreationFailure{"Heap", Failure::HeapCreation, 1, true},
        CreationFailure{"Pipe0ReportAvailable", Failure::EventCreation, 2, false},
        CreationFailure{"Pipe0ReaderExited", Failure::EventCreation, 5, false},
        CreationFailure{"Pipe1ReadError", Failure::EventCreation, 7, false},
        CreationFailure{"Pipe1StopRequest", Failure::EventCreation, 8, false},
        CreationFailure{"Pipe0RingMutex", Failure::MutexCreation, 2, false},
        CreationFailure{"Pipe1ReadMutex", Failure::MutexCreation, 5, false},
        CreationFailure{"Pipe0ReaderThread", Failure::ThreadCreation, 1, false},
        CreationFailure{"Pipe1ReaderThread", Failure::ThreadCreation, 2, false},
        CreationFailure{"FirstDetailBuffer", Failure::HeapAllocation, 1, false},
        CreationFailure{"Record", Failure::HeapAllocation, 2, false},
        CreationFailure{"SecondDetailBuffer", Failure::HeapAllocation, 3, false}),
    [](const ::testing::TestParamInfo<CreationFailure>& info) { return info.param.name; });

TEST_F(DeviceAccessTest, ThirtyThreeBoardsGiveThirtyTwoHandlesAndAllRun) {
    std::vector<BoardDescription> descriptions;
    for (int i = 0; i < 33; ++i) descriptions.push_back(boardWithSerial("B" + std::to_string(i)));
    SimulatedBoards boards(descriptions);
    ASSERT_NE(OpenAllDevices(), nullptr);
    EXPECT_EQ(ClaimedDeviceCount(), 32u);
    std::set<DeviceHandle> distinct;
    for (DWORD index = 1; index <= 32; ++index) distinct.insert(ClaimedDeviceAt(index));
    EXPECT_EQ(distinct.size(), 32u);
    std::size_t records = 0;
    for (DeviceRecord* record = g_library.deviceTable; record != nullptr; record = record->next) ++records;
    EXPECT_EQ(records, 33u);
    EXPECT_EQ(resourcesNow().threads - baseline_.threads, 66u);
    // The board announced first, the last one enumerated, has the first handle; the
    // first one enumerated is started but has none.
    EXPECT_EQ(serialOf(ClaimedDeviceAt(1)), "B32");
    EXPECT_EQ(serialOf(ClaimedDeviceAt(32)), "B1");
}

TEST_F(DeviceAccessTest, HandlesAreRefusedAfterCloseAllDevices) {
    SimulatedBoards boards({boardWithSerial("A"), boardWithSerial("B")});
    ASSERT_NE(OpenAllDevices(), nullptr);
    const std::vector<DeviceHandle> handles = {ClaimedDeviceAt(1), ClaimedDeviceAt(2)};
    CloseAllDevices(nullptr);
    EXPECT_EQ(ClaimedDeviceCount(), 0u);
    for (DeviceHandle handle : handles) {
        EXPECT_FALSE(IsDeviceHandleValid(handle));
        SetLastError(0);
        EXPECT_EQ(QueryProductId(handle), 0u);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
        EXPECT_EQ(QueryRevision(handle), 0u);
        WCHAR serial[SERIAL_NUMBER_UNITS];
        EXPECT_FALSE(QuerySerialNumber(handle, serial));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    }
    SetLastError(0);
    EXPECT_EQ(ClaimedDeviceAt(1), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(DeviceAccessTest, RefusedArguments) {
    SimulatedBoards boards({boardWithSerial("A")});
    DeviceHandle handle = OpenAllDevices();
    ASSERT_NE(handle, nullptr);
    for (DWORD index : {0u, 2u}) {
        SetLastError(0);
        EXPECT_EQ(ClaimedDeviceAt(index), nullptr) << index;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    }
    SetLastError(0);
    EXPECT_FALSE(QuerySerialNumber(handle, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    DeviceRecord foreign{};
    EXPECT_FALSE(IsDeviceHandleValid(&foreign));
    EXPECT_EQ(QueryProductId(&foreign), 0u);
    EXPECT_FALSE(IsDeviceHandleValid(nullptr));
    EXPECT_EQ(QueryProductId(nullptr), 0u);
}

TEST_F(DeviceAccessTest, OpenAllDevicesIsRefusedWhileTheWindowDrivenModeRuns) {
    g_library.mode = LIBRARY_MODE_WINDOW_DRIVEN;
    SetLastError(0);
    EXPECT_EQ(OpenAllDevices(), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_ASSIGNED));
    g_library.mode = LIBRARY_MODE_CLOSED;
}

TEST_F(DeviceAccessTest, CloseAllDevicesOnANeverOpenedLibraryOnlyEmptiesTheList) {
    SetLastError(12345);
    CloseAllDevices(nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(ClaimedDeviceCount(), 0u);
}

struct Announcements {
    std::vector<DWORD> events;
    std::vector<DeviceHandle> records;
    std::vector<bool> valid;
    std::vector<DWORD> productIds;
    std::vector<bool> claimable;
};
Announcements* announcements = nullptr;

void recordAnnouncement(DWORD event, DeviceHandle record, DWORD context) {
    EXPECT_EQ(context, 77u);
    announcements->events.push_back(event);
    announcements->records.push_back(record);
    announcements->valid.push_back(IsDeviceHandleValid(record) != FALSE);
    announcements->productIds.push_back(QueryProductId(record));
    announcements->claimable.push_back(record != nullptr && SetDeviceClaimed(record, 1, LIBRARY_MODE_SYNCHRONOUS));
}

TEST_F(DeviceAccessTest, TheCallbackSeesAValidRecordBeforeItJoinsTheTable) {
    SimulatedBoards boards({boardWithSerial("A"), boardWithSerial("B")});
    Announcements seen;
    announcements = &seen;
    EXPECT_EQ(InitializeLibrary(recordAnnouncement, 77, LIBRARY_MODE_SYNCHRONOUS), static_cast<DWORD>(ERROR_SUCCESS));
    announcements = nullptr;
    EXPECT_EQ(seen.events, (std::vector<DWORD>{DEVICE_EVENT_ARRIVED, DEVICE_EVENT_ARRIVED, DEVICE_EVENT_SCAN_DONE}));
    EXPECT_EQ(seen.records.back(), nullptr);
    EXPECT_EQ(seen.valid, (std::vector<bool>{true, true, false}));
    EXPECT_EQ(seen.productIds, (std::vector<DWORD>{0x03E8, 0x03E8, 0}));
    EXPECT_EQ(seen.claimable, (std::vector<bool>{true, true, false}));
    ShutdownLibrary();
}

}  // namespace
