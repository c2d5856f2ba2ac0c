#include "InterfaceChip.h"

InterfaceChip::~InterfaceChip() { Close(); }

std::string InterfaceChip::GetSerialString(bool refresh) {
    if (refresh || m_serial[0] == 0) QuerySerialNumber(m_handle, m_serial);
    // The library gives at most 8 characters; the last unit always ends the text.
    m_serial[SERIAL_NUMBER_UNITS - 1] = 0;
    char text[SERIAL_NUMBER_UNITS] = {};
    size_t converted = 0;
    if (wcstombs_s(&converted, text, sizeof text, m_serial, _TRUNCATE) != 0) text[0] = '\0';
    return text;
}

bool InterfaceChip::GetSerial8(char buffer[SERIAL_NUMBER_UNITS]) {
    strcpy_s(buffer, SERIAL_NUMBER_UNITS, GetSerialString(false).c_str());
    return true;
}

int InterfaceChip::ProductId() {
    if (m_productId == 0) m_productId = static_cast<int>(QueryProductId(m_handle));
    return m_productId;
}

void InterfaceChip::Attach(DeviceHandle handle) {
    m_handle = handle;
    m_borrowed = true;
    GetSerialString(false);
}

void InterfaceChip::AdoptOwnedHandle(DeviceHandle handle) {
    m_handle = handle;
    m_borrowed = false;
}

void InterfaceChip::Close() {
    if (m_handle != nullptr && !m_borrowed) {
        CloseAllDevices(m_handle);
        m_handle = nullptr;
    }
}
