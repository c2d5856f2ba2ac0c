// The same simulated boards seen from a second process: enumeration and a report
// exchange in the child, the traffic recorded by the simulator in this one.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <set>
#include <sstream>

#include "hid_walk.h"
#include "simulated_boards.h"

namespace {

using board_simulator::kPipe1;
using board_simulator::Report;
using hid_test::boardWithSerial;

struct ChildRun {
    int exitCode;
    std::vector<std::string> lines;
};

ChildRun runProbe(const std::string& arguments) {
    ChildRun run{-1, {}};
    FILE* output = popen((std::string(HID_PROBE_PATH) + " " + arguments).c_str(), "r");
    if (output == nullptr) return run;
    char line[1024];
    while (std::fgets(line, sizeof line, output) != nullptr) {
        std::string text(line);
        if (!text.empty() && text.back() == '\n') text.pop_back();
        run.lines.push_back(text);
    }
    const int status = pclose(output);
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

TEST(SecondProcess, SeesTheSameInterfacesAsThisOne) {
    board_simulator::BoardDescription second = boardWithSerial("00002A01");
    second.productId = 0x03EA;
    second.faults.exclusive = true;
    board_simulator::BoardDescription third = boardWithSerial("00003B02");
    third.faults.serialEqualsString0 = true;
    hid_test::SimulatedBoards boards({boardWithSerial("00001F3C"), second, third});
    hid_test::HidFunctions hid;
    ASSERT_TRUE(hid.bind());

    std::vector<std::string> expected;
    for (const hid_test::FoundInterface& entry : hid_test::walkHidInterfaces(hid)) {
        char line[512];
        std::snprintf(line, sizeof line, "%s %04X %04X %04X %u %u %s %s", entry.path.c_str(),
                      entry.attributes.VendorID, entry.attributes.ProductID, entry.attributes.VersionNumber,
                      entry.caps.InputReportByteLength, entry.caps.OutputReportByteLength,
                      entry.openedReadWrite ? "rw" : "query", hid_test::serialText(entry).c_str());
        expected.push_back(line);
    }
    ASSERT_EQ(expected.size(), 6u);
    EXPECT_NE(expected[2].find(" query "), std::string::npos) << "the exclusive board answers queries only";
    EXPECT_EQ(expected[4].back(), ' ') << "a serial equal to string 0 is cleared";

    const ChildRun run = runProbe("");
    ASSERT_EQ(run.exitCode, 0);
    ASSERT_EQ(run.lines.size(), expected.size());
    std::vector<std::string> groups;
    for (std::size_t i = 0; i < run.lines.size(); ++i) {
        // The group key is the child's own DevInst numbering; compare everything else.
        std::istringstream fields(run.lines[i]);
        std::string path, vendor, product, revision, input, output, access, group, serial;
        fields >> path >> vendor >> product >> revision >> input >> output >> access >> group >> serial;
        EXPECT_EQ(path + " " + vendor + " " + product + " " + revision + " " + input + " " + output + " " + access +
                      " " + serial,
                  expected[i]);
        groups.push_back(group);
    }
    EXPECT_EQ(groups[0], groups[1]);
    EXPECT_EQ(groups[2], groups[3]);
    EXPECT_EQ(groups[4], groups[5]);
    EXPECT_EQ(std::set<std::string>(groups.begin(), groups.end()).size(), 3u);
}

TEST(SecondProcess, PendingReadEndsWhenTheBoardVanishes) {
    hid_test::SimulatedBoards boards({boardWithSerial("00001F3C")});
    FILE* output = popen((std::string(HID_PROBE_PATH) + " vanish").c_str(), "r");
    ASSERT_NE(output, nullptr);
    std::vector<std::string> lines;
    char line[1024];
    while (std::fgets(line, sizeof line, output) != nullptr) {
        lines.emplace_back(line);
        if (lines.back() == "pending\n") boards.simulator.unplug(0);
    }
    const int status = pclose(output);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "error 1167\n");
}

TEST(SecondProcess, ExchangesReportsThatThisProcessRecords) {
    board_simulator::BoardDescription board = boardWithSerial("00001F3C");
    board.eeproms[1][0x80] = 0x33;
    board.eeproms[1][0x81] = 0x1A;
    hid_test::SimulatedBoards boards({board});
    // A handle of this process reads pipe 1 alongside the child's.
    HANDLE watcher = hid_test::openPipe(boards.root + "/dev/hidraw1", GENERIC_READ);
    ASSERT_NE(watcher, INVALID_HANDLE_VALUE);

    const ChildRun run = runProbe("exchange");
    ASSERT_EQ(run.exitCode, 0);
    ASSERT_EQ(run.lines.size(), 4u);
    EXPECT_EQ(run.lines[2], "answer 02 02 00 00 00 00 00 00");
    EXPECT_EQ(run.lines[3], "answer 03 02 33 1A 00 00 00 00");

    EXPECT_EQ(boards.simulator.received(0, kPipe1),
              (std::vector<Report>{{0x01, 1, 0, 0, 0, 0, 0, 0}, {0x02, 0x82, 0xA0, 0x80, 0, 0, 0, 0},
                                   {0x03, 2, 0xA1, 0, 0, 0, 0, 0}}));
    EXPECT_EQ(hid_test::readReport(watcher, 8).data, (std::vector<unsigned char>{0x02, 0x02, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(hid_test::readReport(watcher, 8).data, (std::vector<unsigned char>{0x03, 0x02, 0x33, 0x1A, 0, 0, 0, 0}));
    CloseHandle(watcher);
}

}  // namespace
