// The Windows transport: named pipes served through one I/O completion port.
//
// Every pipe instance has at most one operation of each kind pending: the connect
// while it listens, then a read (the reports the host writes, and the notice that
// the host closed its file) and a write (the reports to the host, one at a time
// from the instance's backlog). One thread takes every completion, in the order
// they came, so the host's reports reach the simulator in order; reports to the
// host are started by whichever thread the simulator sends from. An instance is
// freed once it is closed and none of its operations is pending any more.
//
// One lock guards the pipes, their instances and the device list. The completion
// thread never calls the simulator while holding it.
#include "board_simulator/windows_named_pipes.h"

#include <windows.h>

#include <atomic>
#include <cstring>
#include <deque>
#include <list>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "board_simulator/windows_device_list.h"

namespace board_simulator {
namespace {

namespace device_list = windows_device_list;

// Listening instances per pipe. A host opens a pipe up to three times in a row
// (query, read, write) and a second process may do the same meanwhile; an open
// that finds no listening instance fails with ERROR_PIPE_BUSY at once, so there
// are enough for all of them before the completion thread makes new ones.
constexpr std::size_t kSpareInstances = 8;
constexpr DWORD kPipeBufferBytes = 4096;
// A host message longer than this is no report of any interface; it is dropped.
constexpr DWORD kReadBufferBytes = 4096;
// Reports waiting for a host that does not read (a write-only file, or a reader
// that fell behind): beyond this the oldest is dropped, as a HID handle drops its
// oldest input report when all its input buffers are full. 512 is the most
// input buffers a Windows HID handle can be given.
constexpr std::size_t kBacklogReports = 512;
// The completion key of the wake-up posted by stop().
constexpr ULONG_PTR kWakeKey = 1;

std::atomic<unsigned> servedTransports{0};

[[noreturn]] void systemFailure(const std::string& what) {
    throw std::runtime_error(what + " (Windows error " + std::to_string(GetLastError()) + ")");
}

std::u16string utf16Of(const std::string& utf8) {
    if (utf8.empty()) return {};
    const int units = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(units), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), units);
    return std::u16string(wide.begin(), wide.end());
}

}  // namespace

struct WindowsNamedPipes::State {
    struct Instance;

    enum class OperationKind { Connect, Read, Write };
    struct Operation {
        OVERLAPPED overlapped;  // first: a completion hands back its address
        Instance* instance;
        OperationKind kind;
    };

    struct Pipe;
    struct Instance {
        Pipe* pipe = nullptr;
        HANDLE handle = INVALID_HANDLE_VALUE;
        bool connected = false;
        bool closed = false;
        unsigned pending = 0;  // operations started whose completion has not come yet
        Operation connect{};
        Operation read{};
        Operation write{};
        std::vector<std::uint8_t> readBuffer = std::vector<std::uint8_t>(kReadBufferBytes);
        bool discarding = false;  // the rest of a message too long to be a report
        std::deque<Report> backlog;
        Report writing;
        bool writeInFlight = false;
    };

    struct Pipe {
        std::size_t board = 0;
        unsigned interface = 0;
        std::string path;
        bool numbered = false;
        std::size_t reportBytes = 0;
        // An exclusive board's interface: the pipe only takes host writes, so that
        // the host's read opens are refused (ERROR_ACCESS_DENIED) while its query
        // opens work; what it writes never reaches the board.
        bool exclusive = false;
        bool claimedName = false;
        std::list<std::unique_ptr<Instance>> instances;
    };

    TransportEvents* events = nullptr;
    std::string listName;
    HANDLE list = nullptr;
    void* listView = nullptr;
    HANDLE port = nullptr;
    std::thread completions;

    std::mutex lock;
    std::vector<Pipe> pipes;                           // lock; never resized once served
    std::vector<std::vector<std::size_t>> pipesOfBoard;  // lock
    std::vector<bool> present;                         // lock
    bool stopping = false;                             // lock

    void publish(const std::vector<ServedBoard>& boards, unsigned serve);
    void setPresent(std::size_t board, bool value);
    void topUpLocked(Pipe& pipe);
    bool listenLocked(Pipe& pipe);
    void startReadLocked(Instance& instance);
    void startWriteLocked(Instance& instance);
    void closeLocked(Instance& instance);
    void reapLocked(Pipe& pipe);
    bool finishedLocked() const;
    void run();
    void complete(Operation& operation, DWORD bytes, DWORD error);
    void tearDown();
};

