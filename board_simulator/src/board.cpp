// The board model: interfaces, chip, I2C bus.
#include "board_simulator/board.h"

namespace board_simulator {
namespace {

constexpr std::uint8_t kFirstEepromAddress = 0x50;
constexpr unsigned kPipe1 = 1;

// A vendor-defined application collection with one input and one output field of
// `dataBytes` bytes, under report IDs 1 to 3 when numbered.
std::vector<std::uint8_t> vendorDescriptor(std::uint8_t usage, bool numbered, std::size_t dataBytes) {
    std::vector<std::uint8_t> bytes = {
        0x06, kVendorUsagePage & 0xFF, kVendorUsagePage >> 8,  // Usage Page
        0x09, usage,       // Usage
        0xA1, 0x01,        // Collection (Application)
        0x15, 0x00,        //   Logical Minimum (0)
        0x26, 0xFF, 0x00,  //   Logical Maximum (255)
        0x75, 0x08,        //   Report Size (8)
        0x95, static_cast<std::uint8_t>(dataBytes),  // Report Count
    };
    const std::vector<std::uint8_t> fields = {
        0x09, 0x01, 0x81, 0x02,  // Usage, Input (Data, Variable, Absolute)
        0x09, 0x02, 0x91, 0x02,  // Usage, Output (Data, Variable, Absolute)
    };
    const std::vector<std::uint8_t> ids = numbered ? std::vector<std::uint8_t>{kI2cModeReport, kI2cWriteReport, kI2cReadReport}
                                                   : std::vector<std::uint8_t>{0};
    for (std::uint8_t id : ids) {
        if (id != 0) bytes.insert(bytes.end(), {0x85, id});  // Report ID
        bytes.insert(bytes.end(), fields.begin(), fields.end());
    }
    bytes.push_back(0xC0);  // End Collection
    return bytes;
}

InterfaceLayout pipe0Layout() { return {false, kPipe0ReportBytes, 1, vendorDescriptor(1, false, kPipe0ReportBytes - 1)}; }

InterfaceLayout specialModeLayout(std::uint8_t usage) {
    return {true, kSpecialModeReportBytes, usage, vendorDescriptor(usage, true, kSpecialModeReportBytes - 1)};
}

Report blankReport(std::uint8_t id) {
    Report report(kSpecialModeReportBytes, 0);
    report[0] = id;
    return report;
}

}  // namespace

std::vector<InterfaceLayout> interfacesOf(const BoardDescription& board) {
    std::vector<InterfaceLayout> layouts;
    layouts.push_back(board.faults.samePipe ? specialModeLayout(1) : pipe0Layout());
    if (board.faults.interfaces >= 2) layouts.push_back(specialModeLayout(2));
    if (board.faults.interfaces >= 3) layouts.push_back(specialModeLayout(3));
    return layouts;
}

std::string presentedSerial(const BoardDescription& board) {
    if (board.faults.serialQueryFails) return {};
    if (board.faults.serialEqualsString0) return "\xD0\x89";  // U+0409, the US English language ID
    return board.serial;
}

I2cBus::I2cBus(const std::map<unsigned, EepromContent>& eeproms) {
    for (const auto& [device, content] : eeproms) devices_[device].content = content;
}

bool I2cBus::start(std::uint8_t addressByte) {
    const unsigned busAddress = addressByte >> 1;
    auto found = busAddress >= kFirstEepromAddress ? devices_.find(busAddress - kFirstEepromAddress + 1) : devices_.end();
    selected_ = found == devices_.end() ? nullptr : &found->second;
    pointerExpected_ = true;
    return selected_ != nullptr;
}

bool I2cBus::write(std::uint8_t byte) {
    if (selected_ == nullptr) return false;
    if (pointerExpected_) {
        selected_->pointer = byte;
        pointerExpected_ = false;
    } else {
        selected_->content[selected_->pointer++] = byte;
    }
    return true;
}

std::uint8_t I2cBus::read() {
    if (selected_ == nullptr) return 0xFF;
    pointerExpected_ = false;
    return selected_->content[selected_->pointer++];
}

const EepromContent* I2cBus::eeprom(unsigned device) const {
    auto found = devices_.find(device);
    return found == devices_.end() ? nullptr : &found->second.content;
}

std::optional<Report> Chip::handle(const Report& received) {
    // A report shorter than the interface's reads as if padded with zeros.
    Report request = received;
    if (request.size() < kSpecialModeReportBytes) request.resize(kSpecialModeReportBytes, 0);
    switch (request[0]) {
        case kI2cModeReport:
            i2cMode_ = request[1] != 0;
            return std::nullopt;
        case kI2cWriteReport:
            if (!i2cMode_) return std::nullopt;
            return i2cWrite(request);
        case kI2cReadReport:
            if (!i2cMode_) return std::nullopt;
            return i2cRead(request);
        default:
            return std::nullopt;
    }
}

// Answer byte 1: the bytes acknowledged, the address byte included; bit 7 when the
// transfer failed. Without the start flag the bytes go to the device addressed last.
Report Chip::i2cWrite(const Report& request) {
    Report answer = blankReport(kI2cWriteReport);
    const bool start = (request[1] & 0x80) != 0;
    const std::size_t count = request[1] & 0x7F;
    if (count > kI2cMaxBytes || (start && count == 0)) {
        answer[1] = kI2cFailed;
        return answer;
    }
    std::size_t acknowledged = 0;
    bool failed = false;
    for (std::size_t i = 0; i < count && !failed; ++i) {
        const std::uint8_t byte = request[2 + i];
        failed = !(start && i == 0 ? bus_.start(byte) : bus_.write(byte));
        if (!failed) ++acknowledged;
    }
    answer[1] = static_cast<std::uint8_t>(acknowledged | (failed ? kI2cFailed : 0));
    return answer;
}

Report Chip::i2cRead(const Report& request) {
    Report answer = blankReport(kI2cReadReport);
    const std::size_t count = request[1];
    answer[1] = static_cast<std::uint8_t>(count & 0x7F);
    if (count < 1 || count > kI2cMaxBytes || !bus_.start(request[2])) {
        answer[1] |= kI2cFailed;
        return answer;
    }
    for (std::size_t i = 0; i < count; ++i) answer[2 + i] = bus_.read();
    return answer;
}

Board::Board(BoardDescription description) : description_(std::move(description)), chip_(description_.eeproms) {}

Report Board::shortened(Report report, std::size_t meaningfulBytes) const {
    if (description_.faults.shortReports && meaningfulBytes < report.size()) report.resize(meaningfulBytes);
    return report;
}

Board::Reaction Board::receive(unsigned interface, const Report& report) {
    Reaction reaction;
    if (interface != kPipe1) return reaction;  // pipe 0 and a third interface carry nothing the chip reads
    ++specialModeReports_;
    const Faults& faults = description_.faults;
    if (faults.unplugAfterReports && specialModeReports_ >= *faults.unplugAfterReports) {
        reaction.unplug = true;
        return reaction;
    }
    std::optional<Report> answer = chip_.handle(report);
    if (!answer) return reaction;
    if (faults.silentAfterReports && specialModeReports_ > *faults.silentAfterReports) return reaction;
    if (faults.noise) {
        for (std::uint8_t id : kNoiseReports) reaction.sent.push_back(shortened(blankReport(id), 2));
    }
    const std::size_t meaningful = (*answer)[0] == kI2cReadReport && ((*answer)[1] & kI2cFailed) == 0
                                       ? 2 + (*answer)[1]
                                       : 2;
    reaction.sent.push_back(shortened(std::move(*answer), meaningful));
    return reaction;
}

}  // namespace board_simulator
