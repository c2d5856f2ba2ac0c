// The controller object: report routing, the I2C mode, names, errors, closing.
#include <string.h>

#include "controller_fixture.h"
#include "peer_process.h"

namespace {

using board_simulator::Report;
using controller_test::ControllerTest;
using controller_test::kI2CModeSuffix;
using test_support::boardWithSerial;

Report report(BYTE id, BYTE value) { return Report{id, value, 0x10, 0x20, 0x30, 0x40, 0x50, 0x60}; }

TEST_F(ControllerTest, ReportsOfOtherKindsAreQueuedAndServedOldestFirstWithoutReadingThePipe) {
    open({boardWithSerial("route")});
    auto controller = controllerAt(1);
    for (const Report& r : {report(0x18, 1), report(0x0C, 2), report(0x07, 3), report(0x80, 4), report(0x19, 5),
                            report(0xFF, 6), report(0x02, 7)}) {
        send(r);
    }
    BYTE answer[8] = {};
    EXPECT_EQ(controller->ReadRoutedReport(1, 1, answer, 8), 8);
    EXPECT_EQ(answer[0], 0x02);
    EXPECT_EQ(answer[1], 7);
    EXPECT_EQ(controller->QueuedReports(4), 2u);
    EXPECT_EQ(controller->QueuedReports(6), 1u);
    EXPECT_EQ(controller->QueuedReports(5), 1u);
    // 0x07 and 0x80 have no kind: dropped.
    std::size_t queued = 0;
    for (int kind = 1; kind <= 8; ++kind) queued += controller->QueuedReports(kind);
    EXPECT_EQ(queued, 4u);

    BYTE first[8] = {};
    EXPECT_EQ(controller->ReadRoutedReport(4, 1, first, 8), 8);
    EXPECT_EQ(first[1], 1);
    BYTE second[8];
    memset(second, 0xEE, sizeof second);
    EXPECT_EQ(controller->ReadRoutedReport(4, 1, second, 2), 8);
    EXPECT_EQ(second[0], 0x19);
    EXPECT_EQ(second[1], 5);
    EXPECT_EQ(second[2], 0xEE);
    // Kind 4 does not wait for a report that does not come.
    EXPECT_EQ(controller->ReadRoutedReport(4, 1, first, 8), 0);
}

TEST_F(ControllerTest, AReadWithoutDestinationNeverTakesFromTheQueue) {
    open({boardWithSerial("route")});
    auto controller = controllerAt(1);
    send(report(0x18, 1));
    send(report(0x02, 2));
    BYTE answer[8];
    ASSERT_EQ(controller->ReadRoutedReport(1, 1, answer, 8), 8);
    ASSERT_EQ(controller->QueuedReports(4), 1u);
    send(report(0x1A, 3));
    EXPECT_EQ(controller->ReadRoutedReport(4, 1, nullptr, 8), 8);
    EXPECT_EQ(controller->QueuedReports(4), 1u);
    EXPECT_EQ(controller->ReadRoutedReport(4, 1, answer, 8), 8);
    EXPECT_EQ(answer[1], 1);
}

TEST_F(ControllerTest, KindsOutsideOneToEightAreRefusedAtOnce) {
    open({boardWithSerial("route")});
    auto controller = controllerAt(1);
    BYTE answer[8];
    EXPECT_EQ(controller->ReadRoutedReport(0, 1, answer, 8), -1);
    EXPECT_EQ(controller->ReadRoutedReport(9, 1, answer, 8), -1);
}

TEST_F(ControllerTest, I2CModeIsSwitchedOnTheWireAndMarkedByItsMutex) {
    open({boardWithSerial("00001A2B")});
    auto controller = controllerAt(1);
    EXPECT_EQ(controller->MakeObjectName(kI2CModeSuffix), std::string("3E8-00001A2B:") + kI2CModeSuffix);
    EXPECT_FALSE(controller->IsI2CModeOn());
    ASSERT_TRUE(controller->SetI2CMode(true));
    EXPECT_TRUE(controller->IsI2CModeOn());
    EXPECT_TRUE(settledI2cMode());
    // Already on: nothing more is sent.
    ASSERT_TRUE(controller->SetI2CMode(true));
    ASSERT_TRUE(controller->SetI2CMode(false));
    EXPECT_FALSE(controller->IsI2CModeOn());
    EXPECT_FALSE(settledI2cMode());
    EXPECT_EQ(received(), (std::vector<Report>{{0x01, 1, 0, 0, 0, 0, 0, 0}, {0x01, 0, 0, 0, 0, 0, 0, 0}}));
}

TEST_F(ControllerTest, SwitchingTheModeDiscardsQueuedI2CResponsesOnly) {
    open({boardWithSerial("route")});
    auto controller = controllerAt(1);
    send(report(0x18, 1));
    send(report(0x03, 2));
    send(report(0x02, 3));
    send(report(0x0C, 4));
    BYTE answer[8];
    ASSERT_EQ(controller->ReadRoutedReport(6, 1, answer, 8), 8);
    EXPECT_EQ(controller->QueuedReports(1), 2u);
    EXPECT_EQ(controller->QueuedReports(4), 1u);
    ASSERT_TRUE(controller->SetI2CMode(false));
    EXPECT_EQ(controller->QueuedReports(1), 0u);
    EXPECT_EQ(controller->QueuedReports(4), 1u);
    EXPECT_EQ(controller->ReadRoutedReport(4, 1, answer, 8), 8);
}

TEST_F(ControllerTest, ModeHeldByAnotherProcessIsLeftAloneButCanStillBeSwitchedOff) {
    open({boardWithSerial("shared")});
    auto controller = controllerAt(1);
    peer::PeerProcess holder({"owned-mutex", peer::toHex(controller->MakeObjectName(kI2CModeSuffix))});
    ASSERT_TRUE(holder.ready()) << holder.readyLine();
    EXPECT_TRUE(controller->IsI2CModeOn());
    ASSERT_TRUE(controller->SetI2CMode(true));
    Sleep(50);
    EXPECT_TRUE(received().empty());
    ASSERT_TRUE(controller->SetI2CMode(false));
    EXPECT_FALSE(settledI2cMode());
    EXPECT_EQ(received(), (std::vector<Report>{{0x01, 0, 0, 0, 0, 0, 0, 0}}));
    // This controller never held the mutex: once the other process lets go, the
    // mode is off.
    holder.exit();
    EXPECT_FALSE(controller->IsI2CModeOn());
}

TEST_F(ControllerTest, EmptySerialNumberLeavesNothingBetweenHyphenAndColon) {
    open({boardWithSerial("")});
    auto controller = controllerAt(1);
    EXPECT_EQ(controller->MakeObjectName(kI2CModeSuffix), std::string("3E8-:") + kI2CModeSuffix);
}

TEST_F(ControllerTest, BackslashInASerialNumberIsReplacedInObjectNames) {
    open({boardWithSerial("AB\\CD")});
    auto controller = controllerAt(1);
    EXPECT_EQ(controller->GetSerialString(false), "AB\\CD");
    EXPECT_EQ(controller->MakeObjectName("x"), "3E8-AB_CD:x");
}

TEST_F(ControllerTest, MapLastErrorNamesAVanishedDevice) {
    open({boardWithSerial("gone")});
    auto controller = controllerAt(1);
    SetLastError(ERROR_INVALID_PARAMETER);
    EXPECT_EQ(controller->MapLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    CloseAllDevices(nullptr);
    SetLastError(ERROR_INVALID_PARAMETER);
    EXPECT_EQ(controller->MapLastError(), static_cast<DWORD>(ERROR_DEV_NOT_EXIST));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEV_NOT_EXIST));
    SetLastError(ERROR_TIMEOUT);
    EXPECT_EQ(controller->MapLastError(), static_cast<DWORD>(ERROR_TIMEOUT));
    // A write to the vanished device fails with that code.
    EXPECT_FALSE(controller->SetI2CMode(true));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEV_NOT_EXIST));
}

