// vantrel-sim: serves simulated boards to other processes.
//
//   vantrel-sim BOARDS.json -- COMMAND [ARGS...]
//       serves the boards, runs COMMAND with the stand-in pointed at them and exits
//       with COMMAND's exit code (128 + the signal when a signal ended it, 127 when
//       it cannot be run);
//   vantrel-sim BOARDS.json --serve
//       serves the boards until interrupted, after printing the line that points a
//       shell at them.
//
// Bad input or a simulator that cannot start: one line on standard error, exit code 2.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "board_simulator/linux_device_root.h"
#include "board_simulator/simulator.h"

extern char** environ;

namespace {

using namespace board_simulator;

constexpr int kBadInput = 2;
constexpr int kCannotRun = 127;
constexpr int kSignalBase = 128;

int failure(const std::string& message, int code) {
    std::string line = message;
    for (char& c : line) {
        if (c == '\n' || c == '\r') c = ' ';
    }
    std::cerr << "vantrel-sim: " << line << std::endl;
    return code;
}

int usage() {
    return failure("usage: vantrel-sim BOARDS.json -- COMMAND [ARGS...] | vantrel-sim BOARDS.json --serve",
                   kBadInput);
}

std::string shellQuoted(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

sigset_t handledSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGCHLD}) sigaddset(&signals, signal);
    return signals;
}

int runCommand(const Simulator& simulator, char** command) {
    std::vector<std::string> variables;
    for (const auto& [name, value] : simulator.environment()) variables.push_back(name + "=" + value);
    std::vector<char*> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        bool replaced = false;
        for (const auto& [name, value] : simulator.environment()) {
            replaced = replaced || std::strncmp(*entry, (name + "=").c_str(), name.size() + 1) == 0;
        }
        if (!replaced) environment.push_back(*entry);
    }
    for (std::string& variable : variables) environment.push_back(variable.data());
    environment.push_back(nullptr);

    // The command starts with the signals this process holds back unblocked and at
    // their defaults.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    const sigset_t defaults = handledSignals();
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t child = 0;
    const int spawned = posix_spawnp(&child, command[0], nullptr, &attributes, command, environment.data());
    posix_spawnattr_destroy(&attributes);
    if (spawned != 0) return failure(std::string("cannot run ") + command[0] + ": " + std::strerror(spawned), kCannotRun);

    const sigset_t signals = handledSignals();
    for (;;) {
        siginfo_t info{};
        if (sigwaitinfo(&signals, &info) < 0) continue;
        if (info.si_signo != SIGCHLD) {
            // A signal from the terminal reached the command too; one sent to this
            // process alone is passed on.
            if (info.si_code == SI_USER || info.si_code == SI_QUEUE) kill(child, info.si_signo);
            continue;
        }
        int status = 0;
        const pid_t ended = waitpid(child, &status, WNOHANG);
        if (ended != child) continue;
        if (WIFEXITED(status)) return WEXITSTATUS(status);
        return kSignalBase + WTERMSIG(status);
    }
}

int serve(const Simulator& simulator) {
    for (const auto& [name, value] : simulator.environment()) {
        std::cout << "export " << name << "=" << shellQuoted(value) << std::endl;
    }
    std::cerr << "vantrel-sim: serving " << simulator.boardCount() << " board(s); interrupt to stop" << std::endl;
    sigset_t stops;
    sigemptyset(&stops);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&stops, signal);
    while (sigwaitinfo(&stops, nullptr) < 0) {
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return usage();
    const std::string mode = argv[2];
    const bool serving = mode == "--serve" && argc == 3;
    if (!serving && !(mode == "--" && argc >= 4)) return usage();

    std::vector<BoardDescription> boards;
    try {
        boards = loadBoardDescriptions(argv[1]);
    } catch (const DescriptionError& error) {
        return failure(error.what(), kBadInput);
    }

    // Held back in every thread, and taken by sigwaitinfo on this one.
    const sigset_t signals = handledSignals();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    try {
        Simulator simulator(std::move(boards), std::make_unique<LinuxDeviceRoot>());
        return serving ? serve(simulator) : runCommand(simulator, argv + 3);
    } catch (const std::exception& error) {
        return failure(error.what(), kBadInput);
    }
}
