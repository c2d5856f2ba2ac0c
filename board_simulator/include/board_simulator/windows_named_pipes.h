// The Windows transport: every HID interface of every board is a message-mode
// named pipe, one message per report, and the list of boards is published in a
// named file mapping (windows_device_list.h) for the simulated hid.dll,
// setupapi.dll and cfgmgr32.dll of the processes that use the boards.
//
//   \\.\pipe\vantrel-sim-<process>-<serve>-<board>-<interface>   board from 1, interface from 0
//   Local\vantrel-sim-<process>-<serve>-devices                  the device list
//
// A host opens an interface with CreateFileA on its pipe path and gets one
// instance of the pipe; spare instances are kept listening, so that opens in quick
// succession all find one. Reports to the host are padded to the interface's
// input report length, as Windows' HID class driver delivers them.
#pragma once

#include <memory>

#include "board_simulator/transport.h"

namespace board_simulator {

class WindowsNamedPipes : public Transport {
public:
    WindowsNamedPipes();
    ~WindowsNamedPipes() override;

    void start(const std::vector<ServedBoard>& boards, TransportEvents& events) override;
    void stop() override;
    void send(std::size_t board, unsigned interface, const Report& report) override;
    void unplug(std::size_t board) override;
    std::vector<std::pair<std::string, std::string>> environment() const override;

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace board_simulator
