// The stand-in over a hand-made device root that mirrors a real machine's sysfs
// for one USB keyboard, relative links and all. Its node is a character device: a
// pseudo-terminal in raw mode, which moves bytes as a hidraw node moves reports.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "hid_walk.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<unsigned char>;

const Bytes kBootKeyboard = {
    0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0x05, 0x07, 0x19, 0xE0, 0x29, 0xE7, 0x15, 0x00, 0x25, 0x01,
    0x75, 0x01, 0x95, 0x08, 0x81, 0x02, 0x95, 0x01, 0x75, 0x08, 0x81, 0x01, 0x95, 0x05, 0x75, 0x01,
    0x05, 0x08, 0x19, 0x01, 0x29, 0x05, 0x91, 0x02, 0x95, 0x01, 0x75, 0x03, 0x91, 0x01, 0x95, 0x06,
    0x75, 0x08, 0x15, 0x00, 0x25, 0x65, 0x05, 0x07, 0x19, 0x00, 0x29, 0x65, 0x81, 0x00, 0xC0,
};

void writeFile(const fs::path& path, const std::string& content) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
}

class SysfsMirror : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/vantrel-mirror-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master_, 0);
        ASSERT_EQ(grantpt(master_), 0);
        ASSERT_EQ(unlockpt(master_), 0);
        const std::string terminal = ptsname(master_);
        // Raw mode, set through a descriptor of the terminal side that stays open
        // until the stand-in has opened its own.
        terminalSide_ = open(terminal.c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(terminalSide_, 0);
        termios mode{};
        ASSERT_EQ(tcgetattr(terminalSide_, &mode), 0);
        cfmakeraw(&mode);
        ASSERT_EQ(tcsetattr(terminalSide_, TCSANOW, &mode), 0);

        const fs::path usbDevice = root_ / "sys/devices/pci0000:00/0000:00:14.0/usb1/1-2";
        writeFile(usbDevice / "idVendor", "04d9\n");
        writeFile(usbDevice / "idProduct", "1503\n");
        writeFile(usbDevice / "bcdDevice", "0110\n");
        writeFile(usbDevice / "serial", "KB-0042\n");
        writeFile(usbDevice / "manufacturer", "Holtek\n");
        writeFile(usbDevice / "uevent", "MAJOR=189\nMINOR=1\nDEVNAME=bus/usb/001/002\nDEVTYPE=usb_device\n");
        const fs::path usbInterface = usbDevice / "1-2:1.0";
        writeFile(usbInterface / "bInterfaceNumber", "00\n");
        writeFile(usbInterface / "bInterfaceClass", "03\n");
        writeFile(usbInterface / "uevent", "DEVTYPE=usb_interface\nDRIVER=usbhid\nINTERFACE=3/1/1\n");
        const fs::path hidDevice = usbInterface / "0003:04D9:1503.0001";
        writeFile(hidDevice / "uevent",
                  "DRIVER=hid-generic\nHID_ID=0003:000004D9:00001503\nHID_NAME=USB Keyboard\n"
                  "HID_PHYS=usb-0000:00:14.0-2/input0\nHID_UNIQ=KB-0042\n"
                  "MODALIAS=hid:b0003g0001v000004D9p00001503\n");
        writeFile(hidDevice / "report_descriptor", std::string(kBootKeyboard.begin(), kBootKeyboard.end()));
        fs::create_directory_symlink("../../../../../../../bus/hid/drivers/hid-generic", hidDevice / "driver");
        fs::create_directory_symlink("../../../../../../../bus/hid", hidDevice / "subsystem");
        const fs::path hidraw = hidDevice / "hidraw/hidraw2";
        writeFile(hidraw / "dev", "243:2\n");
        writeFile(hidraw / "uevent", "MAJOR=243\nMINOR=2\nDEVNAME=hidraw2\n");
        fs::create_directory_symlink("../../../0003:04D9:1503.0001", hidraw / "device");
        fs::create_directory_symlink("../../../../../../../../../class/hidraw", hidraw / "subsystem");
        fs::create_directories(root_ / "sys/class/hidraw");
        fs::create_directories(root_ / "sys/bus/hid/drivers/hid-generic");
        fs::create_directories(root_ / "sys/bus/hid/devices");
        fs::create_directory_symlink(
            "../../devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0/0003:04D9:1503.0001/hidraw/hidraw2",
            root_ / "sys/class/hidraw/hidraw2");
        fs::create_directory_symlink("../../../devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0/0003:04D9:1503.0001",
                                     root_ / "sys/bus/hid/devices/0003:04D9:1503.0001");
        // Leftovers that a careful enumeration passes over: a link whose device has
        // gone, and a HID device out of the root.
        fs::create_directory_symlink("../../devices/pci0000:00/0000:00:14.0/usb1/1-3/gone/hidraw/hidraw10",
                                     root_ / "sys/class/hidraw/hidraw10");
        outside_ = root_.string() + "-outside";
        writeFile(outside_ / "hid/uevent", "HID_ID=0003:000004D9:00001503\n");
        fs::create_directories(outside_ / "hid/hidraw/hidraw11");
        fs::create_directory_symlink("../../../hid", outside_ / "hid/hidraw/hidraw11/device");
        fs::create_directory_symlink(outside_ / "hid/hidraw/hidraw11", root_ / "sys/class/hidraw/hidraw11");
        fs::create_directories(root_ / "dev");
        fs::create_symlink(terminal, root_ / "dev/hidraw2");

        setenv("VANTREL_DEVICE_ROOT", root_.c_str(), 1);
        ASSERT_TRUE(hid.bind());
    }

    void TearDown() override {
        unsetenv("VANTREL_DEVICE_ROOT");
        if (terminalSide_ >= 0) close(terminalSide_);
        if (master_ >= 0) close(master_);
        std::error_code ignored;
        fs::remove_all(root_, ignored);
        fs::remove_all(outside_, ignored);
    }

    fs::path root_;
    fs::path outside_;
    int master_ = -1;
    int terminalSide_ = -1;
    hid_test::HidFunctions hid;
};

