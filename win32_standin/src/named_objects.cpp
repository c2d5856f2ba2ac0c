// TEMPORARY: replaced by the named-object implementation.
#include "kernel.h"
#include "standin/testing.h"
namespace standin {
HANDLE createNamedMutex(const char*, bool) { SetLastError(ERROR_NOT_SUPPORTED); return nullptr; }
namespace testing { std::string namedObjectDirectory() { return {}; } }
}
HANDLE WINAPI OpenMutexA(DWORD, BOOL, LPCSTR) { SetLastError(ERROR_NOT_SUPPORTED); return nullptr; }
HANDLE WINAPI CreateFileMappingA(HANDLE, LPSECURITY_ATTRIBUTES, DWORD, DWORD, DWORD, LPCSTR) { SetLastError(ERROR_NOT_SUPPORTED); return nullptr; }
HANDLE WINAPI OpenFileMappingA(DWORD, BOOL, LPCSTR) { SetLastError(ERROR_NOT_SUPPORTED); return nullptr; }
LPVOID WINAPI MapViewOfFile(HANDLE, DWORD, DWORD, DWORD, SIZE_T) { return nullptr; }
BOOL WINAPI UnmapViewOfFile(LPCVOID) { return FALSE; }
