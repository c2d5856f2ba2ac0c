// The simulator over a transport that only records, to show that the boards do not
// depend on how their reports travel: answers, latency, faults at run time and the
// traffic record.
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

#include "board_simulator/simulator.h"

namespace {

using namespace board_simulator;
using namespace std::chrono_literals;

class RecordingTransport : public Transport {
public:
    struct Sent {
        std::size_t board;
        unsigned interface;
        Report report;
    };

    void start(const std::vector<ServedBoard>& boards, TransportEvents& events) override {
        served = boards;
        this->events = &events;
    }
    void stop() override {}
    void send(std::size_t board, unsigned interface, const Report& report) override {
        std::lock_guard<std::mutex> guard(lock);
        sent.push_back({board, interface, report});
        changed.notify_all();
    }
    void unplug(std::size_t board) override {
        std::lock_guard<std::mutex> guard(lock);
        unplugged.push_back(board);
    }
    std::vector<std::pair<std::string, std::string>> environment() const override { return {{"NAME", "value"}}; }

    bool waitForSent(std::size_t count) {
        std::unique_lock<std::mutex> guard(lock);
        return changed.wait_for(guard, 10s, [&] { return sent.size() >= count; });
    }

    std::vector<ServedBoard> served;
    TransportEvents* events = nullptr;
    std::mutex lock;
    std::condition_variable changed;
    std::vector<Sent> sent;
    std::vector<std::size_t> unplugged;
};

Report request(std::initializer_list<std::uint8_t> bytes) {
    Report report(bytes);
    report.resize(kSpecialModeReportBytes, 0);
    return report;
}

struct Fixture {
    explicit Fixture(std::vector<BoardDescription> boards) {
        auto owned = std::make_unique<RecordingTransport>();
        transport = owned.get();
        simulator = std::make_unique<Simulator>(std::move(boards), std::move(owned));
    }
    RecordingTransport* transport;
    std::unique_ptr<Simulator> simulator;
};

BoardDescription board(const std::string& serial) {
    BoardDescription description = defaultBoard();
    description.serial = serial;
    return description;
}

TEST(Simulator, ServesEachBoardAsItIsDescribed) {
    BoardDescription failing = board("2");
    failing.faults.serialQueryFails = true;
    failing.faults.interfaces = 3;
    Fixture fixture({board("00001F3C"), failing});
    const std::vector<ServedBoard>& served = fixture.transport->served;
    ASSERT_EQ(served.size(), 2u);
    EXPECT_EQ(served[0].serial, "00001F3C");
    EXPECT_EQ(served[0].interfaces.size(), 2u);
    EXPECT_EQ(served[1].serial, "");
    EXPECT_EQ(served[1].interfaces.size(), 3u);
    EXPECT_EQ(fixture.simulator->environment().front().first, "NAME");
}

TEST(Simulator, AnswersAndRecordsBothDirections) {
    Fixture fixture({board("1")});
    TransportEvents& host = *fixture.transport->events;
    host.reportReceived(0, kPipe1, request({0x01, 1}));
    host.reportReceived(0, kPipe1, request({0x03, 1, 0xA1}));
    host.reportReceived(0, kPipe0, {0, 1, 2, 3, 4});
    ASSERT_TRUE(fixture.transport->waitForSent(1));
    EXPECT_EQ(fixture.transport->sent[0].report, request({0x03, 1, 0xFF}));
    const std::vector<TrafficEntry> traffic = fixture.simulator->traffic(0, kPipe1);
    ASSERT_EQ(traffic.size(), 3u);
    EXPECT_EQ(traffic[0].direction, Direction::Received);
    EXPECT_EQ(traffic[2].direction, Direction::Sent);
    EXPECT_EQ(fixture.simulator->received(0, kPipe0), (std::vector<Report>{{0, 1, 2, 3, 4}}));
    EXPECT_TRUE(fixture.simulator->sent(0, kPipe0).empty());
    fixture.simulator->clearTraffic();
    EXPECT_TRUE(fixture.simulator->traffic(0, kPipe1).empty());
}

TEST(Simulator, AnswersKeepTheirOrderWhenLatencyChanges) {
    BoardDescription slow = board("1");
    slow.faults.latencyMs = 150;
    Fixture fixture({slow});
    TransportEvents& host = *fixture.transport->events;
    host.reportReceived(0, kPipe1, request({0x01, 1}));
    host.reportReceived(0, kPipe1, request({0x03, 1, 0xA1}));
    fixture.simulator->changeFaults(0, [](Faults& faults) { faults.latencyMs = 0; });
    host.reportReceived(0, kPipe1, request({0x03, 2, 0xA1}));
    ASSERT_TRUE(fixture.transport->waitForSent(2));
    EXPECT_EQ(fixture.transport->sent[0].report[1], 1);
    EXPECT_EQ(fixture.transport->sent[1].report[1], 2);
}

TEST(Simulator, RefusesOpensOfAnExclusiveBoardAndOfAVanishedOne) {
    BoardDescription exclusive = board("1");
    exclusive.faults.exclusive = true;
    Fixture fixture({exclusive, board("2")});
    TransportEvents& host = *fixture.transport->events;
    EXPECT_EQ(host.openRequested(0, kPipe1, true, false), kErrorAccessDenied);
    EXPECT_EQ(host.openRequested(0, kPipe1, false, false), 0u);
    EXPECT_EQ(host.openRequested(1, kPipe1, true, true), 0u);
    fixture.simulator->unplug(1);
    EXPECT_EQ(fixture.transport->unplugged, (std::vector<std::size_t>{1}));
    EXPECT_EQ(host.openRequested(1, kPipe1, true, true), kErrorDeviceNotConnected);
    EXPECT_FALSE(fixture.simulator->isPresent(1));
    fixture.simulator->sendReport(1, kPipe1, request({0x18}));
    EXPECT_TRUE(fixture.transport->sent.empty()) << "a vanished board sends nothing";
    EXPECT_THROW(fixture.simulator->unplug(2), std::out_of_range);
}

TEST(Simulator, UnplugsOnTheReportCountOfItsFault) {
    Fixture fixture({board("1")});
    fixture.simulator->changeFaults(0, [](Faults& faults) { faults.unplugAfterReports = 1; });
    fixture.transport->events->reportReceived(0, kPipe1, request({0x01, 1}));
    EXPECT_EQ(fixture.transport->unplugged, (std::vector<std::size_t>{0}));
    fixture.transport->events->reportReceived(0, kPipe1, request({0x01, 1}));
    EXPECT_EQ(fixture.simulator->received(0, kPipe1).size(), 1u) << "nothing reaches a vanished board";
}

TEST(Simulator, WaitsForReceivedReports) {
    Fixture fixture({board("1")});
    EXPECT_FALSE(fixture.simulator->waitForReceived(0, kPipe1, 1, 10ms));
    std::thread host([&] { fixture.transport->events->reportReceived(0, kPipe1, request({0x01, 1})); });
    EXPECT_TRUE(fixture.simulator->waitForReceived(0, kPipe1, 1, 10s));
    host.join();
    EXPECT_TRUE(fixture.simulator->i2cMode(0));
}

}  // namespace
