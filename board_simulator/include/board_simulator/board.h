// The model of a simulated board, independent of how its reports travel: its HID
// interfaces, its interface chip with the I2C special mode, and the I2C bus with
// up to eight EEPROMs.
//
// Reports are in Windows form: byte 0 is the report ID, 0 on an interface that
// does not number its reports.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "board_simulator/description.h"

namespace board_simulator {

using Report = std::vector<std::uint8_t>;

inline constexpr std::size_t kPipe0ReportBytes = 5;        // unnumbered: ID 0 and 4 bytes
inline constexpr std::size_t kSpecialModeReportBytes = 8;  // numbered: ID and 7 bytes

// Special-mode report IDs on pipe 1.
inline constexpr std::uint8_t kI2cModeReport = 0x01;   // byte 1: 1 on, 0 off; no answer
inline constexpr std::uint8_t kI2cWriteReport = 0x02;  // byte 1: 0x80 start flag + count, then the bytes
inline constexpr std::uint8_t kI2cReadReport = 0x03;   // byte 1: count 1 to 6, byte 2: address byte
inline constexpr std::uint8_t kI2cFailed = 0x80;       // in byte 1 of an answer
inline constexpr std::size_t kI2cMaxBytes = 6;
// What a noisy board sends before each answer: reports of other kinds.
inline constexpr std::uint8_t kNoiseReports[] = {0x00, 0x0C, 0x18, 0x07};

// Every interface is one vendor-defined application collection.
inline constexpr std::uint16_t kVendorUsagePage = 0xFF00;

// One HID interface of the board. Interface 0 is pipe 0, interface 1 pipe 1;
// interface 2 exists only on a board with three interfaces.
struct InterfaceLayout {
    bool numbered;
    std::size_t reportBytes;  // input and output report length in Windows terms
    std::uint8_t usage;       // of the collection, on kVendorUsagePage
    std::vector<std::uint8_t> reportDescriptor;
};
std::vector<InterfaceLayout> interfacesOf(const BoardDescription& board);

// The serial number string the board reports: the description's, none when its
// query fails, or the language table (U+0409) when it equals string 0.
std::string presentedSerial(const BoardDescription& board);

// EEPROMs at bus addresses 0x50 to 0x57 (device numbers 1 to 8). A write's first
// data byte sets the address pointer, later ones are stored from it; reads return
// bytes from the pointer. The pointer wraps at 256.
class I2cBus {
public:
    explicit I2cBus(const std::map<unsigned, EepromContent>& eeproms);

    // A start condition with the address byte; false when no device acknowledges.
    bool start(std::uint8_t addressByte);
    // A byte to the device addressed by the last start; false without one.
    bool write(std::uint8_t byte);
    std::uint8_t read();
    const EepromContent* eeprom(unsigned device) const;  // null when absent

private:
    struct Eeprom {
        EepromContent content;
        std::uint8_t pointer = 0;
    };
    std::map<unsigned, Eeprom> devices_;
    Eeprom* selected_ = nullptr;
    bool pointerExpected_ = false;
};

class Chip {
public:
    explicit Chip(const std::map<unsigned, EepromContent>& eeproms) : bus_(eeproms) {}

    // Acts on a special-mode report; the answer, if the report gets one.
    std::optional<Report> handle(const Report& request);
    bool i2cMode() const { return i2cMode_; }
    const I2cBus& bus() const { return bus_; }

private:
    Report i2cWrite(const Report& request);
    Report i2cRead(const Report& request);

    I2cBus bus_;
    bool i2cMode_ = false;
};

class Board {
public:
    explicit Board(BoardDescription description);

    struct Reaction {
        std::vector<Report> sent;  // on pipe 1, in this order
        bool unplug = false;       // the board disappears now, before sending anything
    };
    Reaction receive(unsigned interface, const Report& report);

    const BoardDescription& description() const { return description_; }
    Faults& faults() { return description_.faults; }
    const Chip& chip() const { return chip_; }

private:
    Report shortened(Report report, std::size_t meaningfulBytes) const;

    BoardDescription description_;
    Chip chip_;
    unsigned specialModeReports_ = 0;
};

}  // namespace board_simulator
