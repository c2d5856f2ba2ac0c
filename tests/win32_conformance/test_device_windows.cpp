// The test device on Windows: a message-mode named pipe whose server end the test
// drives. The file the test opens with CreateFileA is the client end; it reads in
// byte mode, as CreateFileA leaves it, so a read of a report's length takes one
// report.
#include <gtest/gtest.h>

#include <atomic>
#include <list>
#include <mutex>

#include "test_device.h"

namespace conformance {
namespace {

constexpr DWORD kPipeBufferBytes = 4096;
// How long the server end waits for its own writes and for a cancelled operation:
// generous, so that only a broken pipe reaches it.
constexpr DWORD kServerBound = 10000;
// Instances listening for a client. A test opens the file, may close it and open
// it again before the device acts; every action of the device tops the listening
// instances up again.
constexpr size_t kListeningInstances = 2;

std::string uniquePipePath() {
    static std::atomic<unsigned> counter{0};
    return "\\\\.\\pipe\\vantrel-conformance-" + std::to_string(GetCurrentProcessId()) + "-" +
           std::to_string(counter++);
}

// The outcome of an overlapped operation of the server end.
struct Outcome {
    bool succeeded = false;
    DWORD error = ERROR_SUCCESS;
    DWORD bytes = 0;
};

// Waits up to `milliseconds` for an operation that ReadFile or WriteFile started. One
// that has not completed by then is cancelled and waited for, so that its
// OVERLAPPED is free again when this returns.
Outcome finish(HANDLE pipe, OVERLAPPED& overlapped, BOOL started, DWORD milliseconds) {
    Outcome outcome;
    if (!started && GetLastError() != ERROR_IO_PENDING) {
        outcome.error = GetLastError();
        return outcome;
    }
    if (WaitForSingleObject(overlapped.hEvent, milliseconds) != WAIT_OBJECT_0) CancelIoEx(pipe, &overlapped);
    outcome.succeeded = GetOverlappedResult(pipe, &overlapped, &outcome.bytes, TRUE) != FALSE;
    outcome.error = outcome.succeeded ? ERROR_SUCCESS : GetLastError();
    return outcome;
}

// One server instance of the pipe, from its creation to its close.
class Instance {
public:
    Instance(const std::string& path, bool first) {
        connect_.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        // The first instance claims the name: a pipe of that name that already
        // exists is an error, not a device to share.
        const DWORD openMode =
            PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
        pipe_ = CreateNamedPipeA(path.c_str(), openMode, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                                 PIPE_UNLIMITED_INSTANCES, kPipeBufferBytes, kPipeBufferBytes, 0, nullptr);
        if (pipe_ == INVALID_HANDLE_VALUE) {
            ADD_FAILURE() << "CreateNamedPipeA(" << path << ") failed: " << GetLastError();
            return;
        }
        // The instance listens before the device hands its path out.
        if (ConnectNamedPipe(pipe_, &connect_)) {
            connected_ = true;
        } else if (GetLastError() == ERROR_PIPE_CONNECTED) {
            connected_ = true;
        } else if (GetLastError() == ERROR_IO_PENDING) {
            listening_ = true;
        } else {
            ADD_FAILURE() << "ConnectNamedPipe failed: " << GetLastError();
        }
    }

    ~Instance() {
        if (listening_) {
            CancelIoEx(pipe_, &connect_);
            DWORD bytes = 0;
            GetOverlappedResult(pipe_, &connect_, &bytes, TRUE);
        }
        if (pipe_ != INVALID_HANDLE_VALUE) {
            DisconnectNamedPipe(pipe_);
            CloseHandle(pipe_);
        }
        CloseHandle(connect_.hEvent);
    }

    Instance(const Instance&) = delete;
    Instance& operator=(const Instance&) = delete;

    HANDLE pipe() const { return pipe_; }
    bool listening() const { return listening_; }

    // True once a client opened this instance; notices a connection that came since
    // the last call.
    bool takeConnection() {
        if (listening_ && HasOverlappedIoCompleted(&connect_)) {
            DWORD bytes = 0;
            listening_ = false;
            connected_ = GetOverlappedResult(pipe_, &connect_, &bytes, FALSE) != FALSE;
        }
        return connected_;
    }