void WindowsNamedPipes::State::publish(const std::vector<ServedBoard>& boards, unsigned serve) {
    std::uint32_t interfaceCount = 0;
    for (const ServedBoard& board : boards) interfaceCount += static_cast<std::uint32_t>(board.interfaces.size());
    const auto boardCount = static_cast<std::uint32_t>(boards.size());
    const std::size_t bytes = device_list::bytesFor(boardCount, interfaceCount);

    const std::string prefix = "vantrel-sim-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(serve);
    listName = "Local\\" + prefix + "-devices";
    list = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, static_cast<DWORD>(bytes),
                              listName.c_str());
    if (list == nullptr) systemFailure("cannot publish the device list " + listName);
    if (GetLastError() == ERROR_ALREADY_EXISTS) throw std::runtime_error(listName + " exists already");
    listView = MapViewOfFile(list, FILE_MAP_ALL_ACCESS, 0, 0, bytes);
    if (listView == nullptr) systemFailure("cannot write the device list");
    std::memset(listView, 0, bytes);

    auto* header = static_cast<device_list::Header*>(listView);
    auto* boardEntries = reinterpret_cast<device_list::Board*>(header + 1);
    auto* interfaceEntries = reinterpret_cast<device_list::Interface*>(boardEntries + boardCount);
    std::uint32_t nextInterface = 0;
    for (std::uint32_t b = 0; b < boardCount; ++b) {
        const ServedBoard& board = boards[b];
        device_list::Board& entry = boardEntries[b];
        entry.present = 1;
        entry.vendorId = board.vendorId;
        entry.productId = board.productId;
        entry.revision = board.revision;
        const std::u16string serial = utf16Of(board.serial).substr(0, device_list::kSerialUnits);
        entry.serialUnits = static_cast<std::uint16_t>(serial.size());
        std::copy(serial.begin(), serial.end(), entry.serial);
        entry.firstInterface = nextInterface;
        entry.interfaceCount = static_cast<std::uint32_t>(board.interfaces.size());
        present.push_back(true);
        pipesOfBoard.emplace_back();
        for (std::uint32_t i = 0; i < entry.interfaceCount; ++i) {
            const InterfaceLayout& layout = board.interfaces[i];
            Pipe pipe;
            pipe.board = b;
            pipe.interface = i;
            pipe.path = "\\\\.\\pipe\\" + prefix + "-" + std::to_string(b + 1) + "-" + std::to_string(i);
            pipe.numbered = layout.numbered;
            pipe.reportBytes = layout.reportBytes;
            pipe.exclusive = events->openRequested(b, i, true, true) == kErrorAccessDenied;

            device_list::Interface& published = interfaceEntries[nextInterface++];
            published.board = b;
            published.number = i;
            if (pipe.path.size() >= sizeof published.pipePath) throw std::runtime_error("pipe path too long: " + pipe.path);
            std::memcpy(published.pipePath, pipe.path.c_str(), pipe.path.size() + 1);
            published.usagePage = kVendorUsagePage;
            published.usage = layout.usage;
            published.inputReportBytes = static_cast<std::uint16_t>(layout.reportBytes);
            published.outputReportBytes = static_cast<std::uint16_t>(layout.reportBytes);
            published.featureReportBytes = 0;
            published.collections = 1;
            pipesOfBoard.back().push_back(pipes.size());
            pipes.push_back(std::move(pipe));
        }
    }
    header->boardCount = boardCount;
    header->interfaceCount = interfaceCount;
    header->version = device_list::kVersion;
    header->magic = device_list::kMagic;
}

void WindowsNamedPipes::State::setPresent(std::size_t board, bool value) {
    auto* header = static_cast<device_list::Header*>(listView);
    auto* entry = reinterpret_cast<device_list::Board*>(header + 1) + board;
    InterlockedExchange(reinterpret_cast<volatile LONG*>(&entry->present), value ? 1 : 0);
}

