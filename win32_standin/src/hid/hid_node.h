// An open HID device node: a hidraw character device, or a Unix socket served by a
// simulator, or nothing at all for a query-only open. The HID queries reach it
// through deviceFileOf().
#pragma once

#include <atomic>
#include <memory>
#include <optional>
#include <string>

#include "hid/device_tree.h"
#include "hid/report_descriptor.h"
#include "standin/device_file.h"

namespace standin::hid {

// Input reports a handle queues by default, and the range HidD_SetNumInputBuffers
// accepts, as on Windows.
inline constexpr ULONG kDefaultInputBuffers = 32;
inline constexpr ULONG kMinInputBuffers = 2;
inline constexpr ULONG kMaxInputBuffers = 512;

// One report message in hidraw's form, moved without waiting when `cancel` is null
// (nothing when it would have to wait).
class NodeConnection {
public:
    virtual ~NodeConnection() = default;
    virtual std::optional<IoOutcome> receive(std::uint8_t* buffer, DWORD capacity,
                                             const IoCancellation* cancel) = 0;
    virtual std::optional<IoOutcome> send(const std::uint8_t* data, DWORD length,
                                          const IoCancellation* cancel) = 0;
    virtual void setQueueDepth(ULONG depth) = 0;
    // Readable whenever receive() may find a report or the device's end.
    virtual int descriptor() const = 0;
};

class HidNodeFile : public DeviceFile {
public:
    HidNodeFile(HidrawNode node, ReportLayout layout, std::unique_ptr<NodeConnection> connection);

    IoOutcome readReport(void* buffer, DWORD length, const IoCancellation& cancel) override;
    IoOutcome writeReport(const void* data, DWORD length, const IoCancellation& cancel) override;
    std::optional<IoOutcome> tryReadReport(void* buffer, DWORD length) override;
    std::optional<IoOutcome> tryWriteReport(const void* data, DWORD length) override;
    int readinessDescriptor() const override;

    const HidrawNode& node() const { return node_; }
    const ReportLayout& layout() const { return layout_; }
    ULONG inputBuffers() const { return inputBuffers_.load(); }
    void setInputBuffers(ULONG count);

private:
    std::optional<IoOutcome> read(void* buffer, DWORD length, const IoCancellation* cancel);
    std::optional<IoOutcome> write(const void* data, DWORD length, const IoCancellation* cancel);

    const HidrawNode node_;
    const ReportLayout layout_;
    const std::unique_ptr<NodeConnection> connection_;  // null for a query-only open
    std::atomic<ULONG> inputBuffers_{kDefaultInputBuffers};
};

}  // namespace standin::hid
