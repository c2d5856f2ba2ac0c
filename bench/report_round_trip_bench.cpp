// Report exchange with a simulated board that answers at once:
//   RoundTrip          WriteReport of one 8-byte request on pipe 1 and ReadReport of
//                      its answer, through the whole library;
//   TransportFloor     the same exchange straight on the simulator's socket, with a
//                      blocking write and read: what the transport itself costs;
//   ReceiveThroughput  reports per second that pipe 1's reader stores while a
//                      reader takes them, none lost below the ring's capacity.
// Each latency benchmark reports its median and 99th percentile in microseconds.
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "device_access.h"
#include "simulated_boards.h"
#include "standin/device_root.h"

namespace {

using Clock = std::chrono::steady_clock;

// An I2C write request that only sets EEPROM device 1's address pointer; the chip
// answers it at once while I2C mode is on.
const BYTE kRequest[8] = {0x02, 0x82, 0xA0, 0x00, 0, 0, 0, 0};
const BYTE kModeOn[8] = {0x01, 1, 0, 0, 0, 0, 0, 0};

// Medians of the last runs, for the ratio printed at the end.
double roundTripMedian = 0;
double floorMedian = 0;

void reportPercentiles(benchmark::State& state, std::vector<double>& microseconds, double& median) {
    if (microseconds.empty()) return;
    std::sort(microseconds.begin(), microseconds.end());
    median = microseconds[microseconds.size() / 2];
    state.counters["median_us"] = median;
    state.counters["p99_us"] = microseconds[std::min(microseconds.size() - 1, microseconds.size() * 99 / 100)];
}

std::vector<test_support::BoardDescription> oneBoard() { return {test_support::boardWithSerial("BENCH001")}; }

void RoundTrip(benchmark::State& state) {
    test_support::SimulatedBoards boards(oneBoard());
    DeviceHandle handle = OpenAllDevices();
    if (handle == nullptr || WriteReport(handle, 1, kModeOn, 8) != 8) {
        state.SkipWithError("no simulated board");
        return;
    }
    std::vector<double> microseconds;
    for (auto _ : state) {
        const auto start = Clock::now();
        BYTE answer[8];
        if (WriteReport(handle, 1, kRequest, 8) != 8 || ReadReport(handle, 1, answer, 8) != 8) {
            state.SkipWithError("exchange failed");
            break;
        }
        microseconds.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    reportPercentiles(state, microseconds, roundTripMedian);
    CloseAllDevices(nullptr);
}

// A connection straight to the simulated node of pipe 1, as the stand-in makes it.
int connectToNode(const std::string& root, unsigned node) {
    const std::string path = root + "/dev/hidraw" + std::to_string(node);
    const int socketFd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    if (connect(socketFd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        close(socketFd);
        return -1;
    }
    using namespace standin::node_protocol;
    const OpenRequest request{kMagic, kVersion, kAccessRead | kAccessWrite};
    OpenReply reply{};
    if (send(socketFd, &request, sizeof request, 0) != static_cast<ssize_t>(sizeof request) ||
        recv(socketFd, &reply, sizeof reply, 0) != static_cast<ssize_t>(sizeof reply) || reply.error != 0) {
        close(socketFd);
        return -1;
    }
    return socketFd;
}

void TransportFloor(benchmark::State& state) {
    test_support::SimulatedBoards boards(oneBoard());
    const int node = connectToNode(boards.environment().front().second, 1);
    BYTE answer[64];
    if (node < 0 || send(node, kModeOn, 8, 0) != 8) {
        state.SkipWithError("no simulated node");
        return;
    }
    std::vector<double> microseconds;
    for (auto _ : state) {
        const auto start = Clock::now();
        if (send(node, kRequest, 8, 0) != 8 || recv(node, answer, sizeof answer, 0) <= 0) {
            state.SkipWithError("exchange failed");
            break;
        }
        microseconds.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    reportPercentiles(state, microseconds, floorMedian);
    close(node);
}

void ReceiveThroughput(benchmark::State& state) {
    test_support::SimulatedBoards boards(oneBoard());
    DeviceHandle handle = OpenAllDevices();
    if (handle == nullptr) {
        state.SkipWithError("no simulated board");
        return;
    }
    constexpr int kAhead = 64;  // half the ring: nothing may be lost
    std::int64_t reports = 0;
    bool lost = false;
    for (auto _ : state) {
        const int batch = static_cast<int>(state.range(0));
        std::atomic<int> taken{0};
        std::thread sender([&] {
            for (int n = 0; n < batch; ++n) {
                while (n - taken.load(std::memory_order_acquire) >= kAhead) std::this_thread::yield();
                boards.simulator().sendReport(0, 1, {0x18, static_cast<BYTE>(n), 0, 0, 0, 0, 0, 0});
            }
        });
        for (int n = 0; n < batch; ++n) {
            BYTE report[8];
            if (ReadReport(handle, 1, report, 8) != 8 || report[1] != static_cast<BYTE>(n)) lost = true;
            taken.fetch_add(1, std::memory_order_release);
        }
        sender.join();
        reports += batch;
    }
    if (lost) state.SkipWithError("a report was lost or came out of order");
    state.counters["reports_per_s"] = benchmark::Counter(static_cast<double>(reports), benchmark::Counter::kIsRate);
    CloseAllDevices(nullptr);
}

BENCHMARK(RoundTrip)->Iterations(5000)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(TransportFloor)->Iterations(5000)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(ReceiveThroughput)->Arg(10000)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (roundTripMedian > 0 && floorMedian > 0) {
        std::printf("round trip median %.1f us, transport floor median %.1f us, ratio %.2f\n", roundTripMedian,
                    floorMedian, roundTripMedian / floorMedian);
    }
    return 0;
}
