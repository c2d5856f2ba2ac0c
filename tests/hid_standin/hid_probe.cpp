// A second process for the tests: walks the HID interfaces of the device root it
// was pointed at and prints one line per interface. With "exchange" it then
// switches the first board's I2C mode on, sets EEPROM device 1's pointer to 0x80,
// reads two bytes and prints the answers; with "vanish" it starts a read on the
// first board's pipe 1, says "pending" and prints how the read ended.
#include <cstdio>
#include <cstring>

#include "hid_walk.h"

namespace {

void printReport(const char* label, const std::vector<unsigned char>& report) {
    std::printf("%s", label);
    for (unsigned char byte : report) std::printf(" %02X", byte);
    std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
    hid_test::HidFunctions hid;
    if (!hid.bind()) return 3;
    const std::vector<hid_test::FoundInterface> found = hid_test::walkHidInterfaces(hid);
    for (const hid_test::FoundInterface& entry : found) {
        std::printf("%s %04X %04X %04X %u %u %s %u %s\n", entry.path.c_str(), entry.attributes.VendorID,
                    entry.attributes.ProductID, entry.attributes.VersionNumber, entry.caps.InputReportByteLength,
                    entry.caps.OutputReportByteLength, entry.openedReadWrite ? "rw" : "query",
                    static_cast<unsigned>(entry.groupKey), hid_test::serialText(entry).c_str());
    }
    std::fflush(stdout);
    if (argc >= 2 && std::strcmp(argv[1], "vanish") == 0) {
        if (found.size() < 2) return 7;
        HANDLE reader = hid_test::openPipe(found[1].path, GENERIC_READ);
        if (reader == INVALID_HANDLE_VALUE) return 4;
        std::vector<unsigned char> buffer(8);
        hid_test::Transfer pending;
        if (!hid_test::startRead(reader, buffer.data(), 8, pending)) return 6;
        std::printf("pending\n");
        std::fflush(stdout);
        if (!hid_test::awaitTransfer(pending)) return 6;
        std::printf("error %u\n", static_cast<unsigned>(pending.error));
        CloseHandle(reader);
        return 0;
    }
    if (argc < 2 || std::strcmp(argv[1], "exchange") != 0) return 0;
    for (const hid_test::FoundInterface& entry : found) {
        if (entry.caps.OutputReportByteLength != 8) continue;
        HANDLE reader = hid_test::openPipe(entry.path, GENERIC_READ);
        HANDLE writer = hid_test::openPipe(entry.path, GENERIC_WRITE);
        if (reader == INVALID_HANDLE_VALUE || writer == INVALID_HANDLE_VALUE) return 4;
        const std::vector<std::vector<unsigned char>> requests = {
            {0x01, 1, 0, 0, 0, 0, 0, 0}, {0x02, 0x82, 0xA0, 0x80, 0, 0, 0, 0}, {0x03, 2, 0xA1, 0, 0, 0, 0, 0}};
        for (const auto& request : requests) {
            if (hid_test::writeReport(writer, request).error != ERROR_SUCCESS) return 5;
        }
        for (int answer = 0; answer < 2; ++answer) {
            hid_test::IoResult result = hid_test::readReport(reader, 8);
            if (!result.completed || result.error != ERROR_SUCCESS) return 6;
            printReport("answer", result.data);
        }
        CloseHandle(reader);
        CloseHandle(writer);
        return 0;
    }
    return 7;
}
