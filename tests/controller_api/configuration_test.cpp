// The configuration EEPROM readout, I2C transfers and the shared configuration record.
#include <string.h>

#include <thread>

#include "controller_fixture.h"
#include "eeprom_image.h"
#include "peer_process.h"

namespace {

using board_simulator::Report;
using controller_test::boardWithImage;
using controller_test::ControllerTest;
using controller_test::EepromWrites;
using controller_test::eepromImage;
using controller_test::kI2CModeSuffix;
using test_support::boardWithSerial;

constexpr const char* kConfigSuffix = "{B0BA7E7B-3E64-4bf7-ADB8-0B6C9D528DF6}";

struct ExpectedRange {
    int count, first, last;
};

struct ReadoutCase {
    const char* name;
    EepromWrites writes;
    const char* boardIdText;
    std::uint32_t featureFlags;
    ExpectedRange ranges[4];
    int value7F;
    const char* dateText;
};

class Readout : public ControllerTest, public ::testing::WithParamInterface<ReadoutCase> {};

TEST_P(Readout, FillsTheConfigurationRecord) {
    const ReadoutCase& c = GetParam();
    open({boardWithImage("00001F3C", c.writes)});
    auto controller = controllerAt(1);
    ASSERT_TRUE(controller->ReadConfiguration(false));
    const ControllerConfig& config = controller->Configuration();
    EXPECT_STREQ(config.boardIdText, c.boardIdText);
    EXPECT_EQ(config.featureFlags, c.featureFlags);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(config.ranges[i].count, c.ranges[i].count) << "range " << i;
        EXPECT_EQ(config.ranges[i].first, c.ranges[i].first) << "range " << i;
        EXPECT_EQ(config.ranges[i].last, c.ranges[i].last) << "range " << i;
    }
    EXPECT_EQ(config.value7F, c.value7F);
    EXPECT_STREQ(config.dateText, c.dateText);
    const ControllerConfig zero{};
    EXPECT_EQ(memcmp(config.reservedAfterRanges, zero.reservedAfterRanges, sizeof zero.reservedAfterRanges), 0);
    // The board's I2C mode is left as it was found: off.
    EXPECT_FALSE(settledI2cMode());
    EXPECT_FALSE(controller->IsI2CModeOn());
}

const ExpectedRange kNoRanges[4] = {{0, 0, 0}, {0, 0, 0}, {0, 0, 0}, {0, 0, 0}};

INSTANTIATE_TEST_SUITE_P(
    Images, Readout,
    ::testing::Values(
        ReadoutCase{"Board331ASetsItsTwoFlags",
                    {{0x80, {0x33, 0x1A}}, {0x65, {0x00, 0x00}}, {0x90, {0x01, 0x00}}, {0x7F, {7}}, {0x83, {15, 7, 12}}},
                    "331A", 0x30000, {{0, 0, 0}, {0, 0, 0}, {0, 0, 0}, {0, 0, 0}}, 7, "15/07/12"},
        ReadoutCase{"Blank", {}, "FFFF", 0, {{0, 0, 0}, {0, 0, 0}, {0, 0, 0}, {0, 0, 0}}, 255, ""},
        ReadoutCase{"HalfBlankIdentifierClearsAllSetFlags",
                    {{0x80, {0x12, 0xFF}}},
                    "FFFF", 0, {{0, 0, 0}, {0, 0, 0}, {0, 0, 0}, {0, 0, 0}}, 255, ""},
        ReadoutCase{"AllFlagsWithAProgrammedIdentifierReadEveryRange",
                    {{0x80, {0x12, 0x34}}, {0x69, {3, 9}}, {0x7B, {1, 0xFF}}, {0x67, {2, 4}}, {0x63, {10, 5}}, {0x7F, {0}}},
                    "1234", 0xFFFFFFFF, {{256, 1, 256}, {7, 3, 9}, {3, 2, 4}, {-4, 10, 5}}, 0, ""},
        ReadoutCase{"DateNeedsBytesBelow100",
                    {{0x80, {0x12, 0x34}}, {0x65, {0, 0}}, {0x90, {0, 0}}, {0x83, {15, 200, 12}}},
                    "1234", 0, {{0, 0, 0}, {0, 0, 0}, {0, 0, 0}, {0, 0, 0}}, 255, ""},
        ReadoutCase{"DateNeedsANonZeroIdentifier",
                    {{0x80, {0x00, 0x34}}, {0x65, {0, 0}}, {0x90, {0, 0}}, {0x83, {15, 7, 12}}},
                    "0034", 0, {{0, 0, 0}, {0, 0, 0}, {0, 0, 0}, {0, 0, 0}}, 255, ""}),
    [](const ::testing::TestParamInfo<ReadoutCase>& info) { return info.param.name; });

