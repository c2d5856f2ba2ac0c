// Private heaps and critical sections.
#include <atomic>
#include <thread>
#include <vector>

#include "conformance_support.h"

namespace {

TEST(Heaps, ZeroFilledBlocksFreedOneByOneOrAllAtOnce) {
    HANDLE heap = HeapCreate(0, 4096, 0);
    ASSERT_NE(heap, nullptr);
    auto* block = static_cast<unsigned char*>(HeapAlloc(heap, HEAP_ZERO_MEMORY, 1000));
    ASSERT_NE(block, nullptr);
    for (int i = 0; i < 1000; ++i) ASSERT_EQ(block[i], 0) << i;
    block[999] = 1;
    EXPECT_TRUE(HeapFree(heap, 0, block));

    // Growable without limit: far more than the initial size.
    for (int i = 0; i < 64; ++i) ASSERT_NE(HeapAlloc(heap, 0, 64 * 1024), nullptr);
    EXPECT_TRUE(HeapDestroy(heap));
}

TEST(Heaps, SeveralThreadsAllocateAndFreeAtOnce) {
    HANDLE heap = HeapCreate(0, 4096, 0);
    ASSERT_NE(heap, nullptr);
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            std::vector<unsigned char*> blocks;
            for (int i = 0; i < 500; ++i) {
                auto* block = static_cast<unsigned char*>(HeapAlloc(heap, HEAP_ZERO_MEMORY, 64));
                if (block == nullptr || block[63] != 0) {
                    ++failures;
                    continue;
                }
                block[0] = static_cast<unsigned char>(t);
                blocks.push_back(block);
                if (i % 3 == 0) {
                    if (!HeapFree(heap, 0, blocks.back())) ++failures;
                    blocks.pop_back();
                }
            }
            for (unsigned char* block : blocks) {
                if (block[0] != t) ++failures;
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_TRUE(HeapDestroy(heap));
}

TEST(CriticalSections, AreReentrantAndExcludeOtherThreads) {
    CRITICAL_SECTION section;
    InitializeCriticalSection(&section);
    EnterCriticalSection(&section);
    EnterCriticalSection(&section);

    std::atomic<bool> otherEntered{false};
    std::thread other([&] {
        EnterCriticalSection(&section);
        otherEntered = true;
        LeaveCriticalSection(&section);
    });
    Sleep(30);
    EXPECT_FALSE(otherEntered.load());
    LeaveCriticalSection(&section);
    Sleep(30);
    EXPECT_FALSE(otherEntered.load());
    LeaveCriticalSection(&section);
    other.join();
    EXPECT_TRUE(otherEntered.load());
    DeleteCriticalSection(&section);
}

TEST(CriticalSections, SerialiseIncrementsOfManyThreads) {
    CRITICAL_SECTION section;
    InitializeCriticalSection(&section);
    long counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 10000; ++i) {
                EnterCriticalSection(&section);
                counter = counter + 1;
                LeaveCriticalSection(&section);
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(counter, 40000);
    DeleteCriticalSection(&section);
}

}  // namespace
