// Controllers over simulated boards: the library opened on them, a controller per
// board, and what crossed the wire on pipe 1.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "CVantrelController.h"
#include "library_state.h"
#include "simulated_boards.h"
#include "stored_reports.h"

namespace controller_test {

using board_simulator::Report;

inline constexpr BYTE kModeReport = 0x01;
inline constexpr BYTE kWriteRequest = 0x02;
inline constexpr BYTE kReadRequest = 0x03;

inline const char* const kI2CModeSuffix = "{42B78B09-C529-42c0-B5C5-8D9C65ADEE24}";

// Writes two bytes into an EEPROM device through the chip, as a programming tool
// would: an I2C write of the address byte, the memory address and the data.
inline ::testing::AssertionResult programEeprom(CVantrelController& controller, int device, BYTE address,
                                                BYTE first, BYTE second) {
    if (!controller.SetI2CMode(true)) return ::testing::AssertionFailure() << "mode not switched on";
    const BYTE request[8] = {0x02, 0x84, static_cast<BYTE>(0xA0 + 2 * (device - 1)), address, first, second, 0, 0};
    BYTE answer[8] = {};
    const int written = controller.WriteI2C(request);
    const int answered = written == 0 ? controller.ReadI2CResponse(answer) : written;
    controller.SetI2CMode(false);
    if (answered != 0) return ::testing::AssertionFailure() << "transfer result " << answered;
    return ::testing::AssertionSuccess();
}

class ControllerTest : public ::testing::Test {
protected:
    void open(std::vector<board_simulator::BoardDescription> descriptions) {
        boards = std::make_unique<test_support::SimulatedBoards>(std::move(descriptions));
        ASSERT_NE(OpenAllDevices(), nullptr);
    }
    // A controller of the board with the handle at this 1-based index.
    std::unique_ptr<CVantrelController> controllerAt(DWORD index) {
        return std::make_unique<CVantrelController>(ClaimedDeviceAt(index));
    }
    void TearDown() override {
        CloseAllDevices(nullptr);
        boards.reset();
    }

    board_simulator::Simulator& simulator() { return boards->simulator(); }
    std::vector<Report> received(std::size_t board = 0) { return simulator().received(board, board_simulator::kPipe1); }
    // The I2C requests (reports 0x02 and 0x03) the board received.
    std::size_t i2cRequests(std::size_t board = 0) {
        std::size_t requests = 0;
        for (const Report& report : received(board)) {
            if (report[0] == kWriteRequest || report[0] == kReadRequest) ++requests;
        }
        return requests;
    }
    // The board's I2C mode once the reports already written have reached it: the
    // board takes them on its own threads.
    bool settledI2cMode(std::size_t board = 0) {
        for (;;) {
            const std::size_t seen = received(board).size();
            Sleep(50);
            if (received(board).size() == seen) return simulator().i2cMode(board);
        }
    }
    void send(const Report& report, std::size_t board = 0) {
        simulator().sendReport(board, board_simulator::kPipe1, report);
    }

    std::unique_ptr<test_support::SimulatedBoards> boards;
};

}  // namespace controller_test