struct Range0Case {
    int first, last, expectedLast, expectedCount;
};

class Range0Rule : public ControllerTest, public ::testing::WithParamInterface<Range0Case> {};

TEST_P(Range0Rule, DecidesTheLastValue) {
    const Range0Case& c = GetParam();
    open({boardWithImage("r0", {{0x80, {0x12, 0x34}},
                                {0x65, {0x00, 0x01}},
                                {0x90, {0, 0}},
                                {0x7B, {static_cast<std::uint8_t>(c.first), static_cast<std::uint8_t>(c.last)}}})});
    auto controller = controllerAt(1);
    ASSERT_TRUE(controller->ReadConfiguration(false));
    const ConfigRange& range = controller->Configuration().ranges[0];
    EXPECT_EQ(range.first, c.first);
    EXPECT_EQ(range.last, c.expectedLast);
    EXPECT_EQ(range.count, c.expectedCount);
}

INSTANTIATE_TEST_SUITE_P(Cases, Range0Rule,
                         ::testing::Values(Range0Case{1, 0xFF, 256, 256}, Range0Case{1, 0, 256, 256},
                                           Range0Case{5, 0, 256, 252}, Range0Case{5, 0xFF, 255, 251},
                                           Range0Case{0, 0, 0, 0}, Range0Case{0, 0xFF, 255, 256}));

TEST_F(ControllerTest, ReadEepromAsksForOneByteOrFour) {
    open({boardWithImage("n", {{0x10, {0xA1, 0xB2, 0xC3, 0xD4}}})});
    auto controller = controllerAt(1);
    ASSERT_TRUE(controller->SetI2CMode(true));
    int a = -1, b = -1, c = -1, d = -1;
    ASSERT_TRUE(controller->ReadEeprom(1, 0x10, &a));
    EXPECT_EQ(a, 0xA1);
    ASSERT_TRUE(controller->ReadEeprom(1, 0x10, &a, &b, &c, &d));
    EXPECT_EQ((std::vector<int>{a, b, c, d}), (std::vector<int>{0xA1, 0xB2, 0xC3, 0xD4}));
    std::vector<Report> requests;
    for (const Report& r : received()) {
        if (r[0] != 0x01) requests.push_back(r);
    }
    EXPECT_EQ(requests, (std::vector<Report>{{0x02, 0x82, 0xA0, 0x10, 0, 0, 0, 0},
                                             {0x03, 1, 0xA1, 0, 0, 0, 0, 0},
                                             {0x02, 0x82, 0xA0, 0x10, 0, 0, 0, 0},
                                             {0x03, 4, 0xA1, 0, 0, 0, 0, 0}}));
}

TEST_F(ControllerTest, ReadEepromAddressesDevicesOneToEightOnly) {
    board_simulator::BoardDescription board = boardWithSerial("devices");
    board.eeproms[8] = eepromImage({{0x80, {0x08, 0x88}}});
    open({board});
    auto controller = controllerAt(1);
    int first = -1, second = -1;
    // Not in I2C mode: refused, the outputs untouched.
    EXPECT_FALSE(controller->ReadEeprom(8, 0x80, &first, &second));
    EXPECT_EQ(first, -1);
    ASSERT_TRUE(controller->SetI2CMode(true));
    ASSERT_TRUE(simulator().waitForReceived(0, board_simulator::kPipe1, 1, std::chrono::seconds(10)));
    const std::size_t before = received().size();
    EXPECT_FALSE(controller->ReadEeprom(0, 0x80, &first, &second));
    EXPECT_FALSE(controller->ReadEeprom(9, 0x80, &first, &second));
    EXPECT_EQ(received().size(), before);
    EXPECT_EQ(first, -1);
    ASSERT_TRUE(controller->ReadEeprom(8, 0x80, &first, &second));
    EXPECT_EQ(first, 0x08);
    EXPECT_EQ(second, 0x88);
    const std::vector<Report> all = received();
    EXPECT_EQ(all[all.size() - 2][2], 0xAE);
    EXPECT_EQ(all[all.size() - 1][2], 0xAF);
}

