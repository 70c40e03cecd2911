// RpcDeviceRequestMapped: a device request through the language monitor,
// its reply read from a named shared-memory block under a machine-wide
// mutex.
#include "DeviceRpc.h"
#include "bridge_routines.h"
#include "devicerpc_contract.h"
#include "monitor_link.h"
#include "reply_mapping.h"

namespace {

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
    DWORD error = Read32(view, MAPPED_ERROR_OFFSET);
    if (static_cast<long>(Read32(view, MAPPED_ECHO_OFFSET)) != dwRequest) return Failure(error);
    DWORD dataSize = Read32(view, MAPPED_DATA_SIZE_OFFSET);
    if (Read32(view, MAPPED_SUCCESS_OFFSET) == 0) {
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
    CopyMemory(pOutData, view + MAPPED_DATA_OFFSET, dataSize);
    return 0;
}

// Creates the mapping, sends the request and reads the reply, with the
// device request mutex held by the caller. Anyone may create the mapping
// first; one too small for the reply block fails before anything is sent.
DWORD ExchangeThroughMapping(HWND window, void* block, DWORD length, long dwRequest,
                             unsigned char* pOutData, long* pcbOutData) {
    BYTE* view = nullptr;
    HANDLE mapping = CreateReplyMapping(&view);
    if (!mapping) return Failure(GetLastError());
    DWORD error = 0;
    if (!SendToMonitor(window, MONMSG_DEVICE_REQUEST_MAPPED, block, length)) {
        // The message was not handled: answered as if there were no window,
        // instead of reporting whatever an earlier reply left in the mapping.
        *pcbOutData = 0;
        error = ERROR_INVALID_HANDLE;
    } else {
        error = ReadMappedReply(view, dwRequest, pOutData, pcbOutData);
    }
    CloseReplyMapping(mapping, view);
    return error;
}

}  // namespace

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

    HANDLE mutex = CreateReplyMutex();
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
