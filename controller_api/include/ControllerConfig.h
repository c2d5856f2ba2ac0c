// The configuration record of a board. Its layout is fixed: other processes read
// it byte for byte from the board's shared configuration mapping.
#pragma once

#include <cstddef>
#include <cstdint>

struct ConfigRange {
    std::int32_t count;  // last - first + 1 when last is not 0, else 0
    std::int32_t first;
    std::int32_t last;
};

struct ControllerConfig {
    ConfigRange ranges[4];
    std::uint8_t reservedAfterRanges[36];  // never written; carried over from a shared record
    char boardIdText[5];                   // "%.02X%.02X" of the identifier bytes; empty until read
    char dateText[9];                      // "%.02d/%.02d/%.02d", written only under the date rule
    std::uint8_t reservedAfterDate[2];
    std::uint32_t featureFlags;
    std::int32_t value7F;
};

static_assert(sizeof(ControllerConfig) == 108, "the shared record is 108 bytes");
static_assert(offsetof(ControllerConfig, ranges) == 0, "ranges at 0");
static_assert(offsetof(ControllerConfig, reservedAfterRanges) == 48, "reserved bytes at 48");
static_assert(offsetof(ControllerConfig, boardIdText) == 84, "boardIdText at 84");
static_assert(offsetof(ControllerConfig, dateText) == 89, "dateText at 89");
static_assert(offsetof(ControllerConfig, reservedAfterDate) == 98, "reserved bytes at 98");
static_assert(offsetof(ControllerConfig, featureFlags) == 100, "featureFlags at 100");
static_assert(offsetof(ControllerConfig, value7F) == 104, "value7F at 104");

// Feature bits this system acts on.
constexpr std::uint32_t kFeatureRange1 = 0x1;
constexpr std::uint32_t kFeatureRange0 = 0x100;
constexpr std::uint32_t kFeatureRange2 = 0x400;
constexpr std::uint32_t kFeatureRange3 = 0x2000;
constexpr std::uint32_t kFeatureBoard331A = 0x10000 | 0x20000;