// A new listening instance; false when none could be made.
bool WindowsNamedPipes::State::listenLocked(Pipe& pipe) {
    auto instance = std::make_unique<Instance>();
    instance->pipe = &pipe;
    // The first instance claims the name: a pipe of that name that exists already
    // belongs to someone else.
    const DWORD openMode = (pipe.exclusive ? PIPE_ACCESS_INBOUND : PIPE_ACCESS_DUPLEX) | FILE_FLAG_OVERLAPPED |
                           (pipe.claimedName ? 0 : FILE_FLAG_FIRST_PIPE_INSTANCE);
    instance->handle = CreateNamedPipeA(pipe.path.c_str(), openMode, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                                        PIPE_UNLIMITED_INSTANCES, kPipeBufferBytes, kPipeBufferBytes, 0, nullptr);
    if (instance->handle == INVALID_HANDLE_VALUE) return false;
    pipe.claimedName = true;
    if (CreateIoCompletionPort(instance->handle, port, 0, 0) == nullptr) {
        CloseHandle(instance->handle);
        return false;
    }
    instance->connect.instance = instance->read.instance = instance->write.instance = instance.get();
    instance->connect.kind = OperationKind::Connect;
    instance->read.kind = OperationKind::Read;
    instance->write.kind = OperationKind::Write;
    Instance& added = *pipe.instances.emplace_back(std::move(instance));
    if (ConnectNamedPipe(added.handle, &added.connect.overlapped) || GetLastError() == ERROR_IO_PENDING) {
        ++added.pending;
    } else if (GetLastError() == ERROR_PIPE_CONNECTED) {
        // A host opened it between its creation and the connect: no completion comes.
        added.connected = true;
        startReadLocked(added);
    } else {
        closeLocked(added);
    }
    return !added.closed;
}

void WindowsNamedPipes::State::topUpLocked(Pipe& pipe) {
    if (stopping || !present[pipe.board]) return;
    std::size_t listening = 0;
    for (const auto& instance : pipe.instances) listening += !instance->connected && !instance->closed;
    while (listening < kSpareInstances && listenLocked(pipe)) {
        if (!pipe.instances.back()->connected) ++listening;
    }
}

void WindowsNamedPipes::State::startReadLocked(Instance& instance) {
    // A message longer than the buffer completes with ERROR_MORE_DATA, through the
    // port like any other completion.
    if (ReadFile(instance.handle, instance.readBuffer.data(), kReadBufferBytes, nullptr, &instance.read.overlapped) ||
        GetLastError() == ERROR_IO_PENDING || GetLastError() == ERROR_MORE_DATA) {
        ++instance.pending;
    } else {
        closeLocked(instance);
    }
}

void WindowsNamedPipes::State::startWriteLocked(Instance& instance) {
    if (instance.writeInFlight || instance.backlog.empty() || instance.closed) return;
    instance.writing = std::move(instance.backlog.front());
    instance.backlog.pop_front();
    if (WriteFile(instance.handle, instance.writing.data(), static_cast<DWORD>(instance.writing.size()), nullptr,
                  &instance.write.overlapped) ||
        GetLastError() == ERROR_IO_PENDING) {
        ++instance.pending;
        instance.writeInFlight = true;
    } else {
        closeLocked(instance);
    }
}

// The instance's pending operations are cancelled; their completions still come,
// and the instance is freed after the last of them. What the host has not read
// yet stays readable until it closes its file, as with a board that went away.
void WindowsNamedPipes::State::closeLocked(Instance& instance) {
    if (instance.closed) return;
    instance.closed = true;
    CancelIoEx(instance.handle, nullptr);
    CloseHandle(instance.handle);
    instance.handle = INVALID_HANDLE_VALUE;
    instance.backlog.clear();
}

void WindowsNamedPipes::State::reapLocked(Pipe& pipe) {
    pipe.instances.remove_if([](const std::unique_ptr<Instance>& instance) {
        return instance->closed && instance->pending == 0;
    });
}

bool WindowsNamedPipes::State::finishedLocked() const {
    if (!stopping) return false;
    for (const Pipe& pipe : pipes) {
        if (!pipe.instances.empty()) return false;
    }
    return true;
}

void WindowsNamedPipes::State::run() {
    for (;;) {
        DWORD bytes = 0;
        ULONG_PTR key = 0;
        OVERLAPPED* overlapped = nullptr;
        const BOOL succeeded = GetQueuedCompletionStatus(port, &bytes, &key, &overlapped, INFINITE);
        const DWORD error = succeeded ? ERROR_SUCCESS : GetLastError();
        if (overlapped != nullptr) complete(*reinterpret_cast<Operation*>(overlapped), bytes, error);
        std::lock_guard<std::mutex> guard(lock);
        if (finishedLocked()) return;
    }
}

