// What the stand-in reads from a HID report descriptor: the report lengths in
// Windows terms and the top-level usage.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <variant>

namespace standin::hid {

struct ReportLayout {
    std::uint16_t usagePage = 0;  // of the first top-level collection
    std::uint16_t usage = 0;
    // Windows lengths: 1 byte for the report ID (0 on a device without IDs) plus
    // the longest report of that kind; 0 when the device has no report of the kind.
    std::uint16_t inputLength = 0;
    std::uint16_t outputLength = 0;
    std::uint16_t featureLength = 0;
    std::uint16_t collectionCount = 0;
    bool numbered = false;  // the descriptor declares report IDs
};

// The layout, or the reason why the descriptor cannot be interpreted. Reads no
// byte outside [data, data + size).
std::variant<ReportLayout, std::string> parseReportDescriptor(const std::uint8_t* data,
                                                              std::size_t size);

}  // namespace standin::hid
