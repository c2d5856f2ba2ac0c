// The board model on its own: the chip's I2C special mode, the EEPROMs on its bus,
// and the faults that change what the board sends.
#include <gtest/gtest.h>

#include "board_simulator/board.h"

namespace {

using namespace board_simulator;

Report request(std::initializer_list<std::uint8_t> bytes) {
    Report report(bytes);
    report.resize(kSpecialModeReportBytes, 0);
    return report;
}

BoardDescription boardWithEeprom() {
    BoardDescription board = defaultBoard();
    EepromContent& content = board.eeproms[1];
    for (std::size_t i = 0; i < kEepromBytes; ++i) content[i] = static_cast<std::uint8_t>(i ^ 0x5A);
    return board;
}

class ChipInI2cMode : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(chip.handle(request({0x01, 1}))); }
    std::optional<Report> setPointer(std::uint8_t device, std::uint8_t address) {
        return chip.handle(request({0x02, 0x82, static_cast<std::uint8_t>(0xA0 + 2 * (device - 1)), address}));
    }
    std::optional<Report> read(std::uint8_t device, std::uint8_t count) {
        return chip.handle(request({0x03, count, static_cast<std::uint8_t>(0xA1 + 2 * (device - 1))}));
    }
    Chip chip{boardWithEeprom().eeproms};
};

TEST(Chip, IgnoresI2cRequestsAndUnknownReportsOutsideI2cMode) {
    Chip chip(boardWithEeprom().eeproms);
    EXPECT_FALSE(chip.handle(request({0x02, 0x82, 0xA0, 0x80})));
    EXPECT_FALSE(chip.handle(request({0x03, 2, 0xA1})));
    EXPECT_FALSE(chip.handle(request({0x01, 1})));
    EXPECT_TRUE(chip.i2cMode());
    for (std::uint8_t id : {0x00, 0x04, 0x07, 0x18, 0xFF}) EXPECT_FALSE(chip.handle(request({id, 0x82, 0xA0})));
    EXPECT_FALSE(chip.handle(request({0x01, 0})));
    EXPECT_FALSE(chip.i2cMode());
    EXPECT_FALSE(chip.handle(request({0x03, 2, 0xA1})));
}

TEST_F(ChipInI2cMode, WriteSetsThePointerAndReadsAdvanceIt) {
    EXPECT_EQ(setPointer(1, 0x80), request({0x02, 0x02}));
    EXPECT_EQ(read(1, 2), request({0x03, 2, 0x80 ^ 0x5A, 0x81 ^ 0x5A}));
    EXPECT_EQ(read(1, 1), request({0x03, 1, 0x82 ^ 0x5A}));
    EXPECT_EQ(setPointer(1, 0xFE), request({0x02, 0x02}));
    EXPECT_EQ(read(1, 4), request({0x03, 4, 0xFE ^ 0x5A, 0xFF ^ 0x5A, 0x00 ^ 0x5A, 0x01 ^ 0x5A})) << "wraps at 256";
}

TEST_F(ChipInI2cMode, WrittenBytesAfterThePointerAreStored) {
    EXPECT_EQ(chip.handle(request({0x02, 0x84, 0xA0, 0x10, 0xAB, 0xCD})), request({0x02, 0x04}));
    EXPECT_EQ(chip.handle(request({0x02, 0x01, 0xEF})), request({0x02, 0x01})) << "continues without a start";
    EXPECT_EQ(setPointer(1, 0x10), request({0x02, 0x02}));
    EXPECT_EQ(read(1, 3), request({0x03, 3, 0xAB, 0xCD, 0xEF}));
    EXPECT_EQ((*chip.bus().eeprom(1))[0x12], 0xEF);
}

TEST_F(ChipInI2cMode, FailuresSetBitSeven) {
    struct Case {
        Report request;
        Report answer;
    };
    for (const Case& c : {Case{request({0x02, 0x82, 0xA2, 0x80}), request({0x02, 0x80})},  // device 2 absent
                          Case{request({0x03, 2, 0xAF}), request({0x03, 0x82})},           // device 8 absent
                          Case{request({0x03, 0, 0xA1}), request({0x03, 0x80})},
                          Case{request({0x03, 7, 0xA1}), request({0x03, 0x87})},
                          Case{request({0x02, 0x87, 0xA0}), request({0x02, 0x80})},
                          Case{request({0x02, 0x80}), request({0x02, 0x80})},
                          Case{request({0x02, 0x82, 0x20, 0x80}), request({0x02, 0x80})}}) {
        EXPECT_EQ(chip.handle(c.request), c.answer);
    }
}

