// Board descriptions: what a simulated board is and how it misbehaves. The JSON
// form is the simulator's public interface:
//
//   {"boards": [{"vendor_id": "0x07C0", "product_id": "0x03E8", "revision": "0x1501",
//                "serial": "00001F3C",
//                "eeprom": {"1": {"0x80": ["0x33", "0x1A"], "0x65": [1, 0]}},
//                "faults": {"unplug_after_reports": 12, "noise": true}}]}
//
// Numbers are JSON numbers or "0x" texts; object keys that are numbers (EEPROM
// device numbers and start addresses) may also be decimal texts.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace board_simulator {

inline constexpr std::size_t kEepromBytes = 256;
inline constexpr unsigned kEepromDevices = 8;  // device numbers 1 to 8, bus addresses 0x50 to 0x57
using EepromContent = std::array<std::uint8_t, kEepromBytes>;

struct Faults {
    // The board disappears as soon as it has received this many reports on pipe 1;
    // the last of them gets no answer.
    std::optional<unsigned> unplugAfterReports;
    // The board answers this many reports on pipe 1 and none after them; it keeps
    // taking reports without error.
    std::optional<unsigned> silentAfterReports;
    bool noise = false;        // before each answer: reports 0x00, 0x0C, 0x18 and 0x07
    unsigned latencyMs = 0;    // delay before each answer
    bool exclusive = false;    // read and write opens are refused; query opens work
    bool serialQueryFails = false;     // the board has no serial number string
    bool serialEqualsString0 = false;  // its serial number string is the language table
    unsigned interfaces = 2;   // 1: pipe 0 only; 3: a second special-mode interface besides
    bool samePipe = false;     // pipe 0 has pipe 1's 8-byte reports
    bool shortReports = false; // reports the board sends stop after their last meaningful byte
};

struct BoardDescription {
    std::uint16_t vendorId = 0x07C0;
    std::uint16_t productId = 0x03E8;
    std::uint16_t revision = 0x0100;
    std::string serial;  // empty: the board has none
    // Present EEPROMs by device number; unwritten bytes read 0xFF. Without an
    // "eeprom" entry, device 1 is present and blank.
    std::map<unsigned, EepromContent> eeproms;
    Faults faults;
};

// Bad input: the message names the place, e.g. "boards[1].faults.latency_ms: ...".
class DescriptionError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

BoardDescription defaultBoard();

// Parses a description text; `source` names it in error messages.
std::vector<BoardDescription> parseBoardDescriptions(const std::string& text, const std::string& source);
std::vector<BoardDescription> loadBoardDescriptions(const std::string& path);

}  // namespace board_simulator
