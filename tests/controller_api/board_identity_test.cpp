// Board identifiers and the hexadecimal parser.
#include "controller_fixture.h"
#include "eeprom_image.h"

namespace {

using controller_test::boardWithImage;
using controller_test::ControllerTest;
using controller_test::eepromImage;
using test_support::boardWithSerial;

TEST_F(ControllerTest, DeviceOneComesFromTheConfiguration) {
    open({boardWithImage("id", {{0x80, {0x33, 0x1A}}})});
    auto controller = controllerAt(1);
    int first = -1, second = -1;
    ASSERT_TRUE(controller->GetBoardId(first, second, 1, false));
    EXPECT_EQ(first, 51);
    EXPECT_EQ(second, 26);
    std::string text = "old";
    ASSERT_TRUE(controller->GetBoardIdString(text, 1, false));
    EXPECT_EQ(text, "331A");
}

TEST_F(ControllerTest, ABlankDeviceOneGivesFFFF) {
    open({boardWithSerial("blank")});
    auto controller = controllerAt(1);
    std::string text;
    ASSERT_TRUE(controller->GetBoardIdString(text, 1, false));
    EXPECT_EQ(text, "FFFF");
}

TEST_F(ControllerTest, SmallValuesKeepTheirLeadingZero) {
    open({boardWithImage("zeros", {{0x80, {0x05, 0x0A}}})});
    auto controller = controllerAt(1);
    std::string text;
    ASSERT_TRUE(controller->GetBoardIdString(text, 1, false));
    EXPECT_EQ(text, "050A");
}

TEST_F(ControllerTest, OtherDevicesAreReadDirectlyAndCached) {
    board_simulator::BoardDescription board = boardWithSerial("cache");
    board.eeproms[2] = eepromImage({{0x80, {0x21, 0x43}}});
    board.eeproms[3] = eepromImage({});
    open({board});
    auto controller = controllerAt(1);

    int first = -1, second = -1;
    ASSERT_TRUE(controller->GetBoardId(first, second, 2, false));
    EXPECT_EQ(first, 0x21);
    EXPECT_EQ(second, 0x43);
    const std::size_t requests = i2cRequests();
    first = second = -1;
    ASSERT_TRUE(controller->GetBoardId(first, second, 2, false));
    EXPECT_EQ(first, 0x21);
    EXPECT_EQ(i2cRequests(), requests);

    // A blank device is not cached: every call reads it again, the text stays.
    std::string text = "kept";
    EXPECT_FALSE(controller->GetBoardIdString(text, 3, false));
    EXPECT_EQ(text, "kept");
    const std::size_t afterBlank = i2cRequests();
    EXPECT_GT(afterBlank, requests);
    EXPECT_FALSE(controller->GetBoardIdString(text, 3, false));
    EXPECT_GT(i2cRequests(), afterBlank);

    // A refresh that fails keeps the old entry: the EEPROM's identifier is erased.
    ASSERT_TRUE(controller_test::programEeprom(*controller, 2, 0x80, 0xFF, 0xFF));
    EXPECT_FALSE(controller->GetBoardId(first, second, 2, true));
    ASSERT_TRUE(controller->GetBoardId(first, second, 2, false));
    EXPECT_EQ(first, 0x21);
    EXPECT_EQ(second, 0x43);
}

TEST_F(ControllerTest, DevicesOutsideOneToEightAreRefusedWithoutTraffic) {
    open({boardWithSerial("range")});
    auto controller = controllerAt(1);
    int first = -1, second = -1;
    EXPECT_FALSE(controller->GetBoardId(first, second, 0, false));
    EXPECT_FALSE(controller->GetBoardId(first, second, 9, false));
    EXPECT_EQ(first, -1);
    EXPECT_TRUE(received().empty());
}

TEST_F(ControllerTest, TheModeIsLeftAsGetBoardIdFoundIt) {
    board_simulator::BoardDescription board = boardWithSerial("mode");
    board.eeproms[2] = eepromImage({{0x80, {0x21, 0x43}}});
    open({board});
    auto controller = controllerAt(1);
    int first = 0, second = 0;
    // Off before: switched back off, on success and on failure (device 4 is absent).
    ASSERT_TRUE(controller->GetBoardId(first, second, 2, false));
    EXPECT_FALSE(settledI2cMode());
    EXPECT_FALSE(controller->GetBoardId(first, second, 4, false));
    EXPECT_FALSE(settledI2cMode());
    EXPECT_FALSE(controller->IsI2CModeOn());
    // On before: left on.
    ASSERT_TRUE(controller->SetI2CMode(true));
    EXPECT_FALSE(controller->GetBoardId(first, second, 4, false));
    EXPECT_TRUE(settledI2cMode());
    EXPECT_TRUE(controller->IsI2CModeOn());
}

struct HexCase {
    const char* text;
    int value;
};

class HexToIntTable : public ::testing::TestWithParam<HexCase> {};

TEST_P(HexToIntTable, ParsesTheLeadingHexadecimalDigits) { EXPECT_EQ(HexToInt(GetParam().text), GetParam().value); }

INSTANTIATE_TEST_SUITE_P(Texts, HexToIntTable,
                         ::testing::Values(HexCase{"1A", 26}, HexCase{"1a", 26}, HexCase{"0x1a", 26},
                                           HexCase{"0X1A", 26}, HexCase{"", 0}, HexCase{"0x", 0},
                                           HexCase{"12G4", 18}, HexCase{" 1A", 0}, HexCase{"FFFFFFFF", -1},
                                           HexCase{"123456789", 0x23456789}, HexCase{"FF", 255},
                                           HexCase{"00", 0}));

}  // namespace
