// Board descriptions: defaults, number forms, EEPROM maps and faults, and errors
// that name the place.
#include <gtest/gtest.h>

#include <filesystem>

#include "board_simulator/description.h"

namespace {

using namespace board_simulator;

std::vector<BoardDescription> parse(const std::string& text) { return parseBoardDescriptions(text, "boards.json"); }

TEST(Description, OmittedFieldsTakeTheirDefaults) {
    const std::vector<BoardDescription> boards = parse(R"({"boards": [{}]})");
    ASSERT_EQ(boards.size(), 1u);
    EXPECT_EQ(boards[0].vendorId, 0x07C0);
    EXPECT_EQ(boards[0].productId, 0x03E8);
    EXPECT_EQ(boards[0].revision, 0x0100);
    EXPECT_TRUE(boards[0].serial.empty());
    ASSERT_EQ(boards[0].eeproms.size(), 1u);
    for (std::uint8_t byte : boards[0].eeproms.at(1)) EXPECT_EQ(byte, 0xFF);
    EXPECT_FALSE(boards[0].faults.unplugAfterReports);
    EXPECT_EQ(boards[0].faults.interfaces, 2u);
}

TEST(Description, ReadsTheDocumentedExample) {
    const std::vector<BoardDescription> boards = parse(R"({"boards": [{"vendor_id": "0x07C0", "product_id": "0x03E8",
        "revision": "0x1501", "serial": "00001F3C",
        "eeprom": {"1": {"0x80": ["0x33", "0x1A"], "0x65": [1, 0]}, "8": {"255": [7]}},
        "faults": {"unplug_after_reports": 12, "noise": true, "latency_ms": 8, "silent_after_reports": 0,
                   "exclusive": true, "serial_query_fails": true, "serial_equals_string0": true,
                   "interfaces": 3, "same_pipe": true, "short_reports": true}},
        {"product_id": 5376}]})");
    ASSERT_EQ(boards.size(), 2u);
    const BoardDescription& board = boards[0];
    EXPECT_EQ(board.revision, 0x1501);
    EXPECT_EQ(board.serial, "00001F3C");
    ASSERT_EQ(board.eeproms.size(), 2u);
    EXPECT_EQ(board.eeproms.at(1)[0x80], 0x33);
    EXPECT_EQ(board.eeproms.at(1)[0x81], 0x1A);
    EXPECT_EQ(board.eeproms.at(1)[0x65], 1);
    EXPECT_EQ(board.eeproms.at(1)[0x66], 0);
    EXPECT_EQ(board.eeproms.at(1)[0x67], 0xFF);
    EXPECT_EQ(board.eeproms.at(8)[255], 7);
    const Faults& faults = board.faults;
    EXPECT_EQ(faults.unplugAfterReports, 12u);
    EXPECT_EQ(faults.silentAfterReports, 0u);
    EXPECT_TRUE(faults.noise && faults.exclusive && faults.serialQueryFails && faults.serialEqualsString0 &&
                faults.samePipe && faults.shortReports);
    EXPECT_EQ(faults.latencyMs, 8u);
    EXPECT_EQ(faults.interfaces, 3u);
    EXPECT_EQ(boards[1].productId, 0x1500);
}

TEST(Description, AnEmptyEepromMapMeansNoEeprom) {
    EXPECT_TRUE(parse(R"({"boards": [{"eeprom": {}}]})")[0].eeproms.empty());
}

struct BadInput {
    const char* name;
    const char* text;
    const char* message;  // the whole error, or its start for JSON syntax errors
};

void PrintTo(const BadInput& c, std::ostream* out) { *out << c.name; }

class BadDescription : public ::testing::TestWithParam<BadInput> {};

