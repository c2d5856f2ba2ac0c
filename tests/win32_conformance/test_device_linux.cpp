// The test device on Linux: a double behind the stand-in's device-file interface.
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>

#include "standin/device_file.h"
#include "test_device.h"

namespace conformance {
namespace {

constexpr const char* kPathPrefix = "/conformance-test-device/";

// What both sides of one device share.
struct Channel {
    std::mutex lock;
    std::condition_variable written;
    std::deque<std::string> toFile;    // input reports for the file
    std::deque<std::string> fromFile;  // reports the file wrote
    bool disconnected = false;
    int arrivals = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);  // readable while input is waiting

    ~Channel() { close(arrivals); }
    void notifyArrival() {
        const std::uint64_t one = 1;
        (void)!write(arrivals, &one, sizeof one);
    }
};

struct Registry {
    std::mutex lock;
    std::map<std::string, std::weak_ptr<Channel>> channels;
    int nextId = 0;
};

Registry& registry() {
    static Registry instance;
    return instance;
}

class DoubleFile : public standin::DeviceFile {
public:
    explicit DoubleFile(std::shared_ptr<Channel> channel) : channel_(std::move(channel)) {}

    std::optional<standin::IoOutcome> tryReadReport(void* buffer, DWORD length) override {
        std::lock_guard<std::mutex> guard(channel_->lock);
        if (channel_->disconnected) return standin::IoOutcome{ERROR_DEVICE_NOT_CONNECTED, 0};
        if (channel_->toFile.empty()) {
            std::uint64_t drained = 0;
            (void)!read(channel_->arrivals, &drained, sizeof drained);
            return std::nullopt;
        }
        const std::string report = std::move(channel_->toFile.front());
        channel_->toFile.pop_front();
        const DWORD bytes = std::min<DWORD>(length, static_cast<DWORD>(report.size()));
        std::memcpy(buffer, report.data(), bytes);
        return standin::IoOutcome{ERROR_SUCCESS, bytes};
    }

    standin::IoOutcome readReport(void* buffer, DWORD length,
                                  const standin::IoCancellation& cancel) override {
        for (;;) {
            if (std::optional<standin::IoOutcome> outcome = tryReadReport(buffer, length)) return *outcome;
            pollfd waits[] = {{channel_->arrivals, POLLIN, 0}, {cancel.descriptor(), POLLIN, 0}};
            if (cancel.requested()) return {ERROR_OPERATION_ABORTED, 0};
            poll(waits, 2, -1);
            if (cancel.requested()) return {ERROR_OPERATION_ABORTED, 0};
        }
    }

    std::optional<standin::IoOutcome> tryWriteReport(const void* data, DWORD length) override {
        std::lock_guard<std::mutex> guard(channel_->lock);
        if (channel_->disconnected) return standin::IoOutcome{ERROR_DEVICE_NOT_CONNECTED, 0};
        channel_->fromFile.emplace_back(static_cast<const char*>(data), length);
        channel_->written.notify_all();
        return standin::IoOutcome{ERROR_SUCCESS, length};
    }

    standin::IoOutcome writeReport(const void* data, DWORD length,
                                   const standin::IoCancellation&) override {
        return *tryWriteReport(data, length);
    }

private:
    std::shared_ptr<Channel> channel_;
};

class LinuxTestDevice : public TestDevice {
public:
    LinuxTestDevice() : channel_(std::make_shared<Channel>()) {
        Registry& devices = registry();
        std::lock_guard<std::mutex> guard(devices.lock);
        path_ = kPathPrefix + std::to_string(devices.nextId++);
        devices.channels[path_] = channel_;
    }
    ~LinuxTestDevice() override {
        Registry& devices = registry();
        std::lock_guard<std::mutex> guard(devices.lock);
        devices.channels.erase(path_);
    }

    std::string path() const override { return path_; }

    void sendReport(const std::string& report) override {
        std::lock_guard<std::mutex> guard(channel_->lock);
        channel_->toFile.push_back(report);
        channel_->notifyArrival();
    }

    std::optional<std::string> receiveReport(DWORD milliseconds) override {
        std::unique_lock<std::mutex> lock(channel_->lock);
        if (!channel_->written.wait_for(lock, std::chrono::milliseconds(milliseconds),
                                        [this] { return !channel_->fromFile.empty(); })) {
            return std::nullopt;
        }
        std::string report = std::move(channel_->fromFile.front());
        channel_->fromFile.pop_front();
        return report;
    }

    void disconnect() override {
        std::lock_guard<std::mutex> guard(channel_->lock);
        channel_->disconnected = true;
        channel_->notifyArrival();
    }

private:
    std::shared_ptr<Channel> channel_;
    std::string path_;
};

void registerOpenerOnce() {
    static std::once_flag registered;
    std::call_once(registered, [] {
        standin::registerDeviceOpener(
            [](const standin::DeviceOpenRequest& request, DWORD& error) -> std::unique_ptr<standin::DeviceFile> {
                Registry& devices = registry();
                std::lock_guard<std::mutex> guard(devices.lock);
                auto found = devices.channels.find(request.path);
                std::shared_ptr<Channel> channel =
                    found == devices.channels.end() ? nullptr : found->second.lock();
                if (!channel) {
                    error = ERROR_FILE_NOT_FOUND;
                    return nullptr;
                }
                return std::make_unique<DoubleFile>(std::move(channel));
            });
    });
}

}  // namespace

std::unique_ptr<TestDevice> TestDevice::create() {
    registerOpenerOnce();
    return std::make_unique<LinuxTestDevice>();
}

}  // namespace conformance
