// A second process for tests of objects shared between processes: the peer
// executable (win32_conformance_peer), started next to the test executable, on
// Windows and on Linux alike.
//
// The peer sets up the objects its arguments name, in order, and answers one
// line of text for each command line it reads. Names travel hex-encoded, so any
// text survives the command line of either platform.
//
// Set-up arguments; each object takes the next index, from 0:
//   mutex HEXNAME             CreateMutexA, not owned
//   owned-mutex HEXNAME       CreateMutexA, owned by the peer's main thread
//   abandoned-mutex HEXNAME   a thread of the peer creates it owned and ends
//   mapping HEXNAME SIZE HEX  CreateFileMappingA of SIZE bytes, one view of all
//                             of it, the bytes HEX written at its start
// Then it prints "ready" followed by the last-error code of each creation, or
// "failed <argument> <code>" and ends with exit code 2.
//
// Commands, one line each, and their answers:
//   release I     ReleaseMutex: "ok" or "error <code>"
//   wait I MS     WaitForSingleObject: its result as a decimal number
//   read I N      the first N bytes of view I, hex-encoded
//   write I HEX   writes HEX at the start of view I: "ok"
//   close I       CloseHandle: "ok" or "error <code>"
//   exit          ends the peer with exit code 0, without an answer
// The peer also ends at the end of its input, when the test process is gone.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "win32_services.h"

namespace peer {

std::string toHex(const void* data, std::size_t length);
std::string toHex(const std::string& text);
std::vector<unsigned char> fromHex(const std::string& hex);

class PeerProcess {
public:
    // Starts the peer with these set-up arguments and waits for its first line.
    explicit PeerProcess(const std::vector<std::string>& arguments);
    // A peer still running is killed.
    ~PeerProcess();
    PeerProcess(const PeerProcess&) = delete;
    PeerProcess& operator=(const PeerProcess&) = delete;

    // The peer's first line: "ready ..." when its set-up succeeded; empty when
    // it could not be started or gave no line.
    const std::string& readyLine() const { return readyLine_; }
    bool ready() const { return readyLine_.rfind("ready", 0) == 0; }

    // Sends one command and returns the answer line; empty when the peer gave none.
    std::string request(const std::string& command);

    // Ends the peer at once, as a crash would, and waits until it is gone.
    void kill();
    // Tells the peer to exit and waits for its end; its exit code, or -1.
    int exit();

private:
    bool send(const std::string& line);
    std::string readLine();
    void waitForEnd();

    std::string readyLine_;
    std::string buffered_;
    bool running_ = false;
    int exitCode_ = -1;
#if defined(_WIN32)
    HANDLE process_ = nullptr;
    HANDLE toPeer_ = nullptr;
    HANDLE fromPeer_ = nullptr;
#else
    int pid_ = -1;
    int toPeer_ = -1;
    int fromPeer_ = -1;
#endif
};

}  // namespace peer
