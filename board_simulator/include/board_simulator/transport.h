// How simulated boards reach a host: the transport serves the boards' HID
// interfaces and carries their reports, while the board model stays unaware of it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "board_simulator/board.h"

namespace board_simulator {

// Windows error codes a transport hands to the host's open.
inline constexpr std::uint32_t kErrorAccessDenied = 5;
inline constexpr std::uint32_t kErrorDeviceNotConnected = 1167;

// A board as the host sees it.
struct ServedBoard {
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    std::uint16_t revision = 0;
    std::string serial;  // the serial number string; empty when the board has none
    std::vector<InterfaceLayout> interfaces;
};

// What a transport tells the simulator. Called on the transport's own threads,
// never while the transport holds a lock of its own.
class TransportEvents {
public:
    virtual ~TransportEvents() = default;
    // A host opens an interface: 0 accepts, otherwise the Windows error code the
    // open fails with.
    virtual std::uint32_t openRequested(std::size_t board, unsigned interface, bool reads, bool writes) = 0;
    // A host wrote an output report (Windows form) to an interface.
    virtual void reportReceived(std::size_t board, unsigned interface, const Report& report) = 0;
};

class Transport {
public:
    virtual ~Transport() = default;
    virtual void start(const std::vector<ServedBoard>& boards, TransportEvents& events) = 0;
    // Withdraws every board; no event comes after it returns.
    virtual void stop() = 0;
    // An input report (Windows form) to every host handle that reads the interface
    // and was opened before the call.
    virtual void send(std::size_t board, unsigned interface, const Report& report) = 0;
    // The board disappears: its handles fail and it is no longer listed.
    virtual void unplug(std::size_t board) = 0;
    // The environment variables that point a host process at the boards.
    virtual std::vector<std::pair<std::string, std::string>> environment() const = 0;
};

}  // namespace board_simulator