void WindowsNamedPipes::State::complete(Operation& operation, DWORD bytes, DWORD error) {
    Report received;
    Pipe* receivedOn = nullptr;
    {
        std::lock_guard<std::mutex> guard(lock);
        Instance& instance = *operation.instance;
        Pipe& pipe = *instance.pipe;
        --instance.pending;
        if (operation.kind == OperationKind::Write) instance.writeInFlight = false;
        if (instance.closed) {
            reapLocked(pipe);
            return;
        }
        switch (operation.kind) {
            case OperationKind::Connect:
                if (error == ERROR_SUCCESS || error == ERROR_PIPE_CONNECTED) {
                    instance.connected = true;
                    startReadLocked(instance);
                } else {
                    closeLocked(instance);
                }
                topUpLocked(pipe);
                break;
            case OperationKind::Read:
                if (error == ERROR_MORE_DATA) {
                    instance.discarding = true;
                } else if (error != ERROR_SUCCESS) {
                    closeLocked(instance);  // the host closed its file
                    break;
                } else if (instance.discarding) {
                    instance.discarding = false;
                } else {
                    received.assign(instance.readBuffer.begin(), instance.readBuffer.begin() + bytes);
                    receivedOn = &pipe;
                }
                startReadLocked(instance);
                break;
            case OperationKind::Write:
                if (error != ERROR_SUCCESS) {
                    closeLocked(instance);
                } else {
                    startWriteLocked(instance);
                }
                break;
        }
        reapLocked(pipe);
    }
    // Windows refuses a write that is not one whole output report under a report
    // ID the interface can have; the pipe took it, so it is dropped here.
    if (receivedOn == nullptr || receivedOn->exclusive || received.size() != receivedOn->reportBytes ||
        (received[0] == 0) == receivedOn->numbered) {
        return;
    }
    events->reportReceived(receivedOn->board, receivedOn->interface, received);
}

void WindowsNamedPipes::State::tearDown() {
    {
        std::lock_guard<std::mutex> guard(lock);
        stopping = true;
        for (Pipe& pipe : pipes) {
            for (auto& instance : pipe.instances) closeLocked(*instance);
            reapLocked(pipe);
        }
    }
    if (completions.joinable()) {
        PostQueuedCompletionStatus(port, 0, kWakeKey, nullptr);
        completions.join();
    }
    if (port != nullptr) CloseHandle(port);
    if (listView != nullptr) UnmapViewOfFile(listView);
    if (list != nullptr) CloseHandle(list);
    port = list = nullptr;
    listView = nullptr;
}

WindowsNamedPipes::WindowsNamedPipes() : state_(std::make_unique<State>()) {}

WindowsNamedPipes::~WindowsNamedPipes() { stop(); }

void WindowsNamedPipes::start(const std::vector<ServedBoard>& boards, TransportEvents& events) {
    if (state_->port != nullptr || state_->list != nullptr) throw std::logic_error("named pipes are served only once");
    state_->events = &events;
    try {
        state_->port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1);
        if (state_->port == nullptr) systemFailure("cannot make a completion port");
        state_->publish(boards, servedTransports++);
        std::lock_guard<std::mutex> guard(state_->lock);
        for (State::Pipe& pipe : state_->pipes) {
            state_->topUpLocked(pipe);
            if (pipe.instances.empty()) systemFailure("cannot serve " + pipe.path);
        }
        state_->completions = std::thread([state = state_.get()] { state->run(); });
    } catch (...) {
        state_->tearDown();
        throw;
    }
}

void WindowsNamedPipes::stop() { state_->tearDown(); }

void WindowsNamedPipes::send(std::size_t board, unsigned interface, const Report& report) {
    std::lock_guard<std::mutex> guard(state_->lock);
    if (state_->stopping || board >= state_->present.size() || !state_->present[board] ||
        interface >= state_->pipesOfBoard[board].size() || report.empty()) {
        return;
    }
    State::Pipe& pipe = state_->pipes[state_->pipesOfBoard[board][interface]];
    if (pipe.exclusive) return;
    Report padded = report;
    padded.resize(pipe.reportBytes, 0);
    for (auto& instance : pipe.instances) {
        if (!instance->connected || instance->closed) continue;
        instance->backlog.push_back(padded);
        if (instance->backlog.size() > kBacklogReports) instance->backlog.pop_front();
        state_->startWriteLocked(*instance);
    }
    state_->reapLocked(pipe);
}

void WindowsNamedPipes::unplug(std::size_t board) {
    std::lock_guard<std::mutex> guard(state_->lock);
    if (board >= state_->present.size() || !state_->present[board]) return;
    state_->present[board] = false;
    // Unlisted first, so that nobody finds a board whose pipes are closing.
    state_->setPresent(board, false);
    for (std::size_t index : state_->pipesOfBoard[board]) {
        State::Pipe& pipe = state_->pipes[index];
        for (auto& instance : pipe.instances) state_->closeLocked(*instance);
        state_->reapLocked(pipe);
    }
}

std::vector<std::pair<std::string, std::string>> WindowsNamedPipes::environment() const {
    return {{device_list::kDeviceListVariable, state_->listName}};
}

}  // namespace board_simulator
