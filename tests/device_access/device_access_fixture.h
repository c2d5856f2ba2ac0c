// What the device access tests share: a check that every resource the library
// took is given back, and small helpers over the public operations.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "library_state.h"
#include "simulated_boards.h"
#include "standin/testing.h"

namespace device_access_test {

struct Resources {
    std::size_t handles;
    std::size_t threads;
    std::size_t heaps;
    std::size_t heapBlocks;
    std::size_t moduleReferences;

    bool operator==(const Resources& other) const {
        return handles == other.handles && threads == other.threads && heaps == other.heaps &&
               heapBlocks == other.heapBlocks && moduleReferences == other.moduleReferences;
    }
};

inline Resources resourcesNow() {
    return {standin::testing::liveHandleCount(), standin::testing::liveThreadCount(),
            standin::testing::liveHeapCount(), standin::testing::liveHeapBlockCount(),
            standin::testing::loadedModuleReferences()};
}

inline std::string serialOf(DeviceHandle handle) {
    WCHAR serial[SERIAL_NUMBER_UNITS] = {};
    QuerySerialNumber(handle, serial);
    std::string text;
    for (WCHAR unit : serial) {
        if (unit == 0) break;
        text += static_cast<char>(unit);
    }
    return text;
}

// Every test leaves the library closed and every handle, thread, heap, block and
// module reference it took given back.
class DeviceAccessTest : public ::testing::Test {
protected:
    void SetUp() override { baseline_ = resourcesNow(); }
    void TearDown() override {
        standin::testing::resetFailures();
        CloseAllDevices(nullptr);
        EXPECT_TRUE(test_support::eventually([this] { return resourcesNow() == baseline_; }))
            << "handles " << resourcesNow().handles << " of " << baseline_.handles << ", threads "
            << resourcesNow().threads << " of " << baseline_.threads << ", heap blocks "
            << resourcesNow().heapBlocks << " of " << baseline_.heapBlocks;
    }

    Resources baseline_{};
};

}  // namespace device_access_test
