// Simulated boards in this process, with the stand-in pointed at them.
#pragma once

#include <cstdlib>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "board_simulator/linux_device_root.h"
#include "board_simulator/simulator.h"

namespace hid_test {

class SimulatedBoards {
public:
    explicit SimulatedBoards(std::vector<board_simulator::BoardDescription> boards)
        : simulator(std::move(boards), std::make_unique<board_simulator::LinuxDeviceRoot>()) {
        for (const auto& [name, value] : simulator.environment()) {
            setenv(name.c_str(), value.c_str(), 1);
            root = value;
            variable = name;
        }
    }
    ~SimulatedBoards() { unsetenv(variable.c_str()); }

    board_simulator::Simulator simulator;
    std::string root;
    std::string variable;
};

inline board_simulator::BoardDescription boardWithSerial(const std::string& serial) {
    board_simulator::BoardDescription board = board_simulator::defaultBoard();
    board.serial = serial;
    return board;
}

}  // namespace hid_test
