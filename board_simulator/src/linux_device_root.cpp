// The Linux transport: a temporary device root with a Unix socket per node.
//
// One event-loop thread accepts connections, answers their open requests and takes
// the reports they write. Reports to the host are sent by whichever thread the
// simulator sends from, under the transport's lock, which also covers accepting an
// open: a handle gets every report sent after its open was answered, and none
// before the answer.
#include "board_simulator/linux_device_root.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "standin/device_root.h"

namespace board_simulator {
namespace {

namespace fs = std::filesystem;
namespace protocol = standin::node_protocol;

constexpr const char* kHostController = "sys/devices/platform/vantrel-sim";
constexpr unsigned kHidrawMajor = 241;
// Absorbs bursts of reports while a host's pump thread is not scheduled.
constexpr int kSendBufferBytes = 1 << 20;
constexpr std::size_t kMaxMessageBytes = 0x10000;
constexpr std::uint64_t kWakeId = ~std::uint64_t{0};

std::string hex4(unsigned value, bool upper) {
    char text[8];
    std::snprintf(text, sizeof text, upper ? "%04X" : "%04x", value & 0xFFFF);
    return text;
}

void writeFile(const fs::path& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary);
    out << content;
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

[[noreturn]] void systemFailure(const std::string& what) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

}  // namespace

struct LinuxDeviceRoot::State {
    struct Node {
        std::size_t board;
        unsigned interface;
        bool numbered;
        int listener = -1;
        fs::path socketPath;
        fs::path classLink;
    };
    struct Connection {
        int fd;
        std::size_t node;
        bool opened = false;
        bool reads = false;
    };

    fs::path root;
    std::vector<Node> nodes;                          // listener ids are node indices
    std::vector<std::vector<std::size_t>> nodesOfBoard;
    std::vector<fs::path> boardDirectories;
    std::vector<bool> present;
    TransportEvents* events = nullptr;
    int epoll = -1;
    int wake = -1;
    std::thread loop;

    std::mutex lock;
    std::map<std::uint64_t, Connection> connections;  // lock
    std::uint64_t nextConnectionId = 0;               // lock; set past the node ids
    bool stopping = false;                            // lock