TEST_F(ControllerTest, ANackInTheFirstPhaseLeavesZerosAndSkipsTheSecond) {
    open({boardWithSerial("nack")});  // device 2 is absent
    auto controller = controllerAt(1);
    ASSERT_TRUE(controller->SetI2CMode(true));
    int first = -1, second = -1;
    EXPECT_FALSE(controller->ReadEeprom(2, 0x80, &first, &second));
    EXPECT_EQ(first, 0);
    EXPECT_EQ(second, 0);
    EXPECT_EQ(received().back()[0], 0x02);
}

TEST_F(ControllerTest, ARefusedSecondPhaseLeavesTheBytesOfItsResponse) {
    board_simulator::BoardDescription board = boardWithImage("late", {{0x80, {0x12, 0x34}}});
    board.faults.latencyMs = 300;
    open({board});
    auto controller = controllerAt(1);
    ASSERT_TRUE(controller->SetI2CMode(true));
    // Before the board's own answer to the read request comes, a failed answer
    // arrives first.
    std::thread refuser([&] {
        if (simulator().waitForReceived(0, board_simulator::kPipe1, 3, std::chrono::seconds(10))) {
            send({0x03, 0x82, 0x11, 0x22, 0x33, 0x44, 0, 0});
        }
    });
    int first = -1, second = -1;
    EXPECT_FALSE(controller->ReadEeprom(1, 0x80, &first, &second));
    refuser.join();
    EXPECT_EQ(first, 0x11);
    EXPECT_EQ(second, 0x22);
}

TEST_F(ControllerTest, StaleAnswersStoredBeforeATransferAreNeverTakenForItsOwn) {
    open({boardWithImage("stale", {{0x80, {0x12, 0x34}}})});
    auto controller = controllerAt(1);
    ASSERT_TRUE(controller->SetI2CMode(true));
    // Answers to requests of somebody else, already stored, and a report of another kind.
    send({0x02, 0x02, 0, 0, 0, 0, 0, 0});
    send({0x03, 0x02, 0x66, 0x77, 0, 0, 0, 0});
    send({0x18, 1, 0, 0, 0, 0, 0, 0});
    ASSERT_TRUE(test_support::eventually([&] {
        return test_support::storedReports(controller->Handle(), 1) == 3;
    }));
    int first = -1, second = -1;
    ASSERT_TRUE(controller->ReadEeprom(1, 0x80, &first, &second));
    EXPECT_EQ(first, 0x12);
    EXPECT_EQ(second, 0x34);
    EXPECT_EQ(controller->QueuedReports(4), 1u);
}

TEST_F(ControllerTest, TheModeIsRestoredAfterAFailedReadout) {
    board_simulator::BoardDescription board = boardWithSerial("nodevice");
    board.eeproms.clear();
    open({board});
    auto controller = controllerAt(1);
    EXPECT_FALSE(controller->ReadConfiguration(false));
    EXPECT_FALSE(settledI2cMode());
    EXPECT_FALSE(controller->IsI2CModeOn());
    EXPECT_STREQ(controller->Configuration().boardIdText, "");
    const std::vector<Report> all = received();
    EXPECT_EQ(all.back(), (Report{0x01, 0, 0, 0, 0, 0, 0, 0}));
}

TEST_F(ControllerTest, AModeHeldByAnotherProcessStaysOn) {
    open({boardWithImage("held", {{0x80, {0x12, 0x34}}})});
    auto controller = controllerAt(1);
    // Another process switched the board into I2C mode and holds the mode's mutex.
    const BYTE on[8] = {0x01, 1, 0, 0, 0, 0, 0, 0};
    ASSERT_EQ(WriteReport(controller->Handle(), 1, on, 8), 8u);
    peer::PeerProcess holder({"owned-mutex", peer::toHex(controller->MakeObjectName(kI2CModeSuffix))});
    ASSERT_TRUE(holder.ready()) << holder.readyLine();
    ASSERT_TRUE(controller->ReadConfiguration(false));
    EXPECT_STREQ(controller->Configuration().boardIdText, "1234");
    EXPECT_TRUE(settledI2cMode());
    std::size_t modeReports = 0;
    for (const Report& r : received()) modeReports += r[0] == 0x01;
    EXPECT_EQ(modeReports, 1u);
}

