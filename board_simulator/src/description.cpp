// Reading board descriptions from JSON, with errors that name the place.
#include "board_simulator/description.h"

#include <fstream>
#include <functional>
#include <limits>
#include <nlohmann/json.hpp>
#include <sstream>

namespace board_simulator {
namespace {

using Json = nlohmann::json;

constexpr unsigned kMaxLatencyMs = 60000;
constexpr std::size_t kMaxSerialUnits = 126;  // the longest USB string descriptor

[[noreturn]] void fail(const std::string& place, const std::string& problem) {
    throw DescriptionError(place + ": " + problem);
}

std::string shown(const Json& value) {
    std::string text = value.dump();
    return text.size() > 40 ? text.substr(0, 37) + "..." : text;
}

std::optional<std::uint64_t> parseNumberText(const std::string& text, bool decimalAllowed) {
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    if (!hex && !decimalAllowed) return std::nullopt;
    const std::string digits = hex ? text.substr(2) : text;
    if (digits.empty() || digits.size() > 16) return std::nullopt;
    std::uint64_t value = 0;
    for (char c : digits) {
        unsigned digit;
        if (c >= '0' && c <= '9') digit = static_cast<unsigned>(c - '0');
        else if (hex && c >= 'a' && c <= 'f') digit = static_cast<unsigned>(c - 'a' + 10);
        else if (hex && c >= 'A' && c <= 'F') digit = static_cast<unsigned>(c - 'A' + 10);
        else return std::nullopt;
        const std::uint64_t base = hex ? 16 : 10;
        if (value > (std::numeric_limits<std::uint64_t>::max() - digit) / base) return std::nullopt;
        value = value * base + digit;
    }
    return value;
}

std::uint64_t inRange(std::uint64_t value, std::uint64_t low, std::uint64_t high, const std::string& place,
                      const std::string& shownValue) {
    if (value < low || value > high) {
        fail(place, "out of range (" + std::to_string(low) + " to " + std::to_string(high) + "): " + shownValue);
    }
    return value;
}

// A JSON number or a "0x" text, within [low, high].
std::uint64_t numberAt(const Json& value, std::uint64_t low, std::uint64_t high, const std::string& place) {
    if (value.is_number_unsigned()) return inRange(value.get<std::uint64_t>(), low, high, place, shown(value));
    if (value.is_number_integer()) {
        fail(place, "out of range (" + std::to_string(low) + " to " + std::to_string(high) + "): " + shown(value));
    }
    if (value.is_string()) {
        if (std::optional<std::uint64_t> parsed = parseNumberText(value.get<std::string>(), false)) {
            return inRange(*parsed, low, high, place, shown(value));
        }
    }
    fail(place, "expected a whole number or a \"0x\" text, got " + shown(value));
}

// An object key that stands for a number: decimal or "0x" text.
std::uint64_t keyNumber(const std::string& key, std::uint64_t low, std::uint64_t high, const std::string& place) {
    std::optional<std::uint64_t> parsed = parseNumberText(key, true);
    if (!parsed) fail(place, "expected a number as key, got \"" + key + "\"");
    return inRange(*parsed, low, high, place, "\"" + key + "\"");
}

bool flagAt(const Json& value, const std::string& place) {
    if (!value.is_boolean()) fail(place, "expected true or false, got " + shown(value));
    return value.get<bool>();
}

const Json& objectAt(const Json& value, const std::string& place) {
    if (!value.is_object()) fail(place, "expected an object, got " + shown(value));
    return value;
}

// Calls the handler of each field; a field without a handler is an error.
void forEachField(const Json& object, const std::string& place,
                  const std::map<std::string, std::function<void(const Json&, const std::string&)>>& handlers) {
    for (const auto& [key, value] : objectAt(object, place.empty() ? "top level" : place).items()) {
        const std::string fieldPlace = place.empty() ? key : place + "." + key;
        auto handler = handlers.find(key);
        if (handler == handlers.end()) fail(fieldPlace, "unknown field");
        handler->second(value, fieldPlace);
    }
}

std::size_t utf16Units(const std::string& utf8) {
    std::size_t units = 0;
    for (unsigned char c : utf8) {
        if ((c & 0xC0) != 0x80) units += c >= 0xF0 ? 2 : 1;
    }
    return units;
}

std::string serialAt(const Json& value, const std::string& place) {
    if (!value.is_string()) fail(place, "expected a text, got " + shown(value));
    const std::string serial = value.get<std::string>();
    if (serial.empty()) fail(place, "empty; leave the field out for a board without serial number");
    for (unsigned char c : serial) {
        if (c < 0x20 || c == 0x7F) fail(place, "control character in " + shown(value));
    }
    if (utf16Units(serial) > kMaxSerialUnits) fail(place, "longer than 126 characters");
    return serial;
}

EepromContent eepromAt(const Json& value, const std::string& place) {
    EepromContent content;
    content.fill(0xFF);
    std::array<bool, kEepromBytes> written{};
    for (const auto& [key, bytes] : objectAt(value, place).items()) {
        const std::string rangePlace = place + "." + key;
        const auto start = static_cast<std::size_t>(keyNumber(key, 0, kEepromBytes - 1, rangePlace));
        if (!bytes.is_array()) fail(rangePlace, "expected a list of bytes, got " + shown(bytes));
        if (start + bytes.size() > kEepromBytes) fail(rangePlace, "bytes run past the end of the 256-byte EEPROM");
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            const std::string bytePlace = rangePlace + "[" + std::to_string(i) + "]";
            if (written[start + i]) fail(bytePlace, "overlaps another range of this EEPROM");
            written[start + i] = true;
            content[start + i] = static_cast<std::uint8_t>(numberAt(bytes[i], 0, 0xFF, bytePlace));
        }
    }
    return content;
}

Faults faultsAt(const Json& value, const std::string& place) {
    Faults faults;
    auto count = [](const Json& v, const std::string& p, std::uint64_t low) {
        return static_cast<unsigned>(numberAt(v, low, std::numeric_limits<unsigned>::max(), p));
    };
    forEachField(value, place,
                 {
                     {"unplug_after_reports", [&](const Json& v, const std::string& p) { faults.unplugAfterReports = count(v, p, 1); }},
                     {"silent_after_reports", [&](const Json& v, const std::string& p) { faults.silentAfterReports = count(v, p, 0); }},
                     {"noise", [&](const Json& v, const std::string& p) { faults.noise = flagAt(v, p); }},
                     {"latency_ms", [&](const Json& v, const std::string& p) {
                          faults.latencyMs = static_cast<unsigned>(numberAt(v, 0, kMaxLatencyMs, p));
                      }},
                     {"exclusive", [&](const Json& v, const std::string& p) { faults.exclusive = flagAt(v, p); }},
                     {"serial_query_fails", [&](const Json& v, const std::string& p) { faults.serialQueryFails = flagAt(v, p); }},
                     {"serial_equals_string0", [&](const Json& v, const std::string& p) { faults.serialEqualsString0 = flagAt(v, p); }},
                     {"interfaces", [&](const Json& v, const std::string& p) { faults.interfaces = static_cast<unsigned>(numberAt(v, 1, 3, p)); }},
                     {"same_pipe", [&](const Json& v, const std::string& p) { faults.samePipe = flagAt(v, p); }},
                     {"short_reports", [&](const Json& v, const std::string& p) { faults.shortReports = flagAt(v, p); }},
                 });
    return faults;
}

BoardDescription boardAt(const Json& value, const std::string& place) {
    BoardDescription board = defaultBoard();
    auto id = [](const Json& v, const std::string& p) { return static_cast<std::uint16_t>(numberAt(v, 0, 0xFFFF, p)); };
    forEachField(value, place,
                 {
                     {"vendor_id", [&](const Json& v, const std::string& p) { board.vendorId = id(v, p); }},
                     {"product_id", [&](const Json& v, const std::string& p) { board.productId = id(v, p); }},
                     {"revision", [&](const Json& v, const std::string& p) { board.revision = id(v, p); }},
                     {"serial", [&](const Json& v, const std::string& p) { board.serial = serialAt(v, p); }},
                     {"eeprom", [&](const Json& v, const std::string& p) {
                          board.eeproms.clear();
                          for (const auto& [key, content] : objectAt(v, p).items()) {
                              const std::string devicePlace = p + "." + key;
                              const auto device = static_cast<unsigned>(keyNumber(key, 1, kEepromDevices, devicePlace));
                              if (board.eeproms.count(device) != 0) fail(devicePlace, "device listed twice");
                              board.eeproms[device] = eepromAt(content, devicePlace);
                          }
                      }},
                     {"faults", [&](const Json& v, const std::string& p) { board.faults = faultsAt(v, p); }},
                 });
    return board;
}

}  // namespace

