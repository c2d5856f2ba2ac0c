// The list of simulated boards that the Windows transport publishes for the
// simulated hid.dll, setupapi.dll and cfgmgr32.dll of the processes it serves.
//
// It lives in a named file mapping whose name the environment variable
// kDeviceListVariable carries. The layout is the same for 32- and 64-bit
// processes (fixed-width fields only):
//
//   Header, then boardCount Boards, then interfaceCount Interfaces
//
// The transport writes everything once before any process can look; afterwards
// only a board's `present` word changes (0 once it was unplugged), through
// interlocked operations.
//
// Device nodes, as CM_Get_Parent walks them: every HID interface has a node whose
// parent is its USB interface, whose parent is the board's USB device, whose parent
// is the simulated root hub. The nodes of board B are numbered from
// kFirstBoardNode + B * kNodesPerBoard.
#pragma once

#include <cstddef>
#include <cstdint>

namespace board_simulator::windows_device_list {

inline constexpr const char* kDeviceListVariable = "VANTREL_SIM_DEVICE_LIST";

inline constexpr std::uint32_t kMagic = 0x4C445356;  // "VSDL"
inline constexpr std::uint32_t kVersion = 1;

inline constexpr std::size_t kPipePathChars = 96;  // "\\.\pipe\..." and its terminating zero
inline constexpr std::size_t kSerialUnits = 126;   // the longest USB string descriptor

struct Header {
    std::uint32_t magic;
    std::uint32_t version;
    std::uint32_t boardCount;
    std::uint32_t interfaceCount;
};

struct Board {
    std::uint32_t present;  // 1 while the board is plugged in
    std::uint16_t vendorId;
    std::uint16_t productId;
    std::uint16_t revision;
    std::uint16_t serialUnits;  // 0: the board has no serial number string
    std::uint16_t serial[kSerialUnits];  // UTF-16, not terminated
    std::uint32_t firstInterface;        // index into the Interfaces
    std::uint32_t interfaceCount;
};

struct Interface {
    std::uint32_t board;
    std::uint32_t number;  // 0 is pipe 0, 1 pipe 1, 2 the third interface of a board with three
    char pipePath[kPipePathChars];
    std::uint16_t usagePage;
    std::uint16_t usage;
    std::uint16_t inputReportBytes;   // Windows' lengths: the report ID byte included
    std::uint16_t outputReportBytes;
    std::uint16_t featureReportBytes;
    std::uint16_t collections;
};

inline constexpr std::size_t bytesFor(std::uint32_t boards, std::uint32_t interfaces) {
    return sizeof(Header) + boards * sizeof(Board) + interfaces * sizeof(Interface);
}

// Device node numbers. 0 is no node; the root hub has no parent of its own.
inline constexpr std::uint32_t kRootHubNode = 0x100;
inline constexpr std::uint32_t kFirstBoardNode = 0x110;
inline constexpr std::uint32_t kNodesPerBoard = 8;  // the USB device and two nodes per interface (up to 3)

inline constexpr std::uint32_t usbDeviceNode(std::uint32_t board) { return kFirstBoardNode + board * kNodesPerBoard; }
inline constexpr std::uint32_t usbInterfaceNode(std::uint32_t board, std::uint32_t number) {
    return usbDeviceNode(board) + 1 + 2 * number;
}
inline constexpr std::uint32_t hidInterfaceNode(std::uint32_t board, std::uint32_t number) {
    return usbInterfaceNode(board, number) + 1;
}

// Where a node of a board stands: its board, and its place among the board's
// nodes (0 the USB device, 2I + 1 the USB interface I, 2I + 2 its HID interface).
inline constexpr std::uint32_t boardOfNode(std::uint32_t node) { return (node - kFirstBoardNode) / kNodesPerBoard; }
inline constexpr std::uint32_t placeOfNode(std::uint32_t node) { return (node - kFirstBoardNode) % kNodesPerBoard; }

// The parent of a node of a board (node >= kFirstBoardNode).
inline constexpr std::uint32_t parentNode(std::uint32_t node) {
    const std::uint32_t place = placeOfNode(node);
    if (place == 0) return kRootHubNode;
    if (place % 2 == 1) return usbDeviceNode(boardOfNode(node));
    return node - 1;
}

}  // namespace board_simulator::windows_device_list