TEST_F(ControllerTest, ASecondControllerTakesThePublishedRecordWithoutTraffic) {
    open({boardWithImage("shared", {{0x80, {0x33, 0x1A}}})});
    auto first = controllerAt(1);
    ASSERT_TRUE(first->ReadConfiguration(false));
    const std::size_t requests = i2cRequests();
    EXPECT_GT(requests, 0u);

    auto second = controllerAt(1);
    ASSERT_TRUE(second->ReadConfiguration(false));
    EXPECT_EQ(i2cRequests(), requests);
    EXPECT_EQ(memcmp(&first->Configuration(), &second->Configuration(), sizeof(ControllerConfig)), 0);

    // Once nobody holds the record any more, the next controller reads the EEPROM.
    first->Close();
    second->Close();
    auto third = controllerAt(1);
    ASSERT_TRUE(third->ReadConfiguration(false));
    EXPECT_GT(i2cRequests(), requests);
    EXPECT_STREQ(third->Configuration().boardIdText, "331A");
}

TEST_F(ControllerTest, AForcedReadoutOverwritesTheSharedRecord) {
    open({boardWithImage("forced", {{0x80, {0x12, 0x34}}})});
    auto first = controllerAt(1);
    ASSERT_TRUE(first->ReadConfiguration(false));
    // The EEPROM changes: an I2C write of two data bytes from address 0x80.
    ASSERT_TRUE(controller_test::programEeprom(*first, 1, 0x80, 0x44, 0x55));

    auto unforced = controllerAt(1);
    ASSERT_TRUE(unforced->ReadConfiguration(false));
    EXPECT_STREQ(unforced->Configuration().boardIdText, "1234");
    ASSERT_TRUE(first->ReadConfiguration(true));
    EXPECT_STREQ(first->Configuration().boardIdText, "4455");
    auto later = controllerAt(1);
    ASSERT_TRUE(later->ReadConfiguration(false));
    EXPECT_STREQ(later->Configuration().boardIdText, "4455");
}

TEST_F(ControllerTest, AMappingWithoutARecordIsNoConfiguration) {
    open({boardWithImage("00000042", {{0x80, {0x12, 0x34}}})});
    auto controller = controllerAt(1);
    // Another process created the mapping but has not copied its record in yet.
    HANDLE early = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(ControllerConfig),
                                      controller->MakeObjectName(kConfigSuffix).c_str());
    ASSERT_NE(early, nullptr);
    EXPECT_FALSE(controller->LoadSharedConfiguration());
    ASSERT_TRUE(controller->ReadConfiguration(false));
    EXPECT_STREQ(controller->Configuration().boardIdText, "1234");
    // The readout published its record into the existing mapping.
    void* view = MapViewOfFile(early, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(ControllerConfig));
    ASSERT_NE(view, nullptr);
    EXPECT_STREQ(static_cast<const ControllerConfig*>(view)->boardIdText, "1234");
    UnmapViewOfFile(view);
    CloseHandle(early);
}

TEST_F(ControllerTest, ABoardWithoutSerialNumberSharesNoRecord) {
    open({boardWithImage("", {{0x80, {0x12, 0x34}}})});
    auto first = controllerAt(1);
    ASSERT_TRUE(first->ReadConfiguration(false));
    EXPECT_FALSE(first->PublishConfiguration());
    const std::size_t requests = i2cRequests();
    auto second = controllerAt(1);
    EXPECT_FALSE(second->LoadSharedConfiguration());
    ASSERT_TRUE(second->ReadConfiguration(false));
    EXPECT_GT(i2cRequests(), requests);
}

TEST_F(ControllerTest, TransfersRefuseWhileTheModeIsOff) {
    open({boardWithSerial("off")});
    auto controller = controllerAt(1);
    const BYTE request[8] = {0x02, 0x82, 0xA0, 0x80, 0, 0, 0, 0};
    BYTE response[8];
    EXPECT_EQ(controller->WriteI2C(request), -1);
    EXPECT_EQ(controller->ReadI2CResponse(response), -1);
    EXPECT_TRUE(received().empty());
}

TEST_F(ControllerTest, AFailedTransferNeverReportsSuccess) {
    open({boardWithSerial("failing")});
    auto controller = controllerAt(1);
    ASSERT_TRUE(controller->SetI2CMode(true));
    simulator().unplug(0);
    const BYTE request[8] = {0x02, 0x82, 0xA0, 0x80, 0, 0, 0, 0};
    EXPECT_NE(controller->WriteI2C(request), 0);
    BYTE response[8];
    EXPECT_NE(controller->ReadI2CResponse(response), 0);
}

}  // namespace
