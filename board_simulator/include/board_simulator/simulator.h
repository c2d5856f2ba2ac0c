// Simulated boards served through a transport: the boards' behaviour, faults that
// can be changed while they run, and a record of every report that crossed the
// wire.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <queue>
#include <thread>

#include "board_simulator/board.h"
#include "board_simulator/transport.h"

namespace board_simulator {

// Interfaces by number: pipe 0, pipe 1, and the third interface of a board that has one.
inline constexpr unsigned kPipe0 = 0;
inline constexpr unsigned kPipe1 = 1;

enum class Direction { Received, Sent };

struct TrafficEntry {
    Direction direction;  // Received: written by the host; Sent: by the board
    Report report;        // Windows form
};

class Simulator : private TransportEvents {
public:
    // Serves the boards in the order given; throws std::runtime_error when the
    // transport cannot start.
    Simulator(std::vector<BoardDescription> boards, std::unique_ptr<Transport> transport);
    ~Simulator() override;
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    std::size_t boardCount() const { return boards_.size(); }
    std::vector<std::pair<std::string, std::string>> environment() const { return transport_->environment(); }
    Transport& transport() { return *transport_; }

    // Run-time control. A board index out of range throws std::out_of_range.
    void unplug(std::size_t board);
    bool isPresent(std::size_t board) const;
    // Changes take effect with the next report; the interfaces, same_pipe and the
    // serial faults shape the board when it is served and stay as they were.
    void changeFaults(std::size_t board, const std::function<void(Faults&)>& change);
    // The board sends an input report now (nothing when it has gone).
    void sendReport(std::size_t board, unsigned interface, const Report& report);
    std::optional<EepromContent> eeprom(std::size_t board, unsigned device) const;
    bool i2cMode(std::size_t board) const;

    // What crossed the wire, per board and interface, in order.
    std::vector<TrafficEntry> traffic(std::size_t board, unsigned interface) const;
    std::vector<Report> received(std::size_t board, unsigned interface) const;
    std::vector<Report> sent(std::size_t board, unsigned interface) const;
    // Waits until the board has received at least `count` reports on the
    // interface; false when the time ran out first.
    bool waitForReceived(std::size_t board, unsigned interface, std::size_t count,
                         std::chrono::milliseconds timeout) const;
    void clearTraffic();

private:
    using Clock = std::chrono::steady_clock;

    struct BoardState {
        explicit BoardState(BoardDescription description) : board(std::move(description)) {}
        Board board;
        bool present = true;
        std::size_t scheduled = 0;                   // answers waiting for their time
        Clock::time_point lastDue;                   // of the last answer scheduled
        std::vector<std::vector<TrafficEntry>> log;  // per interface
    };

    struct Scheduled {
        Clock::time_point due;
        std::uint64_t sequence;
        std::size_t board;
        Report report;
        bool operator>(const Scheduled& other) const {
            return due != other.due ? due > other.due : sequence > other.sequence;
        }
    };

    std::uint32_t openRequested(std::size_t board, unsigned interface, bool reads, bool writes) override;
    void reportReceived(std::size_t board, unsigned interface, const Report& report) override;

    BoardState& stateOf(std::size_t board);
    const BoardState& stateOf(std::size_t board) const;
    void sendLocked(std::size_t board, unsigned interface, const Report& report);
    void unplugLocked(std::size_t board);
    void record(BoardState& state, unsigned interface, Direction direction, const Report& report);
    void runScheduler();

    std::vector<BoardState> boards_;
    std::unique_ptr<Transport> transport_;
    mutable std::mutex lock_;
    mutable std::condition_variable trafficChanged_;
    std::condition_variable schedulerWake_;
    std::priority_queue<Scheduled, std::vector<Scheduled>, std::greater<Scheduled>> schedule_;
    std::uint64_t nextSequence_ = 0;
    bool stopping_ = false;
    std::thread scheduler_;
};

}  // namespace board_simulator