BoardDescription defaultBoard() {
    BoardDescription board;
    EepromContent blank;
    blank.fill(0xFF);
    board.eeproms.emplace(1, blank);
    return board;
}

std::vector<BoardDescription> parseBoardDescriptions(const std::string& text, const std::string& source) {
    Json document;
    try {
        document = Json::parse(text);
    } catch (const Json::parse_error& error) {
        // nlohmann's message starts with "[json.exception.parse_error.101] ".
        std::string message = error.what();
        const std::size_t end = message.find("] ");
        if (end != std::string::npos) message = message.substr(end + 2);
        throw DescriptionError(source + ": invalid JSON: " + message);
    }
    std::vector<BoardDescription> boards;
    try {
        bool boardsGiven = false;
        forEachField(document, "", {{"boards", [&](const Json& list, const std::string& place) {
                                         boardsGiven = true;
                                         if (!list.is_array()) fail(place, "expected a list of boards, got " + shown(list));
                                         for (std::size_t i = 0; i < list.size(); ++i) {
                                             boards.push_back(boardAt(list[i], place + "[" + std::to_string(i) + "]"));
                                         }
                                     }}});
        if (!boardsGiven) fail("boards", "missing");
    } catch (const DescriptionError& error) {
        throw DescriptionError(source + ": " + error.what());
    }
    return boards;
}

std::vector<BoardDescription> loadBoardDescriptions(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw DescriptionError(path + ": cannot be read");
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) throw DescriptionError(path + ": cannot be read");
    return parseBoardDescriptions(text.str(), path);
}

}  // namespace board_simulator
