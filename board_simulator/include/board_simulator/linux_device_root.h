// The Linux transport: a device root in a new temporary directory, laid out as
// Linux lays out USB HID devices, with every device node a Unix socket
// (SOCK_SEQPACKET, one message per report) that the stand-in connects to.
//
//   <root>/sys/devices/platform/vantrel-sim/usb1/1-P                USB device (board P)
//       idVendor idProduct bcdDevice serial manufacturer product uevent
//   <root>/sys/devices/.../1-P/1-P:1.I                              USB interface I
//   <root>/sys/devices/.../1-P:1.I/0003:VVVV:PPPP.NNNN              HID device
//       uevent (HID_ID, HID_NAME, HID_PHYS, HID_UNIQ) report_descriptor
//   <root>/sys/devices/.../0003:VVVV:PPPP.NNNN/hidraw/hidrawN        hidraw class device
//       dev uevent device -> ../../../0003:VVVV:PPPP.NNNN
//   <root>/sys/class/hidraw/hidrawN -> ../../devices/.../hidraw/hidrawN
//   <root>/dev/hidrawN                                              the node (a socket)
//
// N counts the interfaces of all boards in order, so boards enumerate in the order
// they were described. Everything is removed when the transport stops.
#pragma once

#include <memory>

#include "board_simulator/transport.h"

namespace board_simulator {

class LinuxDeviceRoot : public Transport {
public:
    LinuxDeviceRoot();
    ~LinuxDeviceRoot() override;

    void start(const std::vector<ServedBoard>& boards, TransportEvents& events) override;
    void stop() override;
    void send(std::size_t board, unsigned interface, const Report& report) override;
    void unplug(std::size_t board) override;
    std::vector<std::pair<std::string, std::string>> environment() const override;

    // The root directory; empty until started.
    std::string root() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace board_simulator
