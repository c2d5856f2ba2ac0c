#include "peer_process.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#endif

#include <stdexcept>

#if !defined(_WIN32)
extern char** environ;
#endif

namespace peer {
namespace {

// Bound of every wait for the peer: generous, so that only a peer that hangs hits it.
constexpr unsigned kAnswerTimeoutMs = 30000;

std::string peerExecutable() {
#if defined(_WIN32)
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string self(path, length);
    return self.substr(0, self.find_last_of("\\/") + 1) + "win32_conformance_peer.exe";
#else
    char path[4096];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path);
    std::string self(path, length > 0 ? static_cast<std::size_t>(length) : 0);
    return self.substr(0, self.find_last_of('/') + 1) + "win32_conformance_peer";
#endif
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

std::string toHex(const void* data, std::size_t length) {
    static const char digits[] = "0123456789abcdef";
    const auto* bytes = static_cast<const unsigned char*>(data);
    std::string hex;
    for (std::size_t i = 0; i < length; ++i) {
        hex += digits[bytes[i] >> 4];
        hex += digits[bytes[i] & 0xF];
    }
    return hex;
}

std::string toHex(const std::string& text) { return toHex(text.data(), text.size()); }

std::vector<unsigned char> fromHex(const std::string& hex) {
    std::vector<unsigned char> bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        const int high = hexDigit(hex[i]);
        const int low = hexDigit(hex[i + 1]);
        if (high < 0 || low < 0) throw std::invalid_argument("not hexadecimal: " + hex);
        bytes.push_back(static_cast<unsigned char>(high * 16 + low));
    }
    return bytes;
}

#if defined(_WIN32)

PeerProcess::PeerProcess(const std::vector<std::string>& arguments) {
    const std::string executable = peerExecutable();
    // The arguments are words, numbers and hexadecimal text, which need no
    // quoting; only an empty one must be quoted to be kept.
    std::string commandLine = "\"" + executable + "\"";
    for (const std::string& argument : arguments) commandLine += argument.empty() ? " \"\"" : " " + argument;

    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE peerInput = nullptr;
    HANDLE peerOutput = nullptr;
    if (!CreatePipe(&peerInput, &toPeer_, &inheritable, 0)) return;
    if (!CreatePipe(&fromPeer_, &peerOutput, &inheritable, 0)) {
        CloseHandle(peerInput);
        return;
    }
    SetHandleInformation(toPeer_, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(fromPeer_, HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = peerInput;
    startup.hStdOutput = peerOutput;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION started{};
    const BOOL created = CreateProcessA(executable.c_str(), &commandLine[0], nullptr, nullptr, TRUE, 0,
                                        nullptr, nullptr, &startup, &started);
    CloseHandle(peerInput);
    CloseHandle(peerOutput);
    if (!created) return;
    CloseHandle(started.hThread);
    process_ = started.hProcess;
    running_ = true;
    readyLine_ = readLine();
}

PeerProcess::~PeerProcess() {
    if (running_) kill();
    if (process_ != nullptr) CloseHandle(process_);
    if (toPeer_ != nullptr) CloseHandle(toPeer_);
    if (fromPeer_ != nullptr) CloseHandle(fromPeer_);
}

bool PeerProcess::send(const std::string& line) {
    const std::string text = line + "\n";
    DWORD written = 0;
    return WriteFile(toPeer_, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
           written == text.size();
}

// A blocking read: the test's own time-out bounds a peer that hangs.
std::string PeerProcess::readLine() {
    for (;;) {
        const std::size_t end = buffered_.find('\n');
        if (end != std::string::npos) {
            std::string line = buffered_.substr(0, end);
            buffered_.erase(0, end + 1);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            return line;
        }
        char chunk[256];
        DWORD count = 0;
        if (!ReadFile(fromPeer_, chunk, sizeof chunk, &count, nullptr) || count == 0) return {};
        buffered_.append(chunk, count);
    }
}

void PeerProcess::kill() {
    if (!running_) return;
    TerminateProcess(process_, 9);
    waitForEnd();
}

void PeerProcess::waitForEnd() {
    if (WaitForSingleObject(process_, kAnswerTimeoutMs) == WAIT_OBJECT_0) {
        DWORD code = 0;
        if (GetExitCodeProcess(process_, &code)) exitCode_ = static_cast<int>(code);
    }
    running_ = false;
}

#else

PeerProcess::PeerProcess(const std::vector<std::string>& arguments) {
    // A write to a peer that has gone must fail, not end the test process.
    signal(SIGPIPE, SIG_IGN);
    const std::string executable = peerExecutable();
    int input[2];
    int output[2];
    if (pipe2(input, O_CLOEXEC) != 0) return;
    if (pipe2(output, O_CLOEXEC) != 0) {
        close(input[0]);
        close(input[1]);
        return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
    std::vector<std::string> words{executable};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(&word[0]);
    argv.push_back(nullptr);
    const int failure = posix_spawn(&pid_, executable.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(input[0]);
    close(output[1]);
    toPeer_ = input[1];
    fromPeer_ = output[0];
    if (failure != 0) return;
    running_ = true;
    readyLine_ = readLine();
}

PeerProcess::~PeerProcess() {
    if (running_) kill();
    if (toPeer_ >= 0) close(toPeer_);
    if (fromPeer_ >= 0) close(fromPeer_);
}

bool PeerProcess::send(const std::string& line) {
    const std::string text = line + "\n";
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t written = write(toPeer_, text.data() + done, text.size() - done);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        done += static_cast<std::size_t>(written);
    }
    return true;
}

std::string PeerProcess::readLine() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kAnswerTimeoutMs);
    for (;;) {
        const std::size_t end = buffered_.find('\n');
        if (end != std::string::npos) {
            std::string line = buffered_.substr(0, end);
            buffered_.erase(0, end + 1);
            return line;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return {};
        pollfd ready{fromPeer_, POLLIN, 0};
        const int polled = poll(&ready, 1, static_cast<int>(left.count()));
        if (polled < 0 && errno == EINTR) continue;
        if (polled <= 0) return {};
        char chunk[256];
        const ssize_t count = read(fromPeer_, chunk, sizeof chunk);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) return {};
        buffered_.append(chunk, static_cast<std::size_t>(count));
    }
}

void PeerProcess::kill() {
    if (!running_) return;
    ::kill(pid_, SIGKILL);
    waitForEnd();
}

void PeerProcess::waitForEnd() {
    int status = 0;
    pid_t ended;
    do {
        ended = waitpid(pid_, &status, 0);
    } while (ended < 0 && errno == EINTR);
    if (ended == pid_ && WIFEXITED(status)) exitCode_ = WEXITSTATUS(status);
    running_ = false;
}

#endif

std::string PeerProcess::request(const std::string& command) {
    if (!running_ || !send(command)) return {};
    return readLine();
}

int PeerProcess::exit() {
    if (!running_) return exitCode_;
    send("exit");
    waitForEnd();
    return exitCode_;
}

}  // namespace peer