TEST_P(BadDescription, NamesThePlace) {
    try {
        parse(GetParam().text);
        FAIL() << "accepted";
    } catch (const DescriptionError& error) {
        const std::string message = error.what();
        EXPECT_EQ(message.rfind(GetParam().message, 0), 0u) << message;
        EXPECT_EQ(message.find('\n'), std::string::npos);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BadDescription,
    ::testing::Values(
        BadInput{"InvalidJson", R"({"boards": [})", "boards.json: invalid JSON: parse error at line 1, column 13"},
        BadInput{"NotAnObject", "[]", "boards.json: top level: expected an object, got []"},
        BadInput{"NoBoards", "{}", "boards.json: boards: missing"},
        BadInput{"UnknownTopField", R"({"boards": [], "colour": 1})", "boards.json: colour: unknown field"},
        BadInput{"BoardsNotAList", R"({"boards": {}})", "boards.json: boards: expected a list of boards, got {}"},
        BadInput{"UnknownBoardField", R"({"boards": [{}, {"vendor": 1}]})", "boards.json: boards[1].vendor: unknown field"},
        BadInput{"UnknownFault", R"({"boards": [{"faults": {"flaky": true}}]})",
                 "boards.json: boards[0].faults.flaky: unknown field"},
        BadInput{"IdTooLarge", R"({"boards": [{"product_id": "0x10000"}]})",
                 "boards.json: boards[0].product_id: out of range (0 to 65535): \"0x10000\""},
        BadInput{"NegativeId", R"({"boards": [{"vendor_id": -1}]})",
                 "boards.json: boards[0].vendor_id: out of range (0 to 65535): -1"},
        BadInput{"DecimalText", R"({"boards": [{"revision": "12"}]})",
                 "boards.json: boards[0].revision: expected a whole number or a \"0x\" text, got \"12\""},
        BadInput{"Fraction", R"({"boards": [{"revision": 1.5}]})",
                 "boards.json: boards[0].revision: expected a whole number or a \"0x\" text, got 1.5"},
        BadInput{"BadHex", R"({"boards": [{"revision": "0x12G"}]})",
                 "boards.json: boards[0].revision: expected a whole number"},
        BadInput{"SerialNotText", R"({"boards": [{"serial": 12}]})", "boards.json: boards[0].serial: expected a text, got 12"},
        BadInput{"SerialEmpty", R"({"boards": [{"serial": ""}]})", "boards.json: boards[0].serial: empty"},
        BadInput{"SerialWithNewline", R"({"boards": [{"serial": "AB\nCD"}]})",
                 "boards.json: boards[0].serial: control character"},
        BadInput{"EepromDeviceZero", R"({"boards": [{"eeprom": {"0": {}}}]})",
                 "boards.json: boards[0].eeprom.0: out of range (1 to 8): \"0\""},
        BadInput{"EepromDeviceNine", R"({"boards": [{"eeprom": {"9": {}}}]})",
                 "boards.json: boards[0].eeprom.9: out of range (1 to 8)"},
        BadInput{"EepromDeviceNotANumber", R"({"boards": [{"eeprom": {"one": {}}}]})",
                 "boards.json: boards[0].eeprom.one: expected a number as key"},
        BadInput{"EepromByteTooLarge", R"({"boards": [{"eeprom": {"1": {"0x80": [1, 256]}}}]})",
                 "boards.json: boards[0].eeprom.1.0x80[1]: out of range (0 to 255): 256"},
        BadInput{"EepromPastTheEnd", R"({"boards": [{"eeprom": {"1": {"0xFF": [1, 2]}}}]})",
                 "boards.json: boards[0].eeprom.1.0xFF: bytes run past the end"},
        BadInput{"EepromOverlap", R"({"boards": [{"eeprom": {"1": {"0x10": [1, 2], "0x11": [3]}}}]})",
                 "boards.json: boards[0].eeprom.1.0x11[0]: overlaps"},
        BadInput{"EepromBytesNotAList", R"({"boards": [{"eeprom": {"1": {"0x10": 5}}}]})",
                 "boards.json: boards[0].eeprom.1.0x10: expected a list of bytes, got 5"},
        BadInput{"InterfacesFour", R"({"boards": [{"faults": {"interfaces": 4}}]})",
                 "boards.json: boards[0].faults.interfaces: out of range (1 to 3): 4"},
        BadInput{"UnplugAfterZero", R"({"boards": [{"faults": {"unplug_after_reports": 0}}]})",
                 "boards.json: boards[0].faults.unplug_after_reports: out of range (1 to"},
        BadInput{"LatencyTooLong", R"({"boards": [{"faults": {"latency_ms": 60001}}]})",
                 "boards.json: boards[0].faults.latency_ms: out of range (0 to 60000): 60001"},
        BadInput{"FlagNotBoolean", R"({"boards": [{"faults": {"noise": 1}}]})",
                 "boards.json: boards[0].faults.noise: expected true or false, got 1"}),
    [](const ::testing::TestParamInfo<BadInput>& info) { return info.param.name; });

TEST(Description, UnreadableFileIsNamed) {
    try {
        loadBoardDescriptions("/nonexistent/boards.json");
        FAIL() << "accepted";
    } catch (const DescriptionError& error) {
        EXPECT_STREQ(error.what(), "/nonexistent/boards.json: cannot be read");
    }
}

TEST(Description, EveryExampleLoads) {
    std::size_t examples = 0;
    for (const auto& entry : std::filesystem::directory_iterator(EXAMPLES_DIR)) {
        if (entry.path().extension() != ".json") continue;
        ++examples;
        EXPECT_NO_THROW(loadBoardDescriptions(entry.path().string())) << entry.path();
    }
    EXPECT_EQ(examples, 5u);
    EXPECT_EQ(loadBoardDescriptions(std::string(EXAMPLES_DIR) + "/thirty-three-boards.json").size(), 33u);
    EXPECT_EQ(loadBoardDescriptions(std::string(EXAMPLES_DIR) + "/three-boards.json").size(), 3u);
}

}  // namespace
