// One device handle of the device access library, with the board's product id and
// serial number cached.
#pragma once

#include <string>

#include "device_access.h"

class InterfaceChip {
public:
    InterfaceChip() = default;
    // Closes the library when this object owns its handle.
    ~InterfaceChip();
    InterfaceChip(const InterfaceChip&) = delete;
    InterfaceChip& operator=(const InterfaceChip&) = delete;

    // The serial number as narrow text; asks the library again when `refresh` is
    // set or nothing is cached yet.
    std::string GetSerialString(bool refresh);
    // Copies the serial number text with its terminating zero into `buffer`.
    bool GetSerial8(char buffer[SERIAL_NUMBER_UNITS]);
    // The USB product id, read from the library once and then cached.
    int ProductId();
    // Takes a handle lent by the owner of the library and fills the serial number.
    void Attach(DeviceHandle handle);
    // Takes the handle that opened the library; Close then shuts the library down.
    void AdoptOwnedHandle(DeviceHandle handle);
    // Shuts the library down when this object holds a handle it does not borrow.
    void Close();

    DeviceHandle Handle() const { return m_handle; }

protected:
    DeviceHandle m_handle = nullptr;
    int m_productId = 0;
    bool m_borrowed = false;
    WCHAR m_serial[SERIAL_NUMBER_UNITS] = {};
};