    void build(const std::vector<ServedBoard>& boards);
    void listen(Node& node);
    void watch(int fd, std::uint64_t id);
    void run();
    void acceptConnections(std::size_t node);
    void serveConnection(std::uint64_t id);
    void answerOpen(std::uint64_t id, const std::vector<std::uint8_t>& message);
    void closeConnectionLocked(std::map<std::uint64_t, Connection>::iterator connection);
    void withdrawLocked(std::size_t board);
    void tearDown();
};

void LinuxDeviceRoot::State::build(const std::vector<ServedBoard>& boards) {
    const char* temporary = std::getenv("TMPDIR");
    std::string pattern = std::string(temporary != nullptr && *temporary != '\0' ? temporary : "/tmp") +
                          "/vantrel-sim-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) systemFailure("cannot make a device root in " + pattern);
    root = pattern;
    const fs::path controller = root / kHostController;
    fs::create_directories(root / "sys/class/hidraw");
    fs::create_directories(root / "dev");
    fs::create_directories(controller / "usb1");
    writeFile(controller / "uevent", "DRIVER=vantrel-sim\n");
    writeFile(controller / "usb1/uevent", "DEVTYPE=usb_device\n");

    unsigned hidInstance = 0;
    for (std::size_t b = 0; b < boards.size(); ++b) {
        const ServedBoard& board = boards[b];
        const std::string port = "1-" + std::to_string(b + 1);
        const fs::path usbDevice = controller / "usb1" / port;
        fs::create_directories(usbDevice);
        writeFile(usbDevice / "idVendor", hex4(board.vendorId, false) + "\n");
        writeFile(usbDevice / "idProduct", hex4(board.productId, false) + "\n");
        writeFile(usbDevice / "bcdDevice", hex4(board.revision, false) + "\n");
        writeFile(usbDevice / "manufacturer", "Vantrel\n");
        writeFile(usbDevice / "product", "Vantrel controller board\n");
        if (!board.serial.empty()) writeFile(usbDevice / "serial", board.serial + "\n");
        writeFile(usbDevice / "uevent", "DEVTYPE=usb_device\n");
        boardDirectories.push_back(usbDevice);
        present.push_back(true);
        nodesOfBoard.emplace_back();

        for (unsigned i = 0; i < board.interfaces.size(); ++i) {
            const InterfaceLayout& layout = board.interfaces[i];
            const std::string interfaceName = port + ":1." + std::to_string(i);
            const fs::path usbInterface = usbDevice / interfaceName;
            const std::string hidName = "0003:" + hex4(board.vendorId, true) + ":" + hex4(board.productId, true) +
                                        "." + hex4(++hidInstance, true);
            const fs::path hidDevice = usbInterface / hidName;
            const std::string hidraw = "hidraw" + std::to_string(nodes.size());
            const fs::path hidrawDevice = hidDevice / "hidraw" / hidraw;
            fs::create_directories(hidrawDevice);
            writeFile(usbInterface / "bInterfaceNumber", (i < 10 ? "0" : "") + std::to_string(i) + "\n");
            writeFile(usbInterface / "bInterfaceClass", "03\n");
            writeFile(usbInterface / "uevent", "DEVTYPE=usb_interface\nINTERFACE=3/0/0\n");
            writeFile(hidDevice / "uevent",
                      "DRIVER=hid-generic\nHID_ID=0003:0000" + hex4(board.vendorId, true) + ":0000" +
                          hex4(board.productId, true) + "\nHID_NAME=Vantrel controller board\nHID_PHYS=usb-vantrel-sim-" +
                          std::to_string(b + 1) + "/input" + std::to_string(i) + "\nHID_UNIQ=" + board.serial +
                          "\nMODALIAS=hid:b0003g0001v0000" + hex4(board.vendorId, true) + "p0000" +
                          hex4(board.productId, true) + "\n");
            writeFile(hidDevice / "report_descriptor",
                      std::string(layout.reportDescriptor.begin(), layout.reportDescriptor.end()));
            writeFile(hidrawDevice / "dev", std::to_string(kHidrawMajor) + ":" + std::to_string(nodes.size()) + "\n");
            writeFile(hidrawDevice / "uevent", "MAJOR=" + std::to_string(kHidrawMajor) + "\nMINOR=" +
                                                   std::to_string(nodes.size()) + "\nDEVNAME=" + hidraw + "\n");
            fs::create_directory_symlink("../../../" + hidName, hidrawDevice / "device");
            Node node{b, i, layout.numbered, -1, root / "dev" / hidraw, root / "sys/class/hidraw" / hidraw};
            fs::create_directory_symlink(fs::path("../..") / fs::relative(hidrawDevice, root / "sys"), node.classLink);
            nodesOfBoard.back().push_back(nodes.size());
            nodes.push_back(std::move(node));
        }
    }
    for (Node& node : nodes) listen(node);
}

void LinuxDeviceRoot::State::listen(Node& node) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string path = node.socketPath.string();
    if (path.size() >= sizeof address.sun_path) {
        throw std::runtime_error("device root path too long for a socket: " + path);
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    node.listener = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (node.listener < 0) systemFailure("cannot make a socket");
    if (bind(node.listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(node.listener, SOMAXCONN) != 0) {
        systemFailure("cannot serve " + path);
    }
}

void LinuxDeviceRoot::State::watch(int fd, std::uint64_t id) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = id;
    if (epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &event) != 0) systemFailure("cannot watch a socket");
}

void LinuxDeviceRoot::State::run() {
    epoll_event ready[64];
    for (;;) {
        const int count = epoll_wait(epoll, ready, 64, -1);
        if (count < 0 && errno == EINTR) continue;
        if (count < 0) return;
        for (int i = 0; i < count; ++i) {
            const std::uint64_t id = ready[i].data.u64;
            if (id == kWakeId) {
                std::lock_guard<std::mutex> guard(lock);
                if (stopping) return;
            } else if (id < nodes.size()) {
                acceptConnections(static_cast<std::size_t>(id));
            } else {
                serveConnection(id);
            }
        }
    }
}