TEST(Chip, EightEepromsAnswerAtTheirAddresses) {
    BoardDescription board = defaultBoard();
    for (unsigned device = 1; device <= kEepromDevices; ++device) board.eeproms[device].fill(static_cast<std::uint8_t>(device));
    Chip chip(board.eeproms);
    chip.handle(request({0x01, 1}));
    for (std::uint8_t device = 1; device <= 8; ++device) {
        EXPECT_EQ(chip.handle(request({0x03, 1, static_cast<std::uint8_t>(0xA1 + 2 * (device - 1))})),
                  request({0x03, 1, device}));
    }
}

TEST(Board, UnplugsOnItsLastReportWithoutAnswering) {
    BoardDescription description = defaultBoard();
    description.faults.unplugAfterReports = 2;
    Board board(description);
    EXPECT_FALSE(board.receive(0, {0, 1, 2, 3, 4}).unplug) << "pipe 0 does not count";
    EXPECT_FALSE(board.receive(1, request({0x01, 1})).unplug);
    const Board::Reaction last = board.receive(1, request({0x03, 1, 0xA1}));
    EXPECT_TRUE(last.unplug);
    EXPECT_TRUE(last.sent.empty());
}

TEST(Board, GoesSilentAfterItsAnsweredReports) {
    BoardDescription description = defaultBoard();
    description.faults.silentAfterReports = 2;
    Board board(description);
    EXPECT_TRUE(board.receive(1, request({0x01, 1})).sent.empty());
    EXPECT_EQ(board.receive(1, request({0x03, 1, 0xA1})).sent.size(), 1u);
    const Board::Reaction silent = board.receive(1, request({0x03, 1, 0xA1}));
    EXPECT_TRUE(silent.sent.empty());
    EXPECT_FALSE(silent.unplug);
}

TEST(Board, NoiseComesBeforeEachAnswerAndShortReportsStopAfterTheirData) {
    BoardDescription description = boardWithEeprom();
    description.faults.noise = true;
    description.faults.shortReports = true;
    Board board(description);
    board.receive(1, request({0x01, 1}));
    const Board::Reaction reaction = board.receive(1, request({0x03, 3, 0xA1}));
    ASSERT_EQ(reaction.sent.size(), 5u);
    for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(reaction.sent[i], (Report{kNoiseReports[i], 0}));
    EXPECT_EQ(reaction.sent[4], (Report{0x03, 3, 0x00 ^ 0x5A, 0x01 ^ 0x5A, 0x02 ^ 0x5A}));
}

TEST(Board, InterfacesFollowTheFaults) {
    BoardDescription description = defaultBoard();
    std::vector<InterfaceLayout> layouts = interfacesOf(description);
    ASSERT_EQ(layouts.size(), 2u);
    EXPECT_FALSE(layouts[0].numbered);
    EXPECT_EQ(layouts[0].reportBytes, kPipe0ReportBytes);
    EXPECT_TRUE(layouts[1].numbered);
    EXPECT_EQ(layouts[1].reportBytes, kSpecialModeReportBytes);
    description.faults.interfaces = 3;
    description.faults.samePipe = true;
    layouts = interfacesOf(description);
    ASSERT_EQ(layouts.size(), 3u);
    for (const InterfaceLayout& layout : layouts) EXPECT_EQ(layout.reportBytes, kSpecialModeReportBytes);
    description.faults.interfaces = 1;
    EXPECT_EQ(interfacesOf(description).size(), 1u);
}

TEST(Board, PresentedSerialFollowsTheFaults) {
    BoardDescription description = defaultBoard();
    description.serial = "00001F3C";
    EXPECT_EQ(presentedSerial(description), "00001F3C");
    description.faults.serialEqualsString0 = true;
    EXPECT_EQ(presentedSerial(description), "\xD0\x89");
    description.faults.serialQueryFails = true;
    EXPECT_EQ(presentedSerial(description), "");
}

}  // namespace
