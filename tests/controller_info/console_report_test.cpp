// The utility end to end: the built executable run as a process under vantrel-sim,
// with a key on its standard input, its output compared byte for byte.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "child_process.h"
#include "simulated_boards.h"

namespace {

const std::string kUtility = VANTREL_UTILITY_PATH;
const std::string kUtilityWithoutApplication = VANTREL_UTILITY_WITHOUT_APPLICATION_PATH;
const std::string kSimulatorTool = VANTREL_SIM_PATH;

const std::string kHeaderStart = "\nVantrel Controller Info v1.1\n\nRetrieving controller information for ";
const std::string kPrompt = "\n\nPress any key to exit";

std::string header(int controllers) {
    return kHeaderStart + std::to_string(controllers) + " controller(s).\n";
}

// A board description in the simulator's JSON form.
std::string board(const std::string& serial, const std::string& revision, const std::string& more = "") {
    std::string text = "{\"revision\": \"" + revision + "\"";
    if (!serial.empty()) text += ", \"serial\": \"" + serial + "\"";
    if (!more.empty()) text += ", " + more;
    return text + "}";
}

std::string withIdentifier(const std::string& high, const std::string& low) {
    return "\"eeprom\": {\"1\": {\"0x80\": [\"" + high + "\", \"" + low + "\"]}}";
}

std::string boards(const std::vector<std::string>& descriptions) {
    std::string text = "{\"boards\": [";
    for (std::size_t i = 0; i < descriptions.size(); ++i) text += (i == 0 ? "" : ", ") + descriptions[i];
    return text + "]}";
}

class TemporaryFile {
public:
    explicit TemporaryFile(const std::string& content) {
        char pattern[] = "/tmp/vantrel-boards-XXXXXX";
        const int descriptor = mkstemp(pattern);
        path_ = pattern;
        (void)!write(descriptor, content.data(), content.size());
        close(descriptor);
    }
    ~TemporaryFile() { unlink(path_.c_str()); }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

test_support::ChildResult runUtility(const std::string& description, const std::string& utility = kUtility) {
    test_support::isolateNamedObjects();
    TemporaryFile file(description);
    return test_support::runChild({kSimulatorTool, file.path(), "--", utility}, "k");
}

struct ReportCase {
    const char* name;
    std::string description;
    std::string expectedOutput;
    int expectedExitCode;
};

class ConsoleReport : public ::testing::TestWithParam<ReportCase> {};

TEST_P(ConsoleReport, PrintsExactlyTheExpectedLinesAndPrompt) {
    const ReportCase& c = GetParam();
    const test_support::ChildResult result = runUtility(c.description);
    EXPECT_EQ(result.output, c.expectedOutput);
    EXPECT_EQ(result.exitCode, c.expectedExitCode) << result.errors;
    EXPECT_EQ(result.errors, "");
}

std::string tenAndMoreBoards() {
    std::vector<std::string> descriptions;
    for (int i = 1; i <= 11; ++i) {
        char serial[16];
        snprintf(serial, sizeof serial, "0000%04d", i);
        descriptions.push_back(board(serial, "0x0100", withIdentifier("0x10", "0x" + std::to_string(i + 10))));
    }
    return boards(descriptions);
}

std::string tenAndMoreLines() {
    std::string lines;
    // Announced in reverse: the board listed last comes first.
    for (int position = 1; position <= 11; ++position) {
        const int listed = 12 - position;
        char line[96];
        snprintf(line, sizeof line, "%s%d) 0000%04d v1.0.0. - 03E8 - 10%d\n", position < 10 ? "   " : "  ", position,
                 listed, listed + 10);
        lines += line;
    }
    return lines;
}

INSTANTIATE_TEST_SUITE_P(
    Boards, ConsoleReport,
    ::testing::Values(
        ReportCase{"OneBoard", boards({board("00001F3C", "0x1501", withIdentifier("0x33", "0x1A"))}),
                   header(1) + "   1) 00001F3C v1.5.0.1 - 03E8 - 331A\n" + kPrompt, 0},
        ReportCase{"ThreeBoardsInAnnounceOrder",
                   boards({board("0000000A", "0x1501", withIdentifier("0x0A", "0x01")),
                           board("0000000B", "0x1501", withIdentifier("0x0B", "0x02")),
                           board("0000000C", "0x1501", withIdentifier("0x0C", "0x03"))}),
                   header(3) + "   1) 0000000C v1.5.0.1 - 03E8 - 0C03\n" + "   2) 0000000B v1.5.0.1 - 03E8 - 0B02\n" +
                       "   3) 0000000A v1.5.0.1 - 03E8 - 0A01\n" + kPrompt,
                   0},
        ReportCase{"TenAndMoreBoardsKeepTheirColumn", tenAndMoreBoards(), header(11) + tenAndMoreLines() + kPrompt, 0},
        ReportCase{"BoardWithoutSerialNumber", boards({board("", "0x1501", withIdentifier("0x12", "0x34"))}),
                   header(1) + "   1)  v1.5.0.1 - 03E8 - 1234\n" + kPrompt, 0},
        ReportCase{"BlankBoard", boards({board("00000B1A", "0x1501")}),
                   header(1) + "   1) 00000B1A v1.5.0.1 - 03E8 - FFFF\n" + kPrompt, 0},
        ReportCase{"IdentifierThatCannotBeRead", boards({board("00000DEF", "0x1501", "\"eeprom\": {}")}),
                   header(1) + "   1) 00000DEF v1.5.0.1 - 03E8 - \n" + kPrompt, 0},
        ReportCase{"RevisionsOfFewerDigits",
                   boards({board("00000020", "0x20", withIdentifier("0x00", "0x20")),
                           board("00000200", "0x0200", withIdentifier("0x02", "0x00"))}),
                   header(2) + "   1) 00000200 v2.0.0. - 03E8 - 0200\n" + "   2) 00000020 v2.0.. - 03E8 - 0020\n" + kPrompt,
                   0},
        ReportCase{"OtherProductIds",
                   boards({"{\"vendor_id\": \"0x1FD1\", \"product_id\": \"0x1583\", \"revision\": \"0x1501\", "
                           "\"serial\": \"00001583\"}"}),
                   header(1) + "   1) 00001583 v1.5.0.1 - 1583 - FFFF\n" + kPrompt, 0},
        ReportCase{"NoBoard", boards({}), "Unable to open controllers.\n" + kPrompt, 2},
        ReportCase{"BoardsThatFailDuringTheirReadout",
                   boards({board("0000000A", "0x1501", withIdentifier("0x0A", "0x01")),
                           board("0000DEAD", "0x1501",
                                 withIdentifier("0x0D", "0x02") + ", \"faults\": {\"unplug_after_reports\": 3}"),
                           board("0000005C", "0x1501",
                                 withIdentifier("0x5C", "0x03") + ", \"faults\": {\"silent_after_reports\": 2}"),
                           board("0000000D", "0x1501", withIdentifier("0x0D", "0x04"))}),
                   header(4) + "   1) 0000000D v1.5.0.1 - 03E8 - 0D04\n" + "   2) 0000005C v1.5.0.1 - 03E8 - \n" +
                       "   3) 0000DEAD v1.5.0.1 - 03E8 - \n" + "   4) 0000000A v1.5.0.1 - 03E8 - 0A01\n" + kPrompt,
                   0},
        ReportCase{"NoisyBoard",
                   boards({board("00000015", "0x1501", withIdentifier("0x33", "0x1A") + ", \"faults\": {\"noise\": true}")}),
                   header(1) + "   1) 00000015 v1.5.0.1 - 03E8 - 331A\n" + kPrompt, 0}),
    [](const ::testing::TestParamInfo<ReportCase>& info) { return info.param.name; });

TEST(ConsoleReportStartUp, FrameworkThatCannotStartEndsWithCodeOne) {
    const test_support::ChildResult result =
        runUtility(boards({board("00001F3C", "0x1501")}), kUtilityWithoutApplication);
    EXPECT_EQ(result.output, "Fatal Error: MFC initialization failed\n" + kPrompt);
    EXPECT_EQ(result.exitCode, 1);
}

}  // namespace
