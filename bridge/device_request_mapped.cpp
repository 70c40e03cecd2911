// RpcDeviceRequestMapped: a device request through the language monitor,
// its reply read from a named shared-memory block under a machine-wide
// mutex.
#include "DeviceRpc.h"
#include "bridge_routines.h"
#include "monitor_link.h"
#include "payload_layout.h"
#include "wire_codec.h"
#include "world_security.h"

namespace {

#define REPLY_MUTEX_NAME L"ZOLT7 DeviceRequest Mapped File Mutex"
#define REPLY_MAPPING_NAME L"ZOLT7 DeviceRequest Mapped File"

// MappedReplyBlock, written by the language monitor.
const DWORD MAPPED_REPLY_SIZE = 32792;
const DWORD REPLY_SUCCESS_OFFSET = 4;
const DWORD REPLY_ERROR_OFFSET = 8;
const DWORD REPLY_ECHO_OFFSET = 12;
const DWORD REPLY_DATA_OFFSET = 16;
const DWORD REPLY_DATA_SIZE_OFFSET = 32788;

void ObjectName(wchar_t* name, const wchar_t* base) {
    ZeroMemory(name, 260 * sizeof(wchar_t));
    if (!MakeGlobalObjectName(name, base, 260)) lstrcpyW(name, base);
}

// A failure is never reported as 0.
DWORD Failure(DWORD error) {
    return error ? error : 1;
}

DWORD Read32(const BYTE* view, DWORD offset) {
    return GetLittleEndian32(view + offset);
}

// Takes the reply out of the mapping. Every field is read once, so that a
// process writing the mapping meanwhile cannot make the size checked
// differ from the size copied. Returns 0 on success, else the error.
DWORD ReadMappedReply(const BYTE* view, long dwRequest, unsigned char* pOutData, long* pcbOutData) {
    DWORD error = Read32(view, REPLY_ERROR_OFFSET);
    if (static_cast<long>(Read32(view, REPLY_ECHO_OFFSET)) != dwRequest) return Failure(error);
    DWORD dataSize = Read32(view, REPLY_DATA_SIZE_OFFSET);
    if (Read32(view, REPLY_SUCCESS_OFFSET) == 0) {
        *pcbOutData = static_cast<long>(dataSize);
        return Failure(error);
    }
    // A reply larger than the client's array cannot be delivered whole; it
    // is refused rather than cut, and the size tells what was offered.
    if (dataSize > DEVICE_RPC_ARRAY_SIZE) {
        *pcbOutData = static_cast<long>(dataSize);
        return ERROR_INSUFFICIENT_BUFFER;
    }
    *pcbOutData = static_cast<long>(dataSize);
    CopyMemory(pOutData, view + REPLY_DATA_OFFSET, dataSize);
    return 0;
}

// Creates the mapping, sends the request and reads the reply, with the
// device request mutex held by the caller.
DWORD ExchangeThroughMapping(HWND window, void* block, DWORD length, long dwRequest,
                             unsigned char* pOutData, long* pcbOutData) {
    WorldSecurity security;
    wchar_t name[260];
    ObjectName(name, REPLY_MAPPING_NAME);
    HANDLE mapping = CreateFileMappingW(INVALID_HANDLE_VALUE,
                                        WorldAttributes(&security, SECTION_ALL_ACCESS),
                                        PAGE_READWRITE, 0, MAPPED_REPLY_SIZE, name);
    if (!mapping) return Failure(GetLastError());

    // The view covers the whole reply block. Anyone may create the mapping
    // first, and one that is smaller fails here, before anything is sent,
    // instead of being read past its end.
    const BYTE* view = static_cast<const BYTE*>(
        MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, MAPPED_REPLY_SIZE));
    DWORD error = 0;
    if (!view) {
        error = Failure(GetLastError());
    } else if (!SendToMonitor(window, MONMSG_DEVICE_REQUEST_MAPPED, block, length)) {
        // The message was not handled: answered as if there were no window,
        // instead of reporting whatever an earlier reply left in the mapping.
        *pcbOutData = 0;
        error = ERROR_INVALID_HANDLE;
    } else {
        error = ReadMappedReply(view, dwRequest, pOutData, pcbOutData);
    }
    if (view) UnmapViewOfFile(view);
    CloseHandle(mapping);
    return error;
}

}  // namespace

int MakeGlobalObjectName(wchar_t* dest, const wchar_t* baseName, DWORD capacity) {
    if (!dest || !baseName) return 0;
    OSVERSIONINFOW version = {};
    version.dwOSVersionInfoSize = sizeof(OSVERSIONINFOW);
    if (!GetVersionExW(&version)) return 0;
    DWORD length = static_cast<DWORD>(lstrlenW(baseName));
    if (version.dwPlatformId == VER_PLATFORM_WIN32_NT && version.dwMajorVersion >= 5) {
        if (length + 7 >= capacity) return 0;
        wsprintfW(dest, L"Global\\%s", baseName);
        return 1;
    }
    if (length >= capacity) return 0;
    lstrcpyW(dest, baseName);
    return 1;
}

long RpcDeviceRequestMapped(handle_t, long dwRequest, unsigned char* pInData, long cbInData,
                            unsigned char* pOutData, long* pcbOutData, wchar_t* pszPrinterName,
                            wchar_t*) {
    HWND window = GetMonitorWindow();
    if (!window) {
        if (pcbOutData) *pcbOutData = 0;
        return ERROR_INVALID_HANDLE;
    }
    // Refused before anything is allocated or sent, as in RpcDeviceRequest.
    // The printer name is not bounded: it only travels in the block.
    if (!pcbOutData || !RequestSizesValid(cbInData, *pcbOutData)) return ERROR_INVALID_PARAMETER;

    DWORD length = 0;
    void* block = BuildRequestBlock(dwRequest, pInData, cbInData, pOutData, *pcbOutData,
                                    pszPrinterName, &length);
    if (!block) return ERROR_NOT_ENOUGH_MEMORY;

    WorldSecurity security;
    wchar_t name[260];
    ObjectName(name, REPLY_MUTEX_NAME);
    HANDLE mutex = CreateMutexW(WorldAttributes(&security, MUTEX_ALL_ACCESS), FALSE, name);
    DWORD error = 0;
    if (!mutex) {
        error = Failure(GetLastError());
    } else {
        // An abandoned mutex counts as acquired.
        WaitForSingleObject(mutex, INFINITE);
        error = ExchangeThroughMapping(window, block, length, dwRequest, pOutData, pcbOutData);
        ReleaseMutex(mutex);
        CloseHandle(mutex);
    }
    FreeBlock(block);
    return static_cast<long>(error);
}
