// The fourteen HID, SetupAPI and configuration-manager functions, driven as
// discovery drives them, over simulated boards.
#include <gtest/gtest.h>

#include <cstring>
#include <set>

#include "hid_walk.h"
#include "simulated_boards.h"

namespace {

using board_simulator::BoardDescription;
using hid_test::boardWithSerial;
using hid_test::FoundInterface;
using hid_test::HidFunctions;
using hid_test::SimulatedBoards;
using hid_test::walkHidInterfaces;

class Discovery : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(hid.bind()); }
    HidFunctions hid;
};

TEST_F(Discovery, BindsAllFourteenFunctionsEachInItsOwnModule) {
    // Bound above; a function is found only in the module that exports it.
    EXPECT_EQ(GetProcAddress(hid.setupapi, "HidD_GetAttributes"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
    EXPECT_EQ(GetProcAddress(hid.hid, "CM_Get_Parent"), nullptr);
    EXPECT_NE(GetProcAddress(hid.cfgmgr, "CM_Get_Parent"), nullptr);
}

TEST_F(Discovery, ListsInterfacesInBoardOrderWithAttributesCapsAndGroups) {
    BoardDescription first = boardWithSerial("00001F3C");
    first.revision = 0x1501;
    BoardDescription second = boardWithSerial("00002A01");
    second.vendorId = 0x1FD1;
    second.productId = 0x03EA;
    second.revision = 0x1502;
    BoardDescription foreign = boardWithSerial("F0F0");
    foreign.productId = 0x1500;
    SimulatedBoards boards({first, second, foreign});

    const std::vector<FoundInterface> found = walkHidInterfaces(hid);
    ASSERT_EQ(found.size(), 6u);
    const BoardDescription* described[] = {&first, &second, &foreign};
    std::set<DWORD> groups;
    for (std::size_t i = 0; i < found.size(); ++i) {
        SCOPED_TRACE("interface " + std::to_string(i));
        const FoundInterface& entry = found[i];
        const BoardDescription& board = *described[i / 2];
        EXPECT_EQ(entry.path, boards.root + "/dev/hidraw" + std::to_string(i));
        EXPECT_TRUE(entry.openedReadWrite);
        ASSERT_TRUE(entry.attributesRead);
        EXPECT_EQ(entry.attributes.Size, sizeof(HIDD_ATTRIBUTES));  // set although 10 was passed
        EXPECT_EQ(entry.attributes.VendorID, board.vendorId);
        EXPECT_EQ(entry.attributes.ProductID, board.productId);
        EXPECT_EQ(entry.attributes.VersionNumber, board.revision);
        ASSERT_TRUE(entry.capsRead);
        const USHORT expectedLength = i % 2 == 0 ? 5 : 8;
        EXPECT_EQ(entry.caps.OutputReportByteLength, expectedLength);
        EXPECT_EQ(entry.caps.InputReportByteLength, expectedLength);
        EXPECT_EQ(entry.caps.FeatureReportByteLength, 0);
        EXPECT_EQ(entry.caps.UsagePage, 0xFF00);
        EXPECT_TRUE(entry.serialQueried);
        EXPECT_EQ(hid_test::serialText(entry), board.serial);
        EXPECT_NE(entry.groupKey, 0u);
        if (i % 2 == 1) {
            EXPECT_EQ(entry.groupKey, found[i - 1].groupKey) << "both pipes share the USB device";
        }
        groups.insert(entry.groupKey);
    }
    EXPECT_EQ(groups.size(), 3u);
}

TEST_F(Discovery, WalksUpTheDeviceTreeToItsTop) {
    SimulatedBoards boards({boardWithSerial("1")});
    const std::vector<FoundInterface> found = walkHidInterfaces(hid);
    ASSERT_EQ(found.size(), 2u);
    // HID device, USB interface, USB device, root hub, host controller, platform.
    DEVINST node = found[0].devInst;
    int levels = 0;
    for (DEVINST parent = 0; hid.getParent(&parent, node, 0) == CR_SUCCESS; node = parent) ++levels;
    EXPECT_EQ(levels, 5);
    DEVINST parent = 1234;
    EXPECT_EQ(hid.getParent(&parent, node, 0), CR_NO_SUCH_DEVNODE);
    EXPECT_EQ(parent, 0u);
    EXPECT_EQ(hid.getParent(&parent, 0, 0), CR_INVALID_DEVNODE);
    EXPECT_EQ(hid.getParent(&parent, 0x7FFFFFFF, 0), CR_INVALID_DEVNODE);
    EXPECT_EQ(hid.getParent(nullptr, found[0].devInst, 0), CR_INVALID_POINTER);
    EXPECT_EQ(hid.getParent(&parent, found[0].devInst, 1), CR_INVALID_FLAG);
}

TEST_F(Discovery, SerialRuleClearsASerialEqualToStringZeroAndKeepsNoneWhenTheQueryFails) {
    BoardDescription equalsString0 = boardWithSerial("00001111");
    equalsString0.faults.serialEqualsString0 = true;
    BoardDescription queryFails = boardWithSerial("00002222");
    queryFails.faults.serialQueryFails = true;
    SimulatedBoards boards({equalsString0, queryFails, boardWithSerial("00003333")});

    const std::vector<FoundInterface> found = walkHidInterfaces(hid);
    ASSERT_EQ(found.size(), 6u);
    EXPECT_TRUE(found[0].serialQueried);
    EXPECT_EQ(found[0].serial, (std::array<unsigned char, 18>{})) << "cleared by the string-0 comparison";
    EXPECT_FALSE(found[2].serialQueried);
    EXPECT_EQ(found[2].serial, (std::array<unsigned char, 18>{}));
    EXPECT_EQ(hid_test::serialText(found[4]), "00003333");
}

TEST_F(Discovery, StringsAreTruncatedToTheCallersBufferAsWindowsDoes) {
    SimulatedBoards boards({boardWithSerial("00001F3C")});
    HANDLE file = CreateFileA((boards.root + "/dev/hidraw1").c_str(), 0, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    struct Case {
        ULONG length;
        std::size_t textBytes;
        bool terminated;
    };
    for (const Case& c : {Case{18, 16, true}, Case{17, 16, false}, Case{16, 16, false}, Case{5, 5, false}}) {
        SCOPED_TRACE("buffer of " + std::to_string(c.length));
        std::array<unsigned char, 32> buffer;
        buffer.fill(0xEE);
        ASSERT_TRUE(hid.getSerialNumberString(file, buffer.data(), c.length));
        for (std::size_t i = 0; i < c.textBytes; ++i) EXPECT_EQ(buffer[i], i % 2 == 0 ? "00001F3C"[i / 2] : 0);
        const std::size_t end = c.textBytes + (c.terminated ? 2 : 0);
        if (c.terminated) {
            EXPECT_EQ(buffer[c.textBytes] | buffer[c.textBytes + 1], 0);
        }
        EXPECT_EQ(buffer[end], 0xEE) << "nothing written past the buffer";
    }
    std::array<unsigned char, 8> string0;
    string0.fill(0xEE);
    ASSERT_TRUE(hid.getIndexedString(file, 0, string0.data(), 8));
    EXPECT_EQ(string0[0], 0x09);
    EXPECT_EQ(string0[1], 0x04);
    EXPECT_EQ(string0[2] | string0[3], 0);
    EXPECT_FALSE(hid.getIndexedString(file, 3, string0.data(), 8));
    EXPECT_FALSE(hid.getSerialNumberString(file, nullptr, 18));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
    CloseHandle(file);
}

TEST_F(Discovery, ExclusiveBoardRefusesReadWriteOpensButAnswersQueries) {
    BoardDescription exclusive = boardWithSerial("00005555");
    exclusive.faults.exclusive = true;
    SimulatedBoards boards({exclusive});

    const std::string path = boards.root + "/dev/hidraw1";
    EXPECT_EQ(CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                          OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(hid_test::openPipe(path, GENERIC_READ), INVALID_HANDLE_VALUE);

    const std::vector<FoundInterface> found = walkHidInterfaces(hid);
    ASSERT_EQ(found.size(), 2u);
    for (const FoundInterface& entry : found) {
        EXPECT_FALSE(entry.openedReadWrite);
        EXPECT_TRUE(entry.attributesRead);
        EXPECT_TRUE(entry.capsRead);
        EXPECT_EQ(hid_test::serialText(entry), "00005555");
    }
    EXPECT_TRUE(boards.simulator.traffic(0, board_simulator::kPipe1).empty());
}

TEST_F(Discovery, InterfaceFaultsShapeTheBoard) {
    BoardDescription single = boardWithSerial("1");
    single.faults.interfaces = 1;
    BoardDescription triple = boardWithSerial("3");
    triple.faults.interfaces = 3;
    BoardDescription samePipe = boardWithSerial("S");
    samePipe.faults.samePipe = true;
    SimulatedBoards boards({single, triple, samePipe});

    const std::vector<FoundInterface> found = walkHidInterfaces(hid);
    ASSERT_EQ(found.size(), 1u + 3u + 2u);
    std::vector<USHORT> outputLengths;
    for (const FoundInterface& entry : found) outputLengths.push_back(entry.caps.OutputReportByteLength);
    EXPECT_EQ(outputLengths, (std::vector<USHORT>{5, 5, 8, 8, 8, 8}));
    EXPECT_EQ(found[1].groupKey, found[3].groupKey);
    EXPECT_NE(found[0].groupKey, found[1].groupKey);
    EXPECT_EQ(found[4].groupKey, found[5].groupKey);
}

TEST_F(Discovery, NoDevicesGiveAnEmptySet) {
    SimulatedBoards boards({});
    EXPECT_TRUE(walkHidInterfaces(hid).empty());
    setenv(boards.variable.c_str(), "/nonexistent/root", 1);
    EXPECT_TRUE(walkHidInterfaces(hid).empty());
}

TEST_F(Discovery, SizeFieldsAreCheckedAgainstThisBuildsLayouts) {
    SimulatedBoards boards({boardWithSerial("1")});
    GUID guid{};
    hid.getHidGuid(&guid);
    HDEVINFO set = hid.getClassDevs(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);

    // 28 is the size of the byte-packed 32-bit Windows layout, not of this build's.
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = 28;
    EXPECT_FALSE(hid.enumInterfaces(set, nullptr, &guid, 0, &data));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
    data.cbSize = sizeof data;
    ASSERT_TRUE(hid.enumInterfaces(set, nullptr, &guid, 1, &data));
    EXPECT_EQ(data.Flags, SPINT_ACTIVE);
    EXPECT_FALSE(hid.enumInterfaces(set, nullptr, &guid, 2, &data));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    ASSERT_TRUE(hid.enumInterfaces(set, nullptr, &guid, 1, &data));

    const std::string path = boards.root + "/dev/hidraw1";
    DWORD required = 0;
    EXPECT_FALSE(hid.getInterfaceDetail(set, &data, nullptr, 0, &required, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(required, offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + path.size() + 1);

    std::vector<unsigned char> block(required + 8, 0xEE);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(block.data());
    detail->cbSize = 5;  // the 32-bit Windows value
    EXPECT_FALSE(hid.getInterfaceDetail(set, &data, detail, required, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    EXPECT_FALSE(hid.getInterfaceDetail(set, &data, detail, required - 1, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    SP_DEVINFO_DATA info{};
    info.cbSize = 28;
    EXPECT_FALSE(hid.getInterfaceDetail(set, &data, detail, required, nullptr, &info));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
    info.cbSize = sizeof info;
    ASSERT_TRUE(hid.getInterfaceDetail(set, &data, detail, required, nullptr, &info));
    EXPECT_EQ(std::string(detail->DevicePath), path);
    EXPECT_EQ(block[required], 0xEE) << "nothing written past the required size";
    EXPECT_NE(info.DevInst, 0u);

    // Only the interfaces of the given device are enumerated with device data.
    SP_DEVICE_INTERFACE_DATA ofDevice{};
    ofDevice.cbSize = sizeof ofDevice;
    EXPECT_TRUE(hid.enumInterfaces(set, &info, &guid, 0, &ofDevice));
    EXPECT_EQ(ofDevice.Reserved, data.Reserved);
    EXPECT_FALSE(hid.enumInterfaces(set, &info, &guid, 1, &ofDevice));

    GUID otherClass = guid;
    otherClass.Data1 ^= 1;
    EXPECT_FALSE(hid.enumInterfaces(set, nullptr, &otherClass, 0, &data));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));

    EXPECT_TRUE(hid.destroyInfoList(set));
    EXPECT_FALSE(hid.destroyInfoList(set));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(hid.enumInterfaces(set, nullptr, &guid, 0, &data));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(Discovery, PreparsedDataIsCheckedAndFreedOnce) {
    SimulatedBoards boards({boardWithSerial("1")});
    HANDLE file = CreateFileA((boards.root + "/dev/hidraw0").c_str(), 0, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    PHIDP_PREPARSED_DATA preparsed = nullptr;
    ASSERT_TRUE(hid.getPreparsedData(file, &preparsed));
    HIDP_CAPS caps{};
    EXPECT_EQ(hid.getCaps(preparsed, &caps), HIDP_STATUS_SUCCESS);
    EXPECT_TRUE(hid.freePreparsedData(preparsed));
    EXPECT_FALSE(hid.freePreparsedData(preparsed));
    EXPECT_EQ(hid.getCaps(preparsed, &caps), HIDP_STATUS_INVALID_PREPARSED_DATA);
    HIDD_ATTRIBUTES attributes{};
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_FALSE(hid.getAttributes(event, &attributes)) << "not a device file";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    CloseHandle(event);
    CloseHandle(file);
}

TEST_F(Discovery, PathsOutsideADeviceRootAreNotFound) {
    SimulatedBoards boards({boardWithSerial("1")});
    for (const std::string& path : {boards.root + "/dev/hidraw7", boards.root + "/dev/hidraw01",
                                    boards.root + "/dev/other0", std::string("\\\\?\\hid#vid_07c0")}) {
        EXPECT_EQ(CreateFileA(path.c_str(), 0, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE) << path;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND)) << path;
    }
}

}  // namespace
