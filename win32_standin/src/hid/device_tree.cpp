// Reading a device root's sysfs tree as Linux lays out HID devices.
#include "hid/device_tree.h"

#include <dirent.h>
#include <limits.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>

#include "standin/device_root.h"

namespace standin::hid {
namespace {

constexpr const char* kHidrawPrefix = "hidraw";
constexpr std::size_t kMaxDescriptorFileBytes = 4096;

std::optional<std::string> canonicalPath(const std::string& path) {
    char resolved[PATH_MAX];
    if (realpath(path.c_str(), resolved) == nullptr) return std::nullopt;
    return std::string(resolved);
}

bool startsWith(const std::string& text, const std::string& prefix) {
    return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

// N of a name "hidrawN", written without leading zeros.
std::optional<unsigned> hidrawNumber(const std::string& name) {
    const std::string prefix = kHidrawPrefix;
    if (!startsWith(name, prefix) || name.size() == prefix.size() || name.size() > prefix.size() + 6) {
        return std::nullopt;
    }
    const std::string digits = name.substr(prefix.size());
    if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    if (digits.size() > 1 && digits[0] == '0') return std::nullopt;
    return static_cast<unsigned>(std::stoul(digits));
}

std::optional<std::string> readFile(const std::string& path, std::size_t limit) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::string content;
    content.resize(limit + 1);
    in.read(&content[0], static_cast<std::streamsize>(content.size()));
    if (in.bad()) return std::nullopt;
    content.resize(static_cast<std::size_t>(in.gcount()));
    if (content.size() > limit) return std::nullopt;
    return content;
}

std::optional<std::string> readLine(const std::string& path) {
    std::optional<std::string> content = readFile(path, 4096);
    if (!content) return std::nullopt;
    const std::size_t end = content->find('\n');
    if (end != std::string::npos) content->resize(end);
    return content;
}

std::optional<std::string> ueventValue(const std::string& uevent, const std::string& key) {
    std::istringstream lines(uevent);
    std::string line;
    while (std::getline(lines, line)) {
        if (startsWith(line, key + "=")) return line.substr(key.size() + 1);
    }
    return std::nullopt;
}

std::optional<std::uint32_t> parseHex(const std::string& text) {
    if (text.empty() || text.size() > 8) return std::nullopt;
    std::uint32_t value = 0;
    for (char c : text) {
        unsigned digit;
        if (c >= '0' && c <= '9') digit = static_cast<unsigned>(c - '0');
        else if (c >= 'a' && c <= 'f') digit = static_cast<unsigned>(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F') digit = static_cast<unsigned>(c - 'A' + 10);
        else return std::nullopt;
        value = value * 16 + digit;
    }
    return value;
}

std::string parentDirectory(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos || slash == 0 ? "/" : path.substr(0, slash);
}

// The node of hidrawN under a root whose canonical sys/devices is known.
std::optional<HidrawNode> resolveNode(const std::string& root, unsigned number,
                                      const std::string& devicesDirectory) {
    const std::string name = kHidrawPrefix + std::to_string(number);
    std::optional<std::string> hidDevice = canonicalPath(root + "/sys/class/hidraw/" + name + "/device");
    if (!hidDevice || !startsWith(*hidDevice, devicesDirectory + "/") || !directoryExists(*hidDevice)) {
        return std::nullopt;
    }
    return HidrawNode{number, root + "/dev/" + name, *hidDevice, devicesDirectory};
}

struct DeviceNode {
    std::string directory;
    std::string devicesDirectory;
};

// DevInst values count from 1, so that 0 never names a node.
struct DeviceNodeTable {
    std::mutex lock;
    std::vector<DeviceNode> nodes;
    std::map<std::string, DEVINST> byDirectory;
};

DeviceNodeTable& deviceNodes() {
    static DeviceNodeTable instance;
    return instance;
}

}  // namespace

std::string currentDeviceRoot() {
    const char* configured = std::getenv(kDeviceRootVariable);
    std::string root = configured != nullptr ? configured : "";
    while (!root.empty() && root.back() == '/') root.pop_back();
    return root;
}

bool directoryExists(const std::string& path) {
    struct stat status {};
    return stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

std::vector<HidrawNode> listHidrawNodes(const std::string& root) {
    std::vector<HidrawNode> nodes;
    std::optional<std::string> devicesDirectory = canonicalPath(root + "/sys/devices");
    if (!devicesDirectory) return nodes;
    DIR* directory = opendir((root + "/sys/class/hidraw").c_str());
    if (directory == nullptr) return nodes;
    std::vector<unsigned> numbers;
    while (const dirent* entry = readdir(directory)) {
        if (std::optional<unsigned> number = hidrawNumber(entry->d_name)) numbers.push_back(*number);
    }
    closedir(directory);
    std::sort(numbers.begin(), numbers.end());
    for (unsigned number : numbers) {
        if (std::optional<HidrawNode> node = resolveNode(root, number, *devicesDirectory)) {
            nodes.push_back(std::move(*node));
        }
    }
    return nodes;
}

std::optional<HidrawNode> nodeOfDevicePath(const std::string& devicePath) {
    const std::size_t slash = devicePath.find_last_of('/');
    if (slash == std::string::npos) return std::nullopt;
    std::optional<unsigned> number = hidrawNumber(devicePath.substr(slash + 1));
    const std::string directory = devicePath.substr(0, slash);
    const std::string devSuffix = "/dev";
    if (!number || directory.size() < devSuffix.size() ||
        directory.compare(directory.size() - devSuffix.size(), devSuffix.size(), devSuffix) != 0) {
        return std::nullopt;
    }
    const std::string root = directory.substr(0, directory.size() - devSuffix.size());
    std::optional<std::string> devicesDirectory = canonicalPath(root + "/sys/devices");
    if (!devicesDirectory) return std::nullopt;
    return resolveNode(root, *number, *devicesDirectory);
}

std::optional<HidDeviceFacts> readHidDeviceFacts(const std::string& hidDevice) {
    std::optional<std::string> uevent = readFile(hidDevice + "/uevent", 16384);
    if (!uevent) return std::nullopt;
    // HID_ID=bus:vendor:product, each in hexadecimal.
    std::optional<std::string> id = ueventValue(*uevent, "HID_ID");
    if (!id) return std::nullopt;
    const std::size_t first = id->find(':');
    const std::size_t second = first == std::string::npos ? first : id->find(':', first + 1);
    if (second == std::string::npos) return std::nullopt;
    std::optional<std::uint32_t> vendor = parseHex(id->substr(first + 1, second - first - 1));
    std::optional<std::uint32_t> product = parseHex(id->substr(second + 1));
    if (!vendor || !product || *vendor > 0xFFFF || *product > 0xFFFF) return std::nullopt;
    HidDeviceFacts facts;
    facts.vendorId = static_cast<std::uint16_t>(*vendor);
    facts.productId = static_cast<std::uint16_t>(*product);
    facts.serial = ueventValue(*uevent, "HID_UNIQ").value_or("");
    // The HID device's parent is the USB interface; its parent, the USB device.
    const std::string usbDevice = parentDirectory(parentDirectory(hidDevice));
    if (std::optional<std::string> bcd = readLine(usbDevice + "/bcdDevice")) {
        if (std::optional<std::uint32_t> version = parseHex(*bcd); version && *version <= 0xFFFF) {
            facts.versionNumber = static_cast<std::uint16_t>(*version);
        }
    }
    return facts;
}

std::optional<std::vector<std::uint8_t>> readReportDescriptor(const std::string& hidDevice) {
    std::optional<std::string> content = readFile(hidDevice + "/report_descriptor", kMaxDescriptorFileBytes);
    if (!content) return std::nullopt;
    return std::vector<std::uint8_t>(content->begin(), content->end());
}

DEVINST devInstOf(const std::string& canonicalDirectory, const std::string& devicesDirectory) {
    DeviceNodeTable& table = deviceNodes();
    std::lock_guard<std::mutex> guard(table.lock);
    auto found = table.byDirectory.find(canonicalDirectory);
    if (found != table.byDirectory.end()) return found->second;
    table.nodes.push_back({canonicalDirectory, devicesDirectory});
    const auto devInst = static_cast<DEVINST>(table.nodes.size());
    table.byDirectory.emplace(canonicalDirectory, devInst);
    return devInst;
}

CONFIGRET parentOf(DEVINST child, DEVINST& parent) {
    DeviceNode node;
    {
        DeviceNodeTable& table = deviceNodes();
        std::lock_guard<std::mutex> guard(table.lock);
        if (child == 0 || child > table.nodes.size()) return CR_INVALID_DEVNODE;
        node = table.nodes[child - 1];
    }
    if (!directoryExists(node.directory)) return CR_NO_SUCH_DEVNODE;
    // The directories below sys/devices are device nodes; sys/devices itself is
    // above the top of the tree.
    const std::string above = parentDirectory(node.directory);
    if (!startsWith(above, node.devicesDirectory + "/")) return CR_NO_SUCH_DEVNODE;
    parent = devInstOf(above, node.devicesDirectory);
    return CR_SUCCESS;
}

}  // namespace standin::hid
