// EEPROM images for simulated boards: blank (0xFF) but for the bytes written.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "simulated_boards.h"

namespace controller_test {

using EepromWrites = std::vector<std::pair<std::uint8_t, std::vector<std::uint8_t>>>;

inline board_simulator::EepromContent eepromImage(const EepromWrites& writes) {
    board_simulator::EepromContent image;
    image.fill(0xFF);
    for (const auto& [address, bytes] : writes) {
        for (std::size_t i = 0; i < bytes.size(); ++i) image[(address + i) % image.size()] = bytes[i];
    }
    return image;
}

inline board_simulator::BoardDescription boardWithImage(const std::string& serial, const EepromWrites& writes) {
    board_simulator::BoardDescription board = test_support::boardWithSerial(serial);
    board.eeproms[1] = eepromImage(writes);
    return board;
}

}  // namespace controller_test
