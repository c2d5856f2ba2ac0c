// Simulated boards for the tests: a simulator on a temporary device root, with the
// stand-in of this process pointed at it for the fixture's lifetime.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "board_simulator/linux_device_root.h"
#include "board_simulator/simulator.h"

namespace test_support {

using board_simulator::BoardDescription;

class SimulatedBoards {
public:
    explicit SimulatedBoards(std::vector<BoardDescription> boards);
    ~SimulatedBoards();
    SimulatedBoards(const SimulatedBoards&) = delete;
    SimulatedBoards& operator=(const SimulatedBoards&) = delete;

    board_simulator::Simulator& simulator() { return simulator_; }
    // The environment that points another process at these boards.
    std::vector<std::pair<std::string, std::string>> environment() const { return simulator_.environment(); }

private:
    board_simulator::Simulator simulator_;
    std::vector<std::pair<std::string, std::optional<std::string>>> savedEnvironment_;
};

// Tests run side by side in several processes and name their boards alike. Each
// test process, with the processes it starts, gets a namespace of named objects of
// its own, as if each ran in a session of its own. SimulatedBoards does this.
void isolateNamedObjects();

// A board with a serial number and otherwise the simulator's defaults (a blank
// EEPROM device 1).
BoardDescription boardWithSerial(const std::string& serial);
// The same, with bytes written into EEPROM device 1 from the address given.
BoardDescription boardWithEeprom(const std::string& serial, std::uint8_t address, std::vector<std::uint8_t> bytes);

// Polls `condition` every millisecond until it holds or the bound passes.
bool eventually(const std::function<bool()>& condition,
                std::chrono::milliseconds bound = std::chrono::milliseconds(10000));

}  // namespace test_support
