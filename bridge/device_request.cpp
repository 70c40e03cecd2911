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
#include "payload_layout.h"
#include "printer_names.h"
#include "printer_store.h"
#include "registry_layout.h"
#include "request_locks.h"
#include "wire_codec.h"

namespace {

// The fixed reply buffer of every record but a large flash data reply.
const DWORD REPLY_BUFFER_SIZE = 260;

enum RequestKind { REQUEST_NONE, REQUEST_ACQUIRE, REQUEST_WRITE };

// Classifies a request and names its flag: the flag key into `subkey`
// (260 chars) and the flag value into `*flag`.
RequestKind ClassifyRequest(LONG request, DWORD selector, wchar_t* subkey, const wchar_t** flag) {
    if (FlagKeyForRequest(request, selector, subkey)) {
        *flag = FLAG_ACQUIRED;
        return REQUEST_ACQUIRE;
    }
    if (request == DEVREQ_BIN_INFO_WRITE) {
        lstrcpyW(subkey, SUBKEY_BIN_INFO);
    } else if (request == DEVREQ_FLASH_DATA_WRITE) {
        lstrcpyW(subkey, selector == SELECTOR_SERVICE_SETTINGS ? SUBKEY_SERVICE_SETTINGS
                                                              : SUBKEY_FLASH_DATA);
    } else {
        return REQUEST_NONE;
    }
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

DWORD* Field(BYTE* reply, DWORD offset) {
    return reinterpret_cast<DWORD*>(reply + offset);
}

// ConfigReply: length 32, cassettes, duplex, firmware, 16 reserved bytes.
bool AssembleConfig(const wchar_t* printer, BYTE* reply, DWORD* length) {
    bool duplex = ReadValue(printer, SUBKEY_CONFIG, L"dwDuplex", REG_DWORD, reply + 8, 4);
    bool cassettes = ReadValue(printer, SUBKEY_CONFIG, L"dwNumCassette", REG_DWORD, reply + 4, 4);
    bool firmware = ReadValue(printer, SUBKEY_CONFIG, L"dwFirmVersion", REG_DWORD, reply + 12, 4);
    *Field(reply, 0) = 32;
    *length = 32;
    return duplex && cassettes && firmware;
}

// Three BinInfoReply records, one per bin key; the first failed read ends it.
bool AssembleBinInfo(const wchar_t* printer, BYTE* reply, DWORD* length) {
    static const struct {
        const wchar_t* name;
        DWORD offset;
    } kBinValues[] = {
        {L"dwPaperSource", 4}, {L"dwPaperSize", 8}, {L"dwPaperWidth", 16},
        {L"dwPaperHeight", 20}, {L"dwPaperLevel", 24},
    };
    *length = 96;
    for (int bin = 0; bin < 3; ++bin) {
        wchar_t subkey[NAME_BUFFER_CHARS] = {};
        wsprintfW(subkey, SUBKEY_BIN_FORMAT, bin);
        DWORD base = 32 * static_cast<DWORD>(bin);
        for (const auto& value : kBinValues)
            if (!ReadValue(printer, subkey, value.name, REG_DWORD, reply + base + value.offset, 4))
                return false;
        *Field(reply, base) = 32;
    }
    return true;
}

const wchar_t* CounterForSelector(DWORD selector) {
    switch (selector) {
    case 0: return L"dwMonoCounter";
    case 2: return L"dwColorCounter";
    case 5: return L"dwBlackCounter";
    case 6: return L"dwCyanCounter";
    case 7: return L"dwMagentaCounter";
    case 8: return L"dwYellowCounter";
    default: return L"dwIOCounter";
    }
}

// FlashDataReply: "dwID" (zero when unreadable) and "dwSize" bytes of
// "ReturnValue". A "dwSize" beyond the 256 bytes the fixed buffer leaves
// is served from a buffer of its own as long as the record fits the
// client's 32768-byte array; a larger one fails the request. `*large`
// receives that buffer, which the caller frees.
bool AssembleFlashData(const wchar_t* printer, BYTE* reply, BYTE** large, DWORD* length) {
    DWORD id = 0;
    DWORD size = 0;
    ReadValue(printer, SUBKEY_FLASH_DATA, L"dwID", REG_BINARY, &id, 4);
    ReadValue(printer, SUBKEY_FLASH_DATA, L"dwSize", REG_BINARY, &size, 4);
    *length = 0;
    if (size > DEVICE_RPC_ARRAY_SIZE - 4) return false;
    BYTE* record = reply;
    if (4 + size > REPLY_BUFFER_SIZE) {
        *large = static_cast<BYTE*>(AllocZeroed(4 + size));
        if (!*large) return false;
        record = *large;
    }
    *Field(record, 0) = id;
    if (!ReadValue(printer, SUBKEY_FLASH_DATA, L"ReturnValue", REG_BINARY, record + 4, size))
        return false;
    *length = 4 + size;
    return true;
}

// Builds the reply of an acquire request whose flag was found set. On
// success `*record` points at the reply (the fixed buffer or `*large`).
bool AssembleReply(const wchar_t* printer, LONG request, DWORD selector, BYTE* reply,
                   BYTE** large, BYTE** record, DWORD* length) {
    *record = reply;
    *length = 0;
    switch (request) {
    case DEVREQ_CALIBRATION:
        *length = 60;
        return ReadValue(printer, SUBKEY_CALIBRATION, L"CalibrationData", REG_BINARY, reply, 60);
    case DEVREQ_CONFIG:
        return AssembleConfig(printer, reply, length);
    case DEVREQ_BIN_INFO:
        return AssembleBinInfo(printer, reply, length);
    case DEVREQ_COUNTER:
        *length = 4;
        return ReadValue(printer, SUBKEY_COUNTER, CounterForSelector(selector), REG_BINARY, reply, 4);
    case DEVREQ_FLASH_DATA:
        if (selector == 0 || selector == 10) {
            bool ok = AssembleFlashData(printer, reply, large, length);
            if (*large) *record = *large;
            return ok;
        }
        if (selector == SELECTOR_SERVICE_SETTINGS) {
            *length = 18;
            return ReadValue(printer, SUBKEY_SERVICE_SETTINGS, L"Setting Value", REG_BINARY, reply, 18);
        }
        return true;  // an empty reply
    default:
        return false;
    }
}

// The answer of an acquire request: its flag, then the reply record.
boolean CollectAcquireReply(const wchar_t* printer, LONG request, DWORD selector,
                            const wchar_t* flagKey, unsigned char* pOutData, long* pcbOutData) {
    DWORD acquired = 0;
    if (!ReadValue(printer, flagKey, FLAG_ACQUIRED, REG_BINARY, &acquired, 4) || acquired == 0)
        return FALSE;
    BYTE reply[REPLY_BUFFER_SIZE] = {};
    BYTE* large = nullptr;
    BYTE* record = reply;
    DWORD length = 0;
    boolean result = FALSE;
    if (AssembleReply(printer, request, selector, reply, &large, &record, &length)) {
        *pcbOutData = static_cast<long>(length);
        CopyMemory(pOutData, record, length);
        result = TRUE;
    } else {
        *pcbOutData = 0;
    }
    FreeBlock(large);
    return result;
}

// The answer of a write request: "Written" must be the single byte 0x01.
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
