// The simulator: boards behind a transport, answers on time, and the traffic record.
//
// One lock guards the boards, the schedule and the record. Answers without latency
// are sent at once on the transport's thread, so that a round trip costs no thread
// hand-off; answers with latency wait in the schedule for the scheduler thread.
// A board's answers keep their order also when its latency changes: none is due
// before the one received ahead of it.
#include "board_simulator/simulator.h"

#include <algorithm>
#include <stdexcept>

namespace board_simulator {

Simulator::Simulator(std::vector<BoardDescription> boards, std::unique_ptr<Transport> transport)
    : transport_(std::move(transport)) {
    std::vector<ServedBoard> served;
    for (BoardDescription& description : boards) {
        served.push_back({description.vendorId, description.productId, description.revision,
                          presentedSerial(description), interfacesOf(description)});
        boards_.emplace_back(std::move(description));
        boards_.back().log.resize(served.back().interfaces.size());
    }
    transport_->start(served, *this);
    try {
        scheduler_ = std::thread([this] { runScheduler(); });
    } catch (...) {
        transport_->stop();
        throw;
    }
}

Simulator::~Simulator() {
    transport_->stop();
    {
        std::lock_guard<std::mutex> guard(lock_);
        stopping_ = true;
    }
    schedulerWake_.notify_all();
    scheduler_.join();
}

Simulator::BoardState& Simulator::stateOf(std::size_t board) {
    if (board >= boards_.size()) throw std::out_of_range("no simulated board " + std::to_string(board));
    return boards_[board];
}

const Simulator::BoardState& Simulator::stateOf(std::size_t board) const {
    if (board >= boards_.size()) throw std::out_of_range("no simulated board " + std::to_string(board));
    return boards_[board];
}

void Simulator::record(BoardState& state, unsigned interface, Direction direction, const Report& report) {
    if (interface >= state.log.size()) return;
    state.log[interface].push_back({direction, report});
    trafficChanged_.notify_all();
}

void Simulator::sendLocked(std::size_t board, unsigned interface, const Report& report) {
    BoardState& state = boards_[board];
    if (!state.present || interface >= state.log.size()) return;
    transport_->send(board, interface, report);
    record(state, interface, Direction::Sent, report);
}

void Simulator::unplugLocked(std::size_t board) {
    BoardState& state = boards_[board];
    if (!state.present) return;
    state.present = false;
    transport_->unplug(board);
}

std::uint32_t Simulator::openRequested(std::size_t board, unsigned, bool reads, bool writes) {
    std::lock_guard<std::mutex> guard(lock_);
    const BoardState& state = stateOf(board);
    if (!state.present) return kErrorDeviceNotConnected;
    if (state.board.description().faults.exclusive && (reads || writes)) return kErrorAccessDenied;
    return 0;
}

void Simulator::reportReceived(std::size_t board, unsigned interface, const Report& report) {
    std::lock_guard<std::mutex> guard(lock_);
    BoardState& state = stateOf(board);
    if (!state.present) return;
    record(state, interface, Direction::Received, report);
    Board::Reaction reaction = state.board.receive(interface, report);
    if (reaction.unplug) {
        unplugLocked(board);
        return;
    }
    const unsigned latencyMs = state.board.description().faults.latencyMs;
    if (latencyMs == 0 && state.scheduled == 0) {
        for (const Report& answer : reaction.sent) sendLocked(board, kPipe1, answer);
        return;
    }
    const Clock::time_point due = std::max(Clock::now() + std::chrono::milliseconds(latencyMs), state.lastDue);
    state.lastDue = due;
    for (Report& answer : reaction.sent) {
        schedule_.push({due, nextSequence_++, board, std::move(answer)});
        ++state.scheduled;
    }
    schedulerWake_.notify_all();
}

void Simulator::runScheduler() {
    std::unique_lock<std::mutex> lock(lock_);
    while (!stopping_) {
        if (schedule_.empty()) {
            schedulerWake_.wait(lock);
            continue;
        }
        const Clock::time_point due = schedule_.top().due;
        if (Clock::now() < due) {
            schedulerWake_.wait_until(lock, due);
            continue;
        }
        Scheduled next = schedule_.top();
        schedule_.pop();
        --boards_[next.board].scheduled;
        sendLocked(next.board, kPipe1, next.report);
    }
}

void Simulator::unplug(std::size_t board) {
    std::lock_guard<std::mutex> guard(lock_);
    stateOf(board);
    unplugLocked(board);
}

bool Simulator::isPresent(std::size_t board) const {
    std::lock_guard<std::mutex> guard(lock_);
    return stateOf(board).present;
}

void Simulator::changeFaults(std::size_t board, const std::function<void(Faults&)>& change) {
    std::lock_guard<std::mutex> guard(lock_);
    change(stateOf(board).board.faults());
}

void Simulator::sendReport(std::size_t board, unsigned interface, const Report& report) {
    std::lock_guard<std::mutex> guard(lock_);
    stateOf(board);
    sendLocked(board, interface, report);
}

std::optional<EepromContent> Simulator::eeprom(std::size_t board, unsigned device) const {
    std::lock_guard<std::mutex> guard(lock_);
    const EepromContent* content = stateOf(board).board.chip().bus().eeprom(device);
    if (content == nullptr) return std::nullopt;
    return *content;
}

bool Simulator::i2cMode(std::size_t board) const {
    std::lock_guard<std::mutex> guard(lock_);
    return stateOf(board).board.chip().i2cMode();
}

std::vector<TrafficEntry> Simulator::traffic(std::size_t board, unsigned interface) const {
    std::lock_guard<std::mutex> guard(lock_);
    const BoardState& state = stateOf(board);
    return interface < state.log.size() ? state.log[interface] : std::vector<TrafficEntry>{};
}

std::vector<Report> Simulator::received(std::size_t board, unsigned interface) const {
    std::vector<Report> reports;
    for (const TrafficEntry& entry : traffic(board, interface)) {
        if (entry.direction == Direction::Received) reports.push_back(entry.report);
    }
    return reports;
}

std::vector<Report> Simulator::sent(std::size_t board, unsigned interface) const {
    std::vector<Report> reports;
    for (const TrafficEntry& entry : traffic(board, interface)) {
        if (entry.direction == Direction::Sent) reports.push_back(entry.report);
    }
    return reports;
}

bool Simulator::waitForReceived(std::size_t board, unsigned interface, std::size_t count,
                                std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(lock_);
    const BoardState& state = stateOf(board);
    if (interface >= state.log.size()) return false;
    return trafficChanged_.wait_for(lock, timeout, [&] {
        std::size_t seen = 0;
        for (const TrafficEntry& entry : state.log[interface]) seen += entry.direction == Direction::Received;
        return seen >= count;
    });
}

void Simulator::clearTraffic() {
    std::lock_guard<std::mutex> guard(lock_);
    for (BoardState& state : boards_) {
        for (auto& entries : state.log) entries.clear();
    }
}

}  // namespace board_simulator
