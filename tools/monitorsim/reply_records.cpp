// Reply records built from a virtual printer, laid out as the server's
// registry path assembles them.
#include "reply_records.h"

#include "payload_layout.h"
#include "devicerpc_contract.h"

namespace {

const DWORD CONFIG_RECORD_BYTES = 32;
const DWORD BIN_RECORD_BYTES = 32;

void Put32(BYTE* p, DWORD value) { PutLittleEndian32(p, value); }

}  // namespace

bool IsWriteRequest(LONG request) {
    return request == DEVREQ_BIN_INFO_WRITE || request == DEVREQ_FLASH_DATA_WRITE;
}

bool NeedsSelectorByte(LONG request) {
    return request == DEVREQ_FLASH_DATA || request == DEVREQ_FLASH_DATA_WRITE;
}

DWORD SelectorByte(const BYTE* input, DWORD inputSize) {
    return inputSize > 0 ? input[0] : 0;
}

CounterSlot CounterForSelector(DWORD selector) {
    switch (selector) {
    case 0: return COUNTER_MONO;
    case 2: return COUNTER_COLOR;
    case 5: return COUNTER_BLACK;
    case 6: return COUNTER_CYAN;
    case 7: return COUNTER_MAGENTA;
    case 8: return COUNTER_YELLOW;
    default: return COUNTER_IO;
    }
}

RequestOutcome BuildReplyRecord(const VirtualPrinter* printer, LONG request, DWORD selector,
                                BYTE* record, DWORD* length) {
    ZeroMemory(record, REPLY_RECORD_MAX);
    *length = 0;
    switch (request) {
    case DEVREQ_CONFIG:
        Put32(record + 0, CONFIG_RECORD_BYTES);
        Put32(record + 4, printer->dwNumCassette);
        Put32(record + 8, printer->dwDuplex);
        Put32(record + 12, printer->dwFirmVersion);
        *length = CONFIG_RECORD_BYTES;
        return OUTCOME_DONE;
    case DEVREQ_BIN_INFO:
        for (int i = 0; i < PAPER_BIN_COUNT; ++i) {
            BYTE* base = record + BIN_RECORD_BYTES * i;
            const BinRecord* bin = &printer->bins[i];
            Put32(base + 0, BIN_RECORD_BYTES);
            Put32(base + 4, bin->dwPaperSource);
            Put32(base + 8, bin->dwPaperSize);
            Put32(base + 16, bin->dwPaperWidth);
            Put32(base + 20, bin->dwPaperHeight);
            Put32(base + 24, bin->dwPaperLevel);
        }
        *length = BIN_RECORD_BYTES * PAPER_BIN_COUNT;
        return OUTCOME_DONE;
    case DEVREQ_CALIBRATION:
        CopyMemory(record, printer->calibration, CALIBRATION_BYTES);
        *length = CALIBRATION_BYTES;
        return OUTCOME_DONE;
    case DEVREQ_COUNTER:
        Put32(record, printer->counters[CounterForSelector(selector)]);
        *length = 4;
        return OUTCOME_DONE;
    case DEVREQ_FLASH_DATA: {
        if (selector == SELECTOR_SERVICE_SETTINGS) {
            CopyMemory(record, printer->serviceSettings, SERVICE_SETTINGS_BYTES);
            *length = SERVICE_SETTINGS_BYTES;
            return OUTCOME_DONE;
        }
        const FlashItem* item = FindFlashItem(printer, selector);
        if (!item) return OUTCOME_FAILED;
        // Only selectors 0 and 10 carry the item in the reply; the others
        // answer with an empty record, as the registry path does.
        if (selector == 0 || selector == 10) {
            Put32(record, item->dwID);
            CopyMemory(record + 4, item->data, item->dwSize);
            *length = 4 + item->dwSize;
        }
        return OUTCOME_DONE;
    }
    case DEVREQ_BIN_INFO_WRITE:
    case DEVREQ_FLASH_DATA_WRITE:
        return OUTCOME_DONE;
    default:
        return OUTCOME_UNKNOWN_CODE;
    }
}