TEST_F(ControllerTest, RoutedReadGivesUpOnABoardThatIsUnpluggedOrSilent) {
    board_simulator::BoardDescription silent = boardWithSerial("silent");
    silent.faults.silentAfterReports = 0;
    open({boardWithSerial("unplugged"), silent});
    auto silentController = controllerAt(1);
    auto unpluggedController = controllerAt(2);
    simulator().unplug(0);
    BYTE answer[8];
    EXPECT_EQ(unpluggedController->ReadRoutedReport(1, 1, answer, 8), 0);
    EXPECT_EQ(silentController->ReadRoutedReport(1, 1, answer, 8), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_TIMEOUT));
}

TEST_F(ControllerTest, CloseTwiceIsHarmlessAndReleasesTheModeMutex) {
    open({boardWithSerial("close")});
    auto controller = controllerAt(1);
    ASSERT_TRUE(controller->SetI2CMode(true));
    controller->Close();
    EXPECT_FALSE(controller->IsI2CModeOn());
    controller->Close();
    // Closing tells the board nothing: it got the on report only.
    settledI2cMode();
    EXPECT_EQ(received().size(), 1u);
}

TEST_F(ControllerTest, DestroyingABorrowingControllerLeavesTheLibraryOpen) {
    open({boardWithSerial("borrowed")});
    DeviceHandle handle = ClaimedDeviceAt(1);
    controllerAt(1).reset();
    EXPECT_TRUE(IsDeviceHandleValid(handle));
    EXPECT_EQ(QueryProductId(handle), 0x03E8u);
}

}  // namespace
