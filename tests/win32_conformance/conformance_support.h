// Small helpers shared by the conformance tests; Windows API only.
#pragma once

#include <gtest/gtest.h>

#include "win32_services.h"

namespace conformance {

// Closes a handle at the end of a scope.
class OwnedHandle {
public:
    explicit OwnedHandle(HANDLE handle = nullptr) : value_(handle) {}
    ~OwnedHandle() { reset(); }
    OwnedHandle(const OwnedHandle&) = delete;
    OwnedHandle& operator=(const OwnedHandle&) = delete;

    HANDLE get() const { return value_; }
    void reset(HANDLE handle = nullptr) {
        if (value_ != nullptr && value_ != INVALID_HANDLE_VALUE) CloseHandle(value_);
        value_ = handle;
    }

private:
    HANDLE value_;
};

inline HANDLE newEvent(bool manualReset, bool initialState) {
    HANDLE event =
        CreateEventA(nullptr, manualReset ? TRUE : FALSE, initialState ? TRUE : FALSE, nullptr);
    EXPECT_NE(event, nullptr);
    return event;
}

}  // namespace conformance
