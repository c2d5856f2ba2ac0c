// A report-oriented device that the overlapped I/O tests open with CreateFileA and
// drive from the device side. On Linux it is a test double behind the stand-in's
// device-file interface; on Windows it is a message-mode named pipe.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "win32_services.h"

namespace conformance {

class TestDevice {
public:
    // A new device with a path of its own; it accepts one open for reading and
    // writing with FILE_FLAG_OVERLAPPED.
    static std::unique_ptr<TestDevice> create();
    virtual ~TestDevice() = default;

    virtual std::string path() const = 0;
    // Delivers one input report to the opened file.
    virtual void sendReport(const std::string& report) = 0;
    // The next report the opened file wrote, waiting at most the given time.
    virtual std::optional<std::string> receiveReport(DWORD milliseconds) = 0;
    // The device goes away: pending and later reads and writes of the file fail.
    virtual void disconnect() = 0;
};

}  // namespace conformance
