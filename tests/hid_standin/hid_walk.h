// The fourteen HID, SetupAPI and configuration-manager functions, bound at run time
// as the device access library binds them, and the enumeration that discovery
// performs with them.
#pragma once

#include <array>
#include <chrono>
#include <string>
#include <vector>

#include "win32_services.h"

namespace hid_test {

struct HidFunctions {
    HMODULE hid = nullptr;
    HMODULE cfgmgr = nullptr;
    HMODULE setupapi = nullptr;
    decltype(&HidD_GetAttributes) getAttributes = nullptr;
    decltype(&HidD_GetHidGuid) getHidGuid = nullptr;
    decltype(&HidD_GetPreparsedData) getPreparsedData = nullptr;
    decltype(&HidP_GetCaps) getCaps = nullptr;
    decltype(&HidD_FreePreparsedData) freePreparsedData = nullptr;
    decltype(&HidD_GetNumInputBuffers) getNumInputBuffers = nullptr;
    decltype(&HidD_SetNumInputBuffers) setNumInputBuffers = nullptr;
    decltype(&HidD_GetSerialNumberString) getSerialNumberString = nullptr;
    decltype(&HidD_GetIndexedString) getIndexedString = nullptr;
    decltype(&CM_Get_Parent) getParent = nullptr;
    decltype(&SetupDiGetDeviceInterfaceDetailA) getInterfaceDetail = nullptr;
    decltype(&SetupDiGetClassDevsA) getClassDevs = nullptr;
    decltype(&SetupDiEnumDeviceInterfaces) enumInterfaces = nullptr;
    decltype(&SetupDiDestroyDeviceInfoList) destroyInfoList = nullptr;

    // Loads the three modules and looks the fourteen functions up; false when
    // anything is missing.
    bool bind();
    void unbind();
    ~HidFunctions() { unbind(); }
};

struct FoundInterface {
    std::string path;
    bool openedReadWrite = false;  // else only the query-only open worked
    DWORD devInst = 0;
    DWORD groupKey = 0;            // the grandparent device node
    HIDD_ATTRIBUTES attributes{};
    bool attributesRead = false;
    HIDP_CAPS caps{};
    bool capsRead = false;
    std::array<unsigned char, 18> serial{};  // by discovery's serial rule
    bool serialQueried = false;
};

// Discovery's enumeration, without its vendor and product filter: every interface
// whose path opened, in enumeration order.
std::vector<FoundInterface> walkHidInterfaces(const HidFunctions& functions);

std::string serialText(const FoundInterface& found);

// Overlapped report transfers with completion routines, awaited in alertable waits.
struct Transfer {
    bool completed = false;
    DWORD error = 0;
    DWORD bytes = 0;
    OVERLAPPED overlapped{};
};

HANDLE openPipe(const std::string& path, DWORD access);
// Starts a read into `buffer`; false with the last error when refused at once.
bool startRead(HANDLE file, void* buffer, DWORD length, Transfer& transfer);
bool startWrite(HANDLE file, const void* data, DWORD length, Transfer& transfer);
// Waits alertably until the transfer completed; false when the bound passed first.
bool awaitTransfer(Transfer& transfer, std::chrono::milliseconds bound = std::chrono::seconds(10));

struct IoResult {
    bool completed;
    DWORD error;
    std::vector<unsigned char> data;
};
IoResult readReport(HANDLE file, DWORD length, std::chrono::milliseconds bound = std::chrono::seconds(10));
IoResult writeReport(HANDLE file, const std::vector<unsigned char>& report);

}  // namespace hid_test
