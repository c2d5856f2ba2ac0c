// Several processes on one board: the shared record, the readout lock, and the
// utility started as other processes.
#include <memory>
#include <string>
#include <vector>

#include "child_process.h"
#include "controller_fixture.h"
#include "eeprom_image.h"

namespace {

using board_simulator::Report;
using controller_test::boardWithImage;
using controller_test::ControllerTest;

const std::string kUtility = VANTREL_UTILITY_PATH;
const std::string kLine = "   1) 00005EED v1.0.0. - 03E8 - 1234\n";

// The board's pipe-1 traffic is a sequence of readouts: the mode is switched on,
// I2C requests follow, the mode is switched off, and no readout starts inside
// another. Returns a description of the first violation, or nothing.
std::string firstInterleaving(const std::vector<Report>& received) {
    bool on = false;
    for (std::size_t i = 0; i < received.size(); ++i) {
        const Report& report = received[i];
        if (report[0] == 0x01 && report[1] == 1) {
            if (on) return "mode switched on again at report " + std::to_string(i);
            on = true;
        } else if (report[0] == 0x01) {
            if (!on) return "mode switched off while off at report " + std::to_string(i);
            on = false;
        } else if (!on) {
            return "I2C request outside a readout at report " + std::to_string(i);
        }
    }
    return on ? "mode left on" : "";
}

TEST_F(ControllerTest, AnotherProcessTakesThePublishedRecordWithoutTraffic) {
    open({boardWithImage("00005EED", {{0x80, {0x12, 0x34}}})});
    auto publisher = controllerAt(1);
    ASSERT_TRUE(publisher->ReadConfiguration(false));
    const std::size_t requests = i2cRequests();
    const test_support::ChildResult child = test_support::runChild({kUtility}, "k");
    EXPECT_EQ(child.exitCode, 0) << child.errors;
    EXPECT_NE(child.output.find(kLine), std::string::npos) << child.output;
    EXPECT_EQ(i2cRequests(), requests);
}

TEST_F(ControllerTest, ProcessesStartedTogetherReadOneAfterAnother) {
    board_simulator::BoardDescription board = boardWithImage("00005EED", {{0x80, {0x12, 0x34}}});
    board.faults.latencyMs = 5;
    open({board});
    CloseAllDevices(nullptr);  // only the children use the board
    std::vector<std::unique_ptr<test_support::RunningChild>> children;
    for (int i = 0; i < 4; ++i) children.push_back(std::make_unique<test_support::RunningChild>(std::vector<std::string>{kUtility}, "k"));
    // One more starts in the middle of a readout.
    ASSERT_TRUE(simulator().waitForReceived(0, board_simulator::kPipe1, 4, std::chrono::seconds(30)));
    children.push_back(std::make_unique<test_support::RunningChild>(std::vector<std::string>{kUtility}, "k"));
    for (auto& child : children) {
        const test_support::ChildResult result = child->finish();
        EXPECT_EQ(result.exitCode, 0) << result.errors;
        EXPECT_NE(result.output.find(kLine), std::string::npos) << result.output;
    }
    // A child's last report may still be on its way to the board after the child ended.
    const Report modeOff{0x01, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_TRUE(test_support::eventually([&] {
        const std::vector<Report> all = received();
        return !all.empty() && all.back() == modeOff;
    }));
    EXPECT_EQ(firstInterleaving(received()), "");
    EXPECT_GT(i2cRequests(), 0u);
}

}  // namespace
