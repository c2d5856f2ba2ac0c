// vantrel-sim on Linux: a device root for the stand-in, signals passed on to the
// command.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <iostream>

#include "board_simulator/linux_device_root.h"
#include "host.h"

extern char** environ;

namespace vantrel_sim {
namespace {

constexpr int kSignalBase = 128;

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

}  // namespace

std::unique_ptr<board_simulator::Transport> makeTransport() {
    return std::make_unique<board_simulator::LinuxDeviceRoot>();
}

// Held back in every thread, and taken by sigwaitinfo on the main one.
void prepareSignals() {
    const sigset_t signals = handledSignals();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

int runCommand(const board_simulator::Simulator& simulator, char** command) {
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

int serve(const board_simulator::Simulator& simulator) {
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

}  // namespace vantrel_sim
