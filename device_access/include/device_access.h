// The device access library: finds the controller boards among the HID devices,
// opens both pipes of each board, collects their input reports and moves whole
// reports to and from them.
//
// Plain functions over one library state per process. Every operation that can
// fail returns 0 (null, FALSE) and sets the thread's last-error code; a successful
// record operation sets ERROR_SUCCESS. A refused handle or argument gives
// ERROR_INVALID_PARAMETER, a read or write that ends without data ERROR_TIMEOUT.
#pragma once

#include "win32_services.h"

// The identity of one board's record: null means none. Every operation looks a
// handle up before it uses it, so a stale or foreign handle is refused, never
// followed.
struct DeviceRecord;
typedef DeviceRecord* DeviceHandle;

#define MAX_CLAIMED_DEVICES 32
#define SERIAL_NUMBER_UNITS 9

// Opens the library, scans for boards and claims them; the first claimed handle,
// or null (no board, start-up failed, or ERROR_ALREADY_ASSIGNED while the
// window-driven mode runs).
DeviceHandle OpenAllDevices(void);
// Shuts the library down and empties the list of claimed handles; the argument is
// not used.
void CloseAllDevices(DeviceHandle unused);
// Claimed handles, by 1-based index in the order of the scan's announcements.
DWORD ClaimedDeviceCount(void);
DeviceHandle ClaimedDeviceAt(DWORD index);

DWORD QueryProductId(DeviceHandle handle);
DWORD QueryRevision(DeviceHandle handle);
// Copies the serial number (at most 8 characters and a terminating zero) into
// `serial`; TRUE when it is not empty.
BOOL QuerySerialNumber(DeviceHandle handle, WCHAR serial[SERIAL_NUMBER_UNITS]);
// TRUE while the handle names a record of the library, whatever the board's state.
BOOL IsDeviceHandleValid(DeviceHandle handle);

// Writes the whole reports in `data` to the pipe (0 or 1); the bytes written, a
// multiple of the pipe's output report length.
DWORD WriteReport(DeviceHandle handle, DWORD pipe, const void* data, DWORD length);
// Reads whole reports of the pipe into `buffer`, oldest first, each waiting up to
// the record's read time-out; the bytes read, a multiple of the input report length.
DWORD ReadReport(DeviceHandle handle, DWORD pipe, void* buffer, DWORD length);
// Reads at most one report, and only one that has already arrived: the report's
// length, or 0 at once (ERROR_SUCCESS) when none is stored.
DWORD ReadStoredReport(DeviceHandle handle, DWORD pipe, void* buffer, DWORD length);
// Sets how long a read waits for a report that has not arrived (INFINITE: no limit,
// as discovery leaves it).
BOOL SetReadTimeout(DeviceHandle handle, DWORD milliseconds);
