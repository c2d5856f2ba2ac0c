// The HID devices of a device root, read from its sysfs tree, and the device
// nodes that DevInst values name.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "standin/win32_hid.h"

namespace standin::hid {

// The root named by kDeviceRootVariable, as a prefix without a trailing slash
// ("" for the machine's own root).
std::string currentDeviceRoot();

struct HidrawNode {
    unsigned number = 0;
    std::string nodePath;   // <root>/dev/hidrawN: the device path that CreateFileA opens
    std::string hidDevice;  // canonical directory of the HID device in the root's sysfs
    std::string devicesDirectory;  // canonical <root>/sys/devices
};

// The hidraw nodes present under the root, in ascending order of N. Nodes whose
// device link leads nowhere or out of the root's sysfs are left out.
std::vector<HidrawNode> listHidrawNodes(const std::string& root);

// The node behind a device path of the form <root>/dev/hidrawN, or nothing when the
// path has another form or the root has no such hidraw device.
std::optional<HidrawNode> nodeOfDevicePath(const std::string& devicePath);

// What the root says about a HID device.
struct HidDeviceFacts {
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    std::uint16_t versionNumber = 0;  // bcdDevice of the USB device, 0 off USB
    std::string serial;               // HID_UNIQ, UTF-8; empty when the device has none
};
// Nothing when the device directory has gone or has no usable HID_ID.
std::optional<HidDeviceFacts> readHidDeviceFacts(const std::string& hidDevice);
std::optional<std::vector<std::uint8_t>> readReportDescriptor(const std::string& hidDevice);

bool directoryExists(const std::string& path);

// Device nodes: a DevInst names one directory below a root's sys/devices, for the
// life of the process.
DEVINST devInstOf(const std::string& canonicalDirectory, const std::string& devicesDirectory);
CONFIGRET parentOf(DEVINST child, DEVINST& parent);

}  // namespace standin::hid
