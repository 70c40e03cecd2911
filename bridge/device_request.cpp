// RpcDeviceRequest: a device request through the language monitor, its
// answer collected from the printer data tree in the registry.
//
// Handshake: clear the request's flag, send the RequestBlock, read the flag
// back; for an acquire request the reply record is then assembled from the
// values the language monitor stored, for a write request the flag is the
// whole answer.
#include "DeviceRpc.h"
#include "bridge_routines.h"
#include "monitor_link.h"
#include "printer_names.h"
#include "printer_store.h"
#include "devicerpc_contract.h"
#include "reply_assembly.h"
#include "request_locks.h"

namespace {

enum RequestKind { REQUEST_NONE, REQUEST_ACQUIRE, REQUEST_WRITE };

// Classifies a request and names its flag: the flag key into `subkey`
// (260 chars) and the flag value into `*flag`.
RequestKind ClassifyRequest(LONG request, DWORD selector, wchar_t* subkey, const wchar_t** flag) {
    if (FlagKeyForRequest(request, selector, subkey)) {
        *flag = FLAG_ACQUIRED;
        return REQUEST_ACQUIRE;
    }
    if (!FlagKeyForWriteRequest(request, selector, subkey)) return REQUEST_NONE;
    *flag = FLAG_WRITTEN;
    return REQUEST_WRITE;
}

// The local printer name for `clientName` into `localName` (260 chars,
// zero-filled first): the spooler's name of the matching printer, or the
// client's name when none matches.
void ResolveForRequest(const wchar_t* clientName, wchar_t* localName) {
    ZeroMemory(localName, NAME_BUFFER_CHARS * sizeof(wchar_t));
    if (!ResolveLocalPrinterName(clientName, localName)) lstrcpyW(localName, clientName);
}

bool ReadValue(const wchar_t* printer, const wchar_t* subkey, const wchar_t* name, DWORD type,
               void* dest, DWORD size) {
    return ReadPrinterValue(HKEY_LOCAL_MACHINE, printer, subkey, name, type, dest, size);
}

// The reply assembly's reader over the printer's data key. A failed query
// may leave part of a longer value in `dest`, so it is cleared again.
bool ReadReplyValue(void* printer, const wchar_t* subkey, const wchar_t* name, void* dest,
                    uint32_t size) {
    if (ReadValue(static_cast<const wchar_t*>(printer), subkey, name, REG_BINARY, dest, size))
        return true;
    ZeroMemory(dest, size);
    return false;
}

// The answer of an acquire request: its flag, then the reply record.
boolean CollectAcquireReply(const wchar_t* printer, LONG request, DWORD selector,
                            const wchar_t* flagKey, unsigned char* pOutData, long* pcbOutData) {
    DWORD acquired = 0;
    if (!ReadValue(printer, flagKey, FLAG_ACQUIRED, REG_BINARY, &acquired, 4) || acquired == 0)
        return FALSE;
    ReplyRecord record = {};
    boolean result = FALSE;
    if (AssembleReply(ReadReplyValue, const_cast<wchar_t*>(printer), request, selector, &record)) {
        *pcbOutData = static_cast<long>(record.length);
        CopyMemory(pOutData, record.data, record.length);
        result = TRUE;
    } else {
        *pcbOutData = 0;
    }
    FreeReplyRecord(&record);
    return result;
}

// The answer of a write request: FLAG_WRITTEN must be the single byte 0x01.
boolean CollectWriteResult(const wchar_t* printer, const wchar_t* flagKey) {
    DWORD written = 0;
    return ReadValue(printer, flagKey, FLAG_WRITTEN, REG_BINARY, &written, 1) && written == 1 ? TRUE
                                                                                              : FALSE;
}

}  // namespace

bool PrinterNameFits(const wchar_t* printerName) {
    return DWORD(lstrlenW(printerName)) < NAME_BUFFER_CHARS;
}

bool RequestSizesValid(long cbInData, long cbOutData) {
    return cbInData >= 0 && cbInData <= long(DEVICE_RPC_ARRAY_SIZE) && cbOutData >= 0 &&
           cbOutData <= long(DEVICE_RPC_ARRAY_SIZE);
}

boolean RpcDeviceRequest(handle_t, long dwRequest, unsigned char* pInData, long cbInData,
                         unsigned char* pOutData, long* pcbOutData, wchar_t* pszPrinterName,
                         wchar_t*) {
    HWND window = GetMonitorWindow();
    if (!window) {
        if (pcbOutData) *pcbOutData = 0;
        return FALSE;
    }
    // Refused before anything is allocated or sent: a null output size
    // (the block is sized by it and the reply length is stored through it),
    // sizes beyond the arrays, and a name longer than a local printer name.
    if (!pcbOutData || !RequestSizesValid(cbInData, *pcbOutData) ||
        !PrinterNameFits(pszPrinterName))
        return FALSE;

    DWORD length = 0;
    void* block = BuildRequestBlock(dwRequest, pInData, cbInData, pOutData, *pcbOutData,
                                    pszPrinterName, &length);
    if (!block) return FALSE;

    DWORD selector = pInData[0];
    wchar_t localName[NAME_BUFFER_CHARS];
    ResolveForRequest(pszPrinterName, localName);
    wchar_t flagKey[NAME_BUFFER_CHARS] = {};
    const wchar_t* flag = nullptr;
    RequestKind kind = ClassifyRequest(dwRequest, selector, flagKey, &flag);

    RequestLock* lock = nullptr;
    if (kind != REQUEST_NONE) {
        lock = LockFlagKey(localName, flagKey);
        BYTE cleared = 0;
        WritePrinterValue(HKEY_LOCAL_MACHINE, localName, flagKey, flag, REG_BINARY, &cleared, 1);
    }

    boolean result = FALSE;
    if (!SendToMonitor(window, MONMSG_DEVICE_REQUEST, block, length)) {
        // The window is gone: answered as if there were none.
        *pcbOutData = 0;
    } else {
        ResolveForRequest(pszPrinterName, localName);
        if (kind == REQUEST_ACQUIRE)
            result = CollectAcquireReply(localName, dwRequest, selector, flagKey, pOutData, pcbOutData);
        else if (kind == REQUEST_WRITE)
            result = CollectWriteResult(localName, flagKey);
    }
    UnlockFlagKey(lock);
    FreeBlock(block);
    return result;
}