TEST_F(SysfsMirror, EnumeratesTheKeyboardWithItsAttributesCapsAndSerial) {
    const std::vector<hid_test::FoundInterface> found = hid_test::walkHidInterfaces(hid);
    ASSERT_EQ(found.size(), 1u);
    const hid_test::FoundInterface& keyboard = found[0];
    EXPECT_EQ(keyboard.path, root_.string() + "/dev/hidraw2");
    EXPECT_TRUE(keyboard.openedReadWrite);
    EXPECT_EQ(keyboard.attributes.VendorID, 0x04D9);
    EXPECT_EQ(keyboard.attributes.ProductID, 0x1503);
    EXPECT_EQ(keyboard.attributes.VersionNumber, 0x0110);
    EXPECT_EQ(keyboard.caps.UsagePage, 0x01);
    EXPECT_EQ(keyboard.caps.Usage, 0x06);
    EXPECT_EQ(keyboard.caps.InputReportByteLength, 9);
    EXPECT_EQ(keyboard.caps.OutputReportByteLength, 2);
    EXPECT_EQ(hid_test::serialText(keyboard), "KB-0042");

    // HID device, USB interface, USB device, root hub, PCI controller, PCI root.
    DEVINST node = keyboard.devInst;
    int levels = 0;
    for (DEVINST parent = 0; hid.getParent(&parent, node, 0) == CR_SUCCESS; node = parent) ++levels;
    EXPECT_EQ(levels, 5);
}

TEST_F(SysfsMirror, ConvertsReportsOfACharacterDeviceWithoutReportIds) {
    HANDLE reader = hid_test::openPipe(root_.string() + "/dev/hidraw2", GENERIC_READ);
    HANDLE writer = hid_test::openPipe(root_.string() + "/dev/hidraw2", GENERIC_WRITE);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    close(terminalSide_);
    terminalSide_ = -1;

    // hidraw reads unnumbered reports without the ID; the buffer gets ID 0 first.
    const Bytes keys = {0x02, 0x00, 0x04, 0x05, 0, 0, 0, 0};
    ASSERT_EQ(write(master_, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
    hid_test::IoResult read = hid_test::readReport(reader, 9);
    ASSERT_TRUE(read.completed);
    EXPECT_EQ(read.data, (Bytes{0x00, 0x02, 0x00, 0x04, 0x05, 0, 0, 0, 0}));

    // hidraw wants the ID first on writes, as Windows buffers have it.
    EXPECT_EQ(hid_test::writeReport(writer, {0x00, 0x01}).error, static_cast<DWORD>(ERROR_SUCCESS));
    Bytes led(2);
    ASSERT_EQ(::read(master_, led.data(), led.size()), 2);
    EXPECT_EQ(led, (Bytes{0x00, 0x01}));

    // The device end goes away: reads fail as for a device that is no longer connected.
    close(master_);
    master_ = -1;
    EXPECT_EQ(hid_test::readReport(reader, 9).error, static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
    CloseHandle(reader);
    CloseHandle(writer);
}

TEST_F(SysfsMirror, QueriesNeverTouchTheNode) {
    fs::remove(root_ / "dev/hidraw2");
    fs::create_directories(root_ / "dev/hidraw2");  // not a device at all
    HANDLE query = CreateFileA((root_.string() + "/dev/hidraw2").c_str(), 0, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(query, INVALID_HANDLE_VALUE);
    HIDD_ATTRIBUTES attributes{};
    EXPECT_TRUE(hid.getAttributes(query, &attributes));
    EXPECT_EQ(attributes.ProductID, 0x1503);
    CloseHandle(query);
    EXPECT_EQ(hid_test::openPipe(root_.string() + "/dev/hidraw2", GENERIC_READ), INVALID_HANDLE_VALUE);
}

TEST_F(SysfsMirror, ADescriptorThatCannotBeInterpretedMakesTheDeviceUnusable) {
    writeFile(root_ / "sys/class/hidraw/hidraw2/device/report_descriptor", "\x05\x01\xA1\x01");
    EXPECT_EQ(CreateFileA((root_.string() + "/dev/hidraw2").c_str(), 0, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE));
}

}  // namespace
