// Where the stand-in's HID functions find devices, and how a node that is a Unix
// socket speaks. Shared by the stand-in and by whatever serves simulated nodes.
//
// The device root is laid out as Linux lays out its HID devices:
//   <root>/sys/class/hidraw/hidrawN          link to the hidraw class device
//   <root>/sys/class/hidraw/hidrawN/device   link to the HID device directory, whose
//       uevent holds HID_ID=bus:vendor:product, HID_NAME and HID_UNIQ (the serial
//       number) and whose report_descriptor holds the binary report descriptor;
//       its parent is the USB interface, whose parent is the USB device (bcdDevice)
//   <root>/dev/hidrawN                       the device node
// The root is "/" (the machine's own devices) unless kDeviceRootVariable names another.
//
// A node is either a hidraw character device or a Unix socket of type
// SOCK_SEQPACKET. On a socket every message is one report in hidraw's form: a read
// report starts with its report ID only when the device numbers its reports, a
// written report always starts with its report ID (0 for a device without IDs).
// A connection starts with one OpenRequest from the stand-in, answered by one
// OpenReply before any report; a closed connection is a device that went away.
#pragma once

#include <cstdint>

namespace standin {

inline constexpr const char* kDeviceRootVariable = "VANTREL_DEVICE_ROOT";

namespace node_protocol {

inline constexpr std::uint32_t kMagic = 0x4E445356;  // "VSDN"
inline constexpr std::uint32_t kVersion = 1;

inline constexpr std::uint32_t kAccessRead = 1;   // the connection wants every input report
inline constexpr std::uint32_t kAccessWrite = 2;  // the connection sends output reports

struct OpenRequest {
    std::uint32_t magic;
    std::uint32_t version;
    std::uint32_t access;
};

struct OpenReply {
    std::uint32_t magic;
    std::uint32_t error;  // 0 when the open is accepted, else the Windows error code
};

}  // namespace node_protocol
}  // namespace standin
