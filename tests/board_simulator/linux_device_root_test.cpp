// The Linux transport: the device root it lays out, the node protocol spoken
// directly over its sockets, and its removal.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "board_simulator/linux_device_root.h"
#include "board_simulator/simulator.h"
#include "standin/device_root.h"

namespace {

namespace fs = std::filesystem;
namespace protocol = standin::node_protocol;
using namespace board_simulator;

std::string contentOf(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

struct Served {
    explicit Served(std::vector<BoardDescription> boards) {
        auto transport = std::make_unique<LinuxDeviceRoot>();
        LinuxDeviceRoot* served = transport.get();
        simulator = std::make_unique<Simulator>(std::move(boards), std::move(transport));
        rootPath = served->root();
    }
    std::unique_ptr<Simulator> simulator;
    fs::path rootPath;
};

BoardDescription board(const std::string& serial) {
    BoardDescription description = defaultBoard();
    description.serial = serial;
    description.revision = 0x1501;
    return description;
}

// A raw connection to a node, opened with the node protocol.
int connectNode(const fs::path& node, std::uint32_t access, std::uint32_t& error) {
    const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, node.c_str(), sizeof address.sun_path - 1);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    const protocol::OpenRequest request{protocol::kMagic, protocol::kVersion, access};
    send(fd, &request, sizeof request, MSG_NOSIGNAL);
    protocol::OpenReply reply{};
    pollfd watched{fd, POLLIN, 0};
    if (poll(&watched, 1, 10000) != 1 || recv(fd, &reply, sizeof reply, 0) != sizeof reply) {
        close(fd);
        return -1;
    }
    error = reply.error;
    return fd;
}

Report receiveMessage(int fd) {
    pollfd watched{fd, POLLIN, 0};
    if (poll(&watched, 1, 10000) != 1) return {};
    Report message(64);
    const ssize_t count = recv(fd, message.data(), message.size(), 0);
    message.resize(count > 0 ? static_cast<std::size_t>(count) : 0);
    return message;
}

TEST(LinuxDeviceRoot, LaysTheBoardsOutAsLinuxLaysOutUsbHidDevices) {
    BoardDescription second = board("00002A01");
    second.productId = 0x03EA;
    Served served({board("00001F3C"), second});
    const fs::path& root = served.rootPath;
    ASSERT_FALSE(root.empty());
    EXPECT_EQ(served.simulator->environment(),
              (std::vector<std::pair<std::string, std::string>>{{"VANTREL_DEVICE_ROOT", root.string()}}));

    for (int n = 0; n < 4; ++n) {
        const fs::path link = root / "sys/class/hidraw" / ("hidraw" + std::to_string(n));
        ASSERT_TRUE(fs::is_symlink(link));
        EXPECT_TRUE(fs::read_symlink(link).is_relative());
        EXPECT_TRUE(fs::is_symlink(link / "device"));
        EXPECT_TRUE(fs::is_socket(root / "dev" / ("hidraw" + std::to_string(n))));
    }
    const fs::path hidDevice = fs::canonical(root / "sys/class/hidraw/hidraw3/device");
    EXPECT_EQ(hidDevice.filename(), "0003:07C0:03EA.0004");
    const std::string uevent = contentOf(hidDevice / "uevent");
    EXPECT_NE(uevent.find("HID_ID=0003:000007C0:000003EA\n"), std::string::npos) << uevent;
    EXPECT_NE(uevent.find("HID_UNIQ=00002A01\n"), std::string::npos) << uevent;
    const fs::path usbDevice = hidDevice.parent_path().parent_path();
    EXPECT_EQ(usbDevice.filename(), "1-2");
    EXPECT_EQ(contentOf(usbDevice / "bcdDevice"), "1501\n");
    EXPECT_EQ(contentOf(usbDevice / "serial"), "00002A01\n");
    EXPECT_EQ(contentOf(hidDevice / "report_descriptor").size(),
              interfacesOf(second)[1].reportDescriptor.size());

    served.simulator.reset();
    EXPECT_FALSE(fs::exists(root)) << "everything is removed when the simulator stops";
}

TEST(LinuxDeviceRoot, SpeaksTheNodeProtocol) {
    BoardDescription exclusive = board("2");
    exclusive.faults.exclusive = true;
    Served served({board("1"), exclusive});
    const fs::path dev = served.rootPath / "dev";

    std::uint32_t error = 99;
    EXPECT_GE(connectNode(dev / "hidraw3", protocol::kAccessRead, error), 0);
    EXPECT_EQ(error, kErrorAccessDenied);

    const int pipe0 = connectNode(dev / "hidraw0", protocol::kAccessRead | protocol::kAccessWrite, error);
    ASSERT_GE(pipe0, 0);
    EXPECT_EQ(error, 0u);
    const int pipe1 = connectNode(dev / "hidraw1", protocol::kAccessRead | protocol::kAccessWrite, error);
    ASSERT_GE(pipe1, 0);
    // Reports of the unnumbered pipe 0 travel without their ID, as hidraw reads them.
    served.simulator->sendReport(0, kPipe0, {0, 1, 2, 3, 4});
    EXPECT_EQ(receiveMessage(pipe0), (Report{1, 2, 3, 4}));

    const Report on = {0x01, 1, 0, 0, 0, 0, 0, 0};
    const Report read = {0x03, 1, 0xA1, 0, 0, 0, 0, 0};
    send(pipe1, on.data(), on.size(), MSG_NOSIGNAL);
    send(pipe1, read.data(), read.size(), MSG_NOSIGNAL);
    EXPECT_EQ(receiveMessage(pipe1), (Report{0x03, 1, 0xFF, 0, 0, 0, 0, 0}));
    EXPECT_EQ(served.simulator->received(0, kPipe1), (std::vector<Report>{on, read}));

    served.simulator->unplug(0);
    EXPECT_TRUE(receiveMessage(pipe1).empty()) << "the connection of a vanished board is closed";
    EXPECT_FALSE(fs::exists(served.rootPath / "sys/class/hidraw/hidraw1"));
    EXPECT_FALSE(fs::exists(dev / "hidraw1"));
    EXPECT_TRUE(fs::exists(dev / "hidraw2")) << "the other board stays";
    close(pipe0);
    close(pipe1);
}

TEST(LinuxDeviceRoot, ClosesConnectionsThatDoNotSpeakTheProtocol) {
    Served served({board("1")});
    const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, (served.rootPath / "dev/hidraw1").c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    const char garbage[] = "hello";
    send(fd, garbage, sizeof garbage, MSG_NOSIGNAL);
    EXPECT_TRUE(receiveMessage(fd).empty());
    close(fd);
}

}  // namespace
