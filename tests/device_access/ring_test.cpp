// The report ring of a pipe, driven directly.
#include <gtest/gtest.h>

#include <string.h>

#include "library_state.h"
#include "standin/testing.h"

namespace {

class ReportRingTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_library.heap = HeapCreate(0, 4096, 0);
        ASSERT_NE(g_library.heap, nullptr);
        memset(&record, 0, sizeof record);
        record.pipes[1].ringMutex = CreateMutexA(nullptr, FALSE, nullptr);
        ASSERT_NE(record.pipes[1].ringMutex, nullptr);
    }
    void TearDown() override {
        standin::testing::resetFailures();
        StopPipe(&record, 1);
        HeapDestroy(g_library.heap);
        g_library.heap = nullptr;
    }

    void put(BYTE number, DWORD length = 8) {
        BYTE report[REPORT_SLOT_BYTES];
        memset(report, number, sizeof report);
        RingPut(&record, 1, report, length);
    }
    // The first byte of the oldest report, or -1 when none is delivered.
    int takeFirstByte() {
        BYTE buffer[REPORT_SLOT_BYTES];
        memset(buffer, 0xEE, sizeof buffer);
        return RingTakeOldest(&record, 1, buffer) ? buffer[0] : -1;
    }
    const ReportRing& ring() const { return record.pipes[1].ring; }

    DeviceRecord record;
};

TEST_F(ReportRingTest, OverflowKeepsTheNewest128InOrderAndEmptiesToPositionZero) {
    for (int n = 1; n <= 130; ++n) put(static_cast<BYTE>(n));
    EXPECT_EQ(ring().reportCount, REPORT_RING_SLOTS);
    for (int n = 3; n <= 130; ++n) ASSERT_EQ(takeFirstByte(), n);
    EXPECT_EQ(takeFirstByte(), -1);
    EXPECT_EQ(ring().reportCount, 0u);
    EXPECT_EQ(ring().readPos, 0u);
    EXPECT_EQ(ring().writePos, 0u);
}

TEST_F(ReportRingTest, AfterOverflowAndOneTakeANewReportComesOutLastAndNothingTwice) {
    for (int n = 1; n <= 130; ++n) put(static_cast<BYTE>(n));
    EXPECT_EQ(takeFirstByte(), 3);
    put(131);
    for (int n = 4; n <= 131; ++n) ASSERT_EQ(takeFirstByte(), n);
    EXPECT_EQ(takeFirstByte(), -1);
}

TEST_F(ReportRingTest, PutReportsWhetherItUsedAFreeSlot) {
    BYTE report[8] = {};
    for (DWORD n = 0; n < REPORT_RING_SLOTS; ++n) ASSERT_EQ(RingPut(&record, 1, report, 8), 1u);
    EXPECT_EQ(RingPut(&record, 1, report, 8), 0u);
}

TEST_F(ReportRingTest, EmptyOrUnstartedRingLeavesTheBufferUntouched) {
    BYTE buffer[REPORT_SLOT_BYTES];
    memset(buffer, 0x5A, sizeof buffer);
    EXPECT_EQ(RingTakeOldest(&record, 1, buffer), 0u);
    EXPECT_EQ(RingTakeOldest(&record, 0, buffer), 0u);  // pipe 0 was never started
    for (BYTE byte : buffer) ASSERT_EQ(byte, 0x5A);
}

TEST_F(ReportRingTest, ShortReportKeepsTheOlderBytesOfItsSlot) {
    put(0x11, 64);
    EXPECT_EQ(takeFirstByte(), 0x11);
    put(0x22, 4);  // reuses slot 0, since the empty ring went back to position 0
    BYTE buffer[REPORT_SLOT_BYTES];
    ASSERT_EQ(RingTakeOldest(&record, 1, buffer), 1u);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(buffer[i], 0x22);
    for (int i = 4; i < 64; ++i) EXPECT_EQ(buffer[i], 0x11);
}

TEST_F(ReportRingTest, ReportWithoutASlotBlockIsDroppedAndNothingElseChanges) {
    put(1);
    standin::testing::failNext(standin::testing::Failure::HeapAllocation, 1);
    put(2);
    EXPECT_EQ(ring().reportCount, 1u);
    EXPECT_EQ(ring().writePos, 1u);
    put(3);
    EXPECT_EQ(takeFirstByte(), 1);
    EXPECT_EQ(takeFirstByte(), 3);
    EXPECT_EQ(takeFirstByte(), -1);
}

TEST_F(ReportRingTest, StopPipeFreesEverySlotBlockAndEmptiesTheRing) {
    const std::size_t blocks = standin::testing::liveHeapBlockCount();
    for (int n = 1; n <= 5; ++n) put(static_cast<BYTE>(n));
    EXPECT_EQ(standin::testing::liveHeapBlockCount(), blocks + 5);
    StopPipe(&record, 1);
    EXPECT_EQ(standin::testing::liveHeapBlockCount(), blocks);
    EXPECT_EQ(ring().reportCount, 0u);
    EXPECT_EQ(record.pipes[1].ringMutex, nullptr);
    // A second stop finds nothing to close.
    StopPipe(&record, 1);
}

}  // namespace
