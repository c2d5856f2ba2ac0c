// What vantrel-sim does on its platform: the transport that serves the boards to
// the platform's processes, running a command beside them and serving until
// interrupted.
#pragma once

#include <memory>
#include <string>

#include "board_simulator/simulator.h"

namespace vantrel_sim {

inline constexpr int kBadInput = 2;
inline constexpr int kCannotRun = 127;

// One line on standard error, "vantrel-sim: " and the message; returns `code`.
int failure(const std::string& message, int code);

std::unique_ptr<board_simulator::Transport> makeTransport();

// Called before the simulator starts its threads.
void prepareSignals();

// Runs `command` (a null-terminated argument list) with the simulator's environment
// and returns its exit code.
int runCommand(const board_simulator::Simulator& simulator, char** command);

// Prints how to point a shell at the boards and serves them until interrupted.
int serve(const board_simulator::Simulator& simulator);

}  // namespace vantrel_sim
