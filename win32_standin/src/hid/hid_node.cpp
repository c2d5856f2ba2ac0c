// HID device nodes behind CreateFileA: Windows report buffers over hidraw's.
//
// On Windows byte 0 of every report buffer is the report ID, 0 for a device that
// does not number its reports. hidraw leaves the ID out of reads of unnumbered
// reports and wants it first on every write, so only reads of unnumbered reports
// are converted.
#include "hid/hid_node.h"
#include "hid/hid_modules.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "standin/device_root.h"
#include "standin/win32_kernel.h"

namespace standin::hid {
namespace {

// A simulator answers the open at once; this bound only keeps a wedged one from
// hanging CreateFileA.
constexpr int kOpenReplyTimeoutMs = 10000;
// Longest report a message can carry: HIDP_CAPS lengths are 16-bit.
constexpr std::size_t kMaxMessageBytes = 0x10000;

DWORD windowsErrorOf(int error) {
    switch (error) {
        case ENODEV:
        case ENXIO:
        case EIO:
        case EPIPE:
        case ECONNRESET:
        case ECONNREFUSED:
        case ENOTCONN:
        case ESHUTDOWN:
            return ERROR_DEVICE_NOT_CONNECTED;
        case ENOENT:
        case ENOTDIR:
            return ERROR_FILE_NOT_FOUND;
        case EACCES:
        case EPERM:
            return ERROR_ACCESS_DENIED;
        case EBUSY:
            return ERROR_SHARING_VIOLATION;
        case ENAMETOOLONG:
            return ERROR_FILENAME_EXCED_RANGE;
        case ENOMEM:
            return ERROR_NOT_ENOUGH_MEMORY;
        default:
            return ERROR_GEN_FAILURE;
    }
}

class Descriptor {
public:
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_;
};

// Waits until `fd` is ready for `events` or failed; false when `stopDescriptor`
// became readable first.
bool waitUntilReady(int fd, short events, int stopDescriptor) {
    for (;;) {
        pollfd watched[2] = {{stopDescriptor, POLLIN, 0}, {fd, events, 0}};
        if (poll(watched, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return true;  // the next operation reports the failure
        }
        if (watched[0].revents != 0) return false;
        if (watched[1].revents != 0) return true;
    }
}

const IoOutcome kAborted{ERROR_OPERATION_ABORTED, 0};

// A hidraw character device. Its input queue is the kernel's, 64 reports per open
// file whatever HidD_SetNumInputBuffers asks for.
class HidrawConnection : public NodeConnection {
public:
    explicit HidrawConnection(int fd) : fd_(fd) {}

    int descriptor() const override { return fd_.get(); }

    std::optional<IoOutcome> receive(std::uint8_t* buffer, DWORD capacity,
                                     const IoCancellation* cancel) override {
        for (;;) {
            // hidraw never reads an empty report; the end of the file is a device
            // that went away.
            const ssize_t count = ::read(fd_.get(), buffer, capacity);
            if (count == 0) return IoOutcome{ERROR_DEVICE_NOT_CONNECTED, 0};
            if (count > 0) return IoOutcome{ERROR_SUCCESS, static_cast<DWORD>(count)};
            if (errno == EINTR) continue;
            if (errno != EAGAIN) return IoOutcome{windowsErrorOf(errno), 0};
            if (cancel == nullptr) return std::nullopt;
            if (!waitUntilReady(fd_.get(), POLLIN, cancel->descriptor())) return kAborted;
        }
    }

    // The kernel sends a hidraw write to the device before write() returns, so a
    // write never finishes at once, and a cancellation waits until the kernel is
    // done with it (the USB stack bounds that).
    std::optional<IoOutcome> send(const std::uint8_t* data, DWORD length,
                                  const IoCancellation* cancel) override {
        if (cancel == nullptr) return std::nullopt;
        for (;;) {
            const ssize_t count = ::write(fd_.get(), data, length);
            if (count >= 0) return IoOutcome{ERROR_SUCCESS, static_cast<DWORD>(count)};
            if (errno == EINTR) continue;
            if (errno != EAGAIN) return IoOutcome{windowsErrorOf(errno), 0};
            if (!waitUntilReady(fd_.get(), POLLOUT, cancel->descriptor())) return kAborted;
        }
    }

    void setQueueDepth(ULONG) override {}

private:
    Descriptor fd_;
};

// A simulated node. A connection opened for reading gets every input report. The
// socket holds them as they come; every read first moves whatever has arrived into
// this handle's own queue, which drops its oldest report when full, as a Windows
// handle's does, so that a read sees the queue as it stands after everything the
// board sent before it.
class SocketConnection : public NodeConnection {
public:
    SocketConnection(int fd, ULONG depth) : fd_(fd), depth_(depth), message_(kMaxMessageBytes) {}

    int descriptor() const override { return fd_.get(); }

    std::optional<IoOutcome> receive(std::uint8_t* buffer, DWORD capacity,
                                     const IoCancellation* cancel) override {
        for (;;) {
            {
                std::lock_guard<std::mutex> guard(lock_);
                takeArrivedLocked();
                if (!queue_.empty()) {
                    const std::vector<std::uint8_t>& report = queue_.front();
                    const auto count = static_cast<DWORD>(std::min<std::size_t>(report.size(), capacity));
                    if (count > 0) std::memcpy(buffer, report.data(), count);
                    queue_.pop_front();
                    return IoOutcome{ERROR_SUCCESS, count};
                }
                if (gone_) return IoOutcome{ERROR_DEVICE_NOT_CONNECTED, 0};
            }
            if (cancel == nullptr) return std::nullopt;
            if (!waitUntilReady(fd_.get(), POLLIN, cancel->descriptor())) return kAborted;
        }
    }

    std::optional<IoOutcome> send(const std::uint8_t* data, DWORD length,
                                  const IoCancellation* cancel) override {
        for (;;) {
            const ssize_t count = ::send(fd_.get(), data, length, MSG_DONTWAIT | MSG_NOSIGNAL);
            if (count >= 0) return IoOutcome{ERROR_SUCCESS, static_cast<DWORD>(count)};
            if (errno == EINTR) continue;
            if (errno != EAGAIN) return IoOutcome{windowsErrorOf(errno), 0};
            if (cancel == nullptr) return std::nullopt;
            if (!waitUntilReady(fd_.get(), POLLOUT, cancel->descriptor())) return kAborted;
        }
    }

    void setQueueDepth(ULONG depth) override {
        std::lock_guard<std::mutex> guard(lock_);
        takeArrivedLocked();
        depth_ = depth;
        while (queue_.size() > depth_) queue_.pop_front();
    }

private:
    // Moves every report waiting on the socket into the queue.
    void takeArrivedLocked() {
        while (!gone_) {
            const ssize_t count = ::recv(fd_.get(), message_.data(), message_.size(), MSG_DONTWAIT);
            if (count < 0 && errno == EINTR) continue;
            if (count < 0 && errno == EAGAIN) break;
            if (count <= 0) {
                gone_ = true;
                return;
            }
            if (queue_.size() >= depth_) queue_.pop_front();
            queue_.emplace_back(message_.begin(), message_.begin() + count);
        }
    }

    Descriptor fd_;
    std::mutex lock_;
    std::deque<std::vector<std::uint8_t>> queue_;  // lock_
    std::size_t depth_;                            // lock_
    bool gone_ = false;                            // lock_
    std::vector<std::uint8_t> message_;            // lock_
};

std::unique_ptr<NodeConnection> openCharacterDevice(const std::string& path, DWORD access, DWORD& error) {
    const bool reads = (access & GENERIC_READ) != 0;
    const bool writes = (access & GENERIC_WRITE) != 0;
    const int mode = reads && writes ? O_RDWR : reads ? O_RDONLY : O_WRONLY;
    const int fd = open(path.c_str(), mode | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = windowsErrorOf(errno);
        return nullptr;
    }
    return std::make_unique<HidrawConnection>(fd);
}

std::unique_ptr<NodeConnection> connectSocket(const std::string& path, DWORD access, DWORD& error) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        error = ERROR_FILENAME_EXCED_RANGE;
        return nullptr;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    Descriptor socketFd(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    if (socketFd.get() < 0) {
        error = windowsErrorOf(errno);
        return nullptr;
    }
    if (connect(socketFd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        error = windowsErrorOf(errno);
        return nullptr;
    }
    namespace protocol = node_protocol;
    const bool reads = (access & GENERIC_READ) != 0;
    const protocol::OpenRequest request{
        protocol::kMagic, protocol::kVersion,
        (reads ? protocol::kAccessRead : 0u) | ((access & GENERIC_WRITE) ? protocol::kAccessWrite : 0u)};
    protocol::OpenReply reply{};
    pollfd watched{socketFd.get(), POLLIN, 0};
    if (::send(socketFd.get(), &request, sizeof request, MSG_NOSIGNAL) != sizeof request) {
        error = windowsErrorOf(errno);
        return nullptr;
    }
    if (poll(&watched, 1, kOpenReplyTimeoutMs) != 1) {
        error = ERROR_GEN_FAILURE;
        return nullptr;
    }
    const ssize_t replied = recv(socketFd.get(), &reply, sizeof reply, 0);
    if (replied <= 0) {
        error = ERROR_DEVICE_NOT_CONNECTED;  // the board went away meanwhile
        return nullptr;
    }
    if (replied != sizeof reply || reply.magic != protocol::kMagic) {
        error = ERROR_GEN_FAILURE;
        return nullptr;
    }
    if (reply.error != 0) {
        error = reply.error;
        return nullptr;
    }
    return std::make_unique<SocketConnection>(socketFd.release(), kDefaultInputBuffers);
}

std::unique_ptr<NodeConnection> openNode(const std::string& path, DWORD access, DWORD& error) {
    struct stat status {};
    if (stat(path.c_str(), &status) != 0) {
        error = windowsErrorOf(errno);
        return nullptr;
    }
    if (S_ISCHR(status.st_mode)) return openCharacterDevice(path, access, error);
    if (S_ISSOCK(status.st_mode)) return connectSocket(path, access, error);
    error = ERROR_GEN_FAILURE;  // neither a device nor a simulated one
    return nullptr;
}

std::unique_ptr<DeviceFile> openHidNode(const DeviceOpenRequest& request, DWORD& error) {
    std::optional<HidrawNode> node = nodeOfDevicePath(request.path);
    if (!node) {
        error = ERROR_FILE_NOT_FOUND;
        return nullptr;
    }
    std::optional<std::vector<std::uint8_t>> descriptor = readReportDescriptor(node->hidDevice);
    if (!descriptor) {
        error = ERROR_FILE_NOT_FOUND;
        return nullptr;
    }
    // Windows starts no HID collection whose descriptor it cannot interpret.
    auto parsed = parseReportDescriptor(descriptor->data(), descriptor->size());
    if (!std::holds_alternative<ReportLayout>(parsed)) {
        error = ERROR_GEN_FAILURE;
        return nullptr;
    }
    // A query-only open (access 0) never touches the node, so it works on a device
    // that refuses to be opened, as on Windows.
    const DWORD access = request.access & (GENERIC_READ | GENERIC_WRITE);
    std::unique_ptr<NodeConnection> connection;
    if (access != 0) {
        connection = openNode(node->nodePath, access, error);
        if (!connection) return nullptr;
    }
    return std::make_unique<HidNodeFile>(std::move(*node), std::get<ReportLayout>(parsed),
                                         std::move(connection));
}

}  // namespace

HidNodeFile::HidNodeFile(HidrawNode node, ReportLayout layout, std::unique_ptr<NodeConnection> connection)
    : node_(std::move(node)), layout_(layout), connection_(std::move(connection)) {}

int HidNodeFile::readinessDescriptor() const { return connection_ ? connection_->descriptor() : -1; }

void HidNodeFile::setInputBuffers(ULONG count) {
    inputBuffers_.store(count);
    if (connection_) connection_->setQueueDepth(count);
}

std::optional<IoOutcome> HidNodeFile::read(void* buffer, DWORD length, const IoCancellation* cancel) {
    if (!connection_) return IoOutcome{ERROR_INVALID_FUNCTION, 0};
    // Windows refuses a buffer that cannot hold the longest input report.
    if (length == 0 || length < layout_.inputLength) return IoOutcome{ERROR_INVALID_USER_BUFFER, 0};
    auto* bytes = static_cast<std::uint8_t*>(buffer);
    const DWORD idBytes = layout_.numbered ? 0 : 1;
    if (length <= idBytes) return IoOutcome{ERROR_INVALID_USER_BUFFER, 0};
    std::optional<IoOutcome> outcome = connection_->receive(bytes + idBytes, length - idBytes, cancel);
    if (!outcome.has_value()) return std::nullopt;
    if (outcome->error == ERROR_SUCCESS && idBytes != 0) {
        bytes[0] = 0;
        outcome->bytes += idBytes;
    }
    return outcome;
}

std::optional<IoOutcome> HidNodeFile::write(const void* data, DWORD length, const IoCancellation* cancel) {
    if (!connection_) return IoOutcome{ERROR_INVALID_FUNCTION, 0};
    // Windows sends whole output reports only, and only under a report ID the
    // device can have: 0 exactly when it does not number its reports.
    if (length == 0 || length != layout_.outputLength) return IoOutcome{ERROR_INVALID_USER_BUFFER, 0};
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    if ((bytes[0] == 0) == layout_.numbered) return IoOutcome{ERROR_INVALID_PARAMETER, 0};
    return connection_->send(bytes, length, cancel);
}

IoOutcome HidNodeFile::readReport(void* buffer, DWORD length, const IoCancellation& cancel) {
    return *read(buffer, length, &cancel);
}

IoOutcome HidNodeFile::writeReport(const void* data, DWORD length, const IoCancellation& cancel) {
    return *write(data, length, &cancel);
}

std::optional<IoOutcome> HidNodeFile::tryReadReport(void* buffer, DWORD length) {
    return read(buffer, length, nullptr);
}

std::optional<IoOutcome> HidNodeFile::tryWriteReport(const void* data, DWORD length) {
    return write(data, length, nullptr);
}

DeviceOpener hidNodeOpener() {
    return [](const DeviceOpenRequest& request, DWORD& error) -> std::unique_ptr<DeviceFile> {
        try {
            return openHidNode(request, error);
        } catch (const std::exception&) {
            // Out of memory or threads: CreateFileA reports it, it never throws.
            error = ERROR_NOT_ENOUGH_MEMORY;
            return nullptr;
        }
    };
}

}  // namespace standin::hid