void LinuxDeviceRoot::State::acceptConnections(std::size_t nodeIndex) {
    std::lock_guard<std::mutex> guard(lock);
    const Node& node = nodes[nodeIndex];
    if (node.listener < 0) return;
    for (;;) {
        const int fd = accept4(node.listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &kSendBufferBytes, sizeof kSendBufferBytes);
        const std::uint64_t id = nextConnectionId++;
        connections.emplace(id, Connection{fd, nodeIndex});
        watch(fd, id);
    }
}

void LinuxDeviceRoot::State::closeConnectionLocked(std::map<std::uint64_t, Connection>::iterator connection) {
    shutdown(connection->second.fd, SHUT_RDWR);
    close(connection->second.fd);
    connections.erase(connection);
}

void LinuxDeviceRoot::State::serveConnection(std::uint64_t id) {
    std::vector<std::vector<std::uint8_t>> messages;
    std::size_t nodeIndex;
    bool opened;
    {
        std::lock_guard<std::mutex> guard(lock);
        auto connection = connections.find(id);
        if (connection == connections.end()) return;
        nodeIndex = connection->second.node;
        opened = connection->second.opened;
        std::vector<std::uint8_t> buffer(kMaxMessageBytes);
        for (;;) {
            const ssize_t count = recv(connection->second.fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
            if (count < 0 && errno == EINTR) continue;
            if (count < 0 && errno == EAGAIN) break;
            if (count <= 0) {
                closeConnectionLocked(connection);
                break;
            }
            messages.emplace_back(buffer.begin(), buffer.begin() + count);
            if (!opened) break;  // the open request comes alone
        }
    }
    if (messages.empty()) return;
    if (!opened) {
        answerOpen(id, messages.front());
        return;
    }
    const Node& node = nodes[nodeIndex];
    for (const std::vector<std::uint8_t>& message : messages) events->reportReceived(node.board, node.interface, message);
}

void LinuxDeviceRoot::State::answerOpen(std::uint64_t id, const std::vector<std::uint8_t>& message) {
    protocol::OpenRequest request{};
    const bool wellFormed = message.size() == sizeof request;
    if (wellFormed) std::memcpy(&request, message.data(), sizeof request);
    std::size_t nodeIndex;
    {
        std::lock_guard<std::mutex> guard(lock);
        auto connection = connections.find(id);
        if (connection == connections.end()) return;
        nodeIndex = connection->second.node;
        if (!wellFormed || request.magic != protocol::kMagic || request.version != protocol::kVersion) {
            closeConnectionLocked(connection);
            return;
        }
    }
    const Node& node = nodes[nodeIndex];
    const bool reads = (request.access & protocol::kAccessRead) != 0;
    const std::uint32_t error =
        events->openRequested(node.board, node.interface, reads, (request.access & protocol::kAccessWrite) != 0);
    std::lock_guard<std::mutex> guard(lock);
    auto connection = connections.find(id);
    if (connection == connections.end()) return;
    const protocol::OpenReply reply{protocol::kMagic, error};
    const bool answered = ::send(connection->second.fd, &reply, sizeof reply, MSG_DONTWAIT | MSG_NOSIGNAL) ==
                          static_cast<ssize_t>(sizeof reply);
    if (!answered || error != 0) {
        closeConnectionLocked(connection);
        return;
    }
    connection->second.opened = true;
    connection->second.reads = reads;
}

void LinuxDeviceRoot::State::withdrawLocked(std::size_t board) {
    present[board] = false;
    std::error_code ignored;
    for (std::size_t nodeIndex : nodesOfBoard[board]) {
        Node& node = nodes[nodeIndex];
        // Unlisted first, so that nobody finds a node whose connections are closing.
        fs::remove(node.classLink, ignored);
        if (node.listener >= 0) close(node.listener);
        node.listener = -1;
        fs::remove(node.socketPath, ignored);
        for (auto connection = connections.begin(); connection != connections.end();) {
            auto next = std::next(connection);
            if (connection->second.node == nodeIndex) closeConnectionLocked(connection);
            connection = next;
        }
    }
    fs::remove_all(boardDirectories[board], ignored);
}

void LinuxDeviceRoot::State::tearDown() {
    if (loop.joinable()) {
        {
            std::lock_guard<std::mutex> guard(lock);
            stopping = true;
        }
        const std::uint64_t one = 1;
        (void)!write(wake, &one, sizeof one);
        loop.join();
    }
    {
        std::lock_guard<std::mutex> guard(lock);
        for (std::size_t board = 0; board < present.size(); ++board) {
            if (present[board]) withdrawLocked(board);
        }
        while (!connections.empty()) closeConnectionLocked(connections.begin());
    }
    if (epoll >= 0) close(epoll);
    if (wake >= 0) close(wake);
    epoll = wake = -1;
    if (!root.empty()) {
        std::error_code ignored;
        fs::remove_all(root, ignored);
        root.clear();
    }
}

LinuxDeviceRoot::LinuxDeviceRoot() : state_(std::make_unique<State>()) {}

LinuxDeviceRoot::~LinuxDeviceRoot() { stop(); }

void LinuxDeviceRoot::start(const std::vector<ServedBoard>& boards, TransportEvents& events) {
    if (!state_->root.empty() || !state_->nodes.empty()) throw std::logic_error("a device root is served only once");
    state_->events = &events;
    try {
        state_->build(boards);
        state_->nextConnectionId = state_->nodes.size();
        state_->epoll = epoll_create1(EPOLL_CLOEXEC);
        state_->wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (state_->epoll < 0 || state_->wake < 0) systemFailure("cannot wait for sockets");
        state_->watch(state_->wake, kWakeId);
        for (std::size_t i = 0; i < state_->nodes.size(); ++i) state_->watch(state_->nodes[i].listener, i);
        state_->loop = std::thread([state = state_.get()] { state->run(); });
    } catch (const fs::filesystem_error& error) {
        state_->tearDown();
        throw std::runtime_error(std::string("cannot build the device root: ") + error.what());
    } catch (...) {
        state_->tearDown();
        throw;
    }
}

void LinuxDeviceRoot::stop() { state_->tearDown(); }

void LinuxDeviceRoot::send(std::size_t board, unsigned interface, const Report& report) {
    std::lock_guard<std::mutex> guard(state_->lock);
    if (board >= state_->present.size() || !state_->present[board] ||
        interface >= state_->nodesOfBoard[board].size() || report.empty()) {
        return;
    }
    const std::size_t nodeIndex = state_->nodesOfBoard[board][interface];
    // hidraw leaves the report ID out of reports of an interface without IDs.
    const std::size_t idBytes = state_->nodes[nodeIndex].numbered ? 0 : 1;
    for (const auto& [id, connection] : state_->connections) {
        if (connection.node != nodeIndex || !connection.opened || !connection.reads) continue;
        // A host that lets a megabyte of reports pile up loses the newest; a closed
        // one is noticed by the event loop.
        (void)!::send(connection.fd, report.data() + idBytes, report.size() - idBytes, MSG_DONTWAIT | MSG_NOSIGNAL);
    }
}

void LinuxDeviceRoot::unplug(std::size_t board) {
    std::lock_guard<std::mutex> guard(state_->lock);
    if (board < state_->present.size() && state_->present[board]) state_->withdrawLocked(board);
}

std::vector<std::pair<std::string, std::string>> LinuxDeviceRoot::environment() const {
    return {{standin::kDeviceRootVariable, state_->root.string()}};
}

std::string LinuxDeviceRoot::root() const { return state_->root.string(); }

}  // namespace board_simulator
