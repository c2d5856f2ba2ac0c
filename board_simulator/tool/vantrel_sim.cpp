// vantrel-sim: serves simulated boards to other processes.
//
//   vantrel-sim BOARDS.json -- COMMAND [ARGS...]
//       serves the boards, runs COMMAND with the system pointed at them and exits
//       with COMMAND's exit code (on Linux 128 + the signal when a signal ended it;
//       127 when it cannot be run);
//   vantrel-sim BOARDS.json --serve
//       serves the boards until interrupted, after printing the line that points a
//       shell at them.
//
// Bad input or a simulator that cannot start: one line on standard error, exit code 2.
#include <iostream>
#include <string>
#include <vector>

#include "host.h"

namespace vantrel_sim {

int failure(const std::string& message, int code) {
    std::string line = message;
    for (char& c : line) {
        if (c == '\n' || c == '\r') c = ' ';
    }
    std::cerr << "vantrel-sim: " << line << std::endl;
    return code;
}

}  // namespace vantrel_sim

int main(int argc, char** argv) {
    using namespace board_simulator;
    using namespace vantrel_sim;
    if (argc < 3) {
        return failure("usage: vantrel-sim BOARDS.json -- COMMAND [ARGS...] | vantrel-sim BOARDS.json --serve",
                       kBadInput);
    }
    const std::string mode = argv[2];
    const bool serving = mode == "--serve" && argc == 3;
    if (!serving && !(mode == "--" && argc >= 4)) {
        return failure("usage: vantrel-sim BOARDS.json -- COMMAND [ARGS...] | vantrel-sim BOARDS.json --serve",
                       kBadInput);
    }

    std::vector<BoardDescription> boards;
    try {
        boards = loadBoardDescriptions(argv[1]);
    } catch (const DescriptionError& error) {
        return failure(error.what(), kBadInput);
    }

    prepareSignals();
    try {
        Simulator simulator(std::move(boards), makeTransport());
        return serving ? serve(simulator) : runCommand(simulator, argv + 3);
    } catch (const std::exception& error) {
        return failure(error.what(), kBadInput);
    }
}