    // False once the client closed its end.
    bool clientStillOpen() const {
        return connected_ && (PeekNamedPipe(pipe_, nullptr, 0, nullptr, nullptr, nullptr) ||
                              GetLastError() != ERROR_BROKEN_PIPE);
    }

private:
    HANDLE pipe_ = INVALID_HANDLE_VALUE;
    OVERLAPPED connect_{};
    bool listening_ = false;
    bool connected_ = false;
};

class PipeTestDevice : public TestDevice {
public:
    PipeTestDevice() : path_(uniquePipePath()) {
        std::lock_guard<std::mutex> guard(lock_);
        topUpListeners();
    }

    std::string path() const override { return path_; }

    void sendReport(const std::string& report) override {
        std::lock_guard<std::mutex> guard(lock_);
        Instance* instance = openedInstance();
        if (instance == nullptr) {
            ADD_FAILURE() << "sendReport: no client has the device open";
            return;
        }
        Event done;
        OVERLAPPED overlapped{};
        overlapped.hEvent = done.handle;
        const BOOL started = WriteFile(instance->pipe(), report.data(), static_cast<DWORD>(report.size()),
                                       nullptr, &overlapped);
        const Outcome outcome = finish(instance->pipe(), overlapped, started, kServerBound);
        if (!outcome.succeeded || outcome.bytes != report.size()) {
            ADD_FAILURE() << "sendReport: the write failed: " << outcome.error;
        }
    }

    std::optional<std::string> receiveReport(DWORD milliseconds) override {
        std::lock_guard<std::mutex> guard(lock_);
        Instance* instance = openedInstance();
        if (instance == nullptr) return std::nullopt;
        Event done;
        std::string message;
        char buffer[kPipeBufferBytes];
        Outcome outcome;
        // A message longer than the buffer arrives in parts, each but the last
        // with ERROR_MORE_DATA; the parts after the first are there already.
        do {
            OVERLAPPED overlapped{};
            overlapped.hEvent = done.handle;
            const BOOL started = ReadFile(instance->pipe(), buffer, sizeof buffer, nullptr, &overlapped);
            outcome = finish(instance->pipe(), overlapped, started, message.empty() ? milliseconds : kServerBound);
            message.append(buffer, outcome.bytes);
        } while (!outcome.succeeded && outcome.error == ERROR_MORE_DATA);
        if (!outcome.succeeded) return std::nullopt;
        return message;
    }

    void disconnect() override {
        std::lock_guard<std::mutex> guard(lock_);
        // Every instance is disconnected and closed: the client's pending and later
        // operations fail, and the name is gone.
        instances_.clear();
        disconnected_ = true;
    }

private:
    struct Event {
        Event() = default;
        Event(const Event&) = delete;
        Event& operator=(const Event&) = delete;
        ~Event() { CloseHandle(handle); }
        const HANDLE handle = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    };

    void topUpListeners() {
        if (disconnected_) return;
        size_t listening = 0;
        for (const Instance& instance : instances_) listening += instance.listening() ? 1 : 0;
        for (; listening < kListeningInstances; ++listening) {
            instances_.emplace_back(path_, !claimedName_);
            claimedName_ = true;
        }
    }

    // The instance whose client has the file open. The device serves one open
    // file at a time; instances whose client closed its file are closed.
    Instance* openedInstance() {
        Instance* opened = nullptr;
        for (auto instance = instances_.begin(); instance != instances_.end();) {
            if (!instance->takeConnection()) {
                ++instance;
            } else if (!instance->clientStillOpen()) {
                instance = instances_.erase(instance);
            } else {
                if (opened == nullptr) opened = &*instance;
                ++instance;
            }
        }
        topUpListeners();
        return opened;
    }

    std::mutex lock_;
    const std::string path_;
    std::list<Instance> instances_;
    bool claimedName_ = false;
    bool disconnected_ = false;
};

}  // namespace

std::unique_ptr<TestDevice> TestDevice::create() { return std::make_unique<PipeTestDevice>(); }

}  // namespace conformance
