// vantrel-sim on Windows: named pipes and a published device list for the
// simulated system libraries; the command runs in the same console.
#include <windows.h>

#include <iostream>

#include "board_simulator/windows_named_pipes.h"
#include "host.h"

namespace vantrel_sim {
namespace {

HANDLE interrupted = nullptr;

// Ctrl+C and its kin reach the command too, which decides for itself; this
// process keeps serving until the command ends, or stops serving with --serve.
BOOL WINAPI onConsoleControl(DWORD) {
    if (interrupted != nullptr) SetEvent(interrupted);
    return TRUE;
}

// One argument as the C runtime's command-line parser reads it back.
std::string quotedArgument(const std::string& argument) {
    if (!argument.empty() && argument.find_first_of(" \t\n\v\"") == std::string::npos) return argument;
    std::string quoted = "\"";
    std::size_t backslashes = 0;
    for (char c : argument) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        // Backslashes before a quote are doubled, and the quote escaped.
        quoted.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(2 * backslashes, '\\');
    return quoted + "\"";
}

// The standard handles, inheritable, so that the command writes where this
// process writes.
void inheritStandardHandle(DWORD which, HANDLE& handle) {
    handle = GetStdHandle(which);
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE) {
        SetHandleInformation(handle, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    }
}

}  // namespace

std::unique_ptr<board_simulator::Transport> makeTransport() {
    return std::make_unique<board_simulator::WindowsNamedPipes>();
}

void prepareSignals() {
    interrupted = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(onConsoleControl, TRUE);
}

int runCommand(const board_simulator::Simulator& simulator, char** command) {
    for (const auto& [name, value] : simulator.environment()) SetEnvironmentVariableA(name.c_str(), value.c_str());
    std::string commandLine;
    for (char** argument = command; *argument != nullptr; ++argument) {
        commandLine += (commandLine.empty() ? "" : " ") + quotedArgument(*argument);
    }
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    inheritStandardHandle(STD_INPUT_HANDLE, startup.hStdInput);
    inheritStandardHandle(STD_OUTPUT_HANDLE, startup.hStdOutput);
    inheritStandardHandle(STD_ERROR_HANDLE, startup.hStdError);
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
        return failure(std::string("cannot run ") + command[0] + ": Windows error " + std::to_string(GetLastError()),
                       kCannotRun);
    }
    CloseHandle(process.hThread);
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD exitCode = 0;
    GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hProcess);
    return static_cast<int>(exitCode);
}

int serve(const board_simulator::Simulator& simulator) {
    for (const auto& [name, value] : simulator.environment()) std::cout << "set " << name << "=" << value << std::endl;
    std::cerr << "vantrel-sim: serving " << simulator.boardCount() << " board(s); press Ctrl+C to stop" << std::endl;
    WaitForSingleObject(interrupted, INFINITE);
    return 0;
}

}  // namespace vantrel_sim
