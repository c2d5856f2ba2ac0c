#include "simulated_boards.h"

#include <ftw.h>
#include <stdlib.h>
#include <unistd.h>

#include <memory>
#include <thread>

namespace test_support {
namespace {

std::string isolatedRuntimeDirectory;

int removeEntry(const char* path, const struct stat*, int, FTW*) { return remove(path); }

void removeIsolatedRuntimeDirectory() {
    nftw(isolatedRuntimeDirectory.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
}

}  // namespace

void isolateNamedObjects() {
    if (!isolatedRuntimeDirectory.empty()) return;
    char pattern[] = "/tmp/vantrel-test-session-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return;
    isolatedRuntimeDirectory = pattern;
    setenv("XDG_RUNTIME_DIR", pattern, 1);
    atexit(removeIsolatedRuntimeDirectory);
}

SimulatedBoards::SimulatedBoards(std::vector<BoardDescription> boards)
    : simulator_(std::move(boards), std::make_unique<board_simulator::LinuxDeviceRoot>()) {
    isolateNamedObjects();
    for (const auto& [name, value] : simulator_.environment()) {
        const char* previous = getenv(name.c_str());
        savedEnvironment_.emplace_back(name, previous != nullptr ? std::optional<std::string>(previous) : std::nullopt);
        setenv(name.c_str(), value.c_str(), 1);
    }
}

SimulatedBoards::~SimulatedBoards() {
    for (const auto& [name, previous] : savedEnvironment_) {
        if (previous) {
            setenv(name.c_str(), previous->c_str(), 1);
        } else {
            unsetenv(name.c_str());
        }
    }
}

BoardDescription boardWithSerial(const std::string& serial) {
    BoardDescription board = board_simulator::defaultBoard();
    board.serial = serial;
    return board;
}

BoardDescription boardWithEeprom(const std::string& serial, std::uint8_t address, std::vector<std::uint8_t> bytes) {
    BoardDescription board = boardWithSerial(serial);
    auto [entry, created] = board.eeproms.try_emplace(1);
    if (created) entry->second.fill(0xFF);
    board_simulator::EepromContent& device1 = entry->second;
    for (std::size_t i = 0; i < bytes.size(); ++i) device1[(address + i) % device1.size()] = bytes[i];
    return board;
}

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds bound) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace test_support
