// Reply records built from a virtual printer, laid out as the server's
// registry path assembles them.
#include "reply_records.h"

#include "devicerpc_contract.h"

namespace {

void Put32(BYTE* p, DWORD value) { PutLittleEndian32(p, value); }

// ConfigReply from the printer's configuration.
void BuildConfigRecord(const VirtualPrinter* printer, BYTE* record, DWORD* length) {
    Put32(record, CONFIG_REPLY_SIZE);
    Put32(record + CONFIG_CASSETTES_OFFSET, printer->dwNumCassette);
    Put32(record + CONFIG_DUPLEX_OFFSET, printer->dwDuplex);
    Put32(record + CONFIG_FIRMWARE_OFFSET, printer->dwFirmVersion);
    *length = CONFIG_REPLY_SIZE;
}

// The BinInfoReply records of the printer's bins.
void BuildBinRecords(const VirtualPrinter* printer, BYTE* record, DWORD* length) {
    for (uint32_t i = 0; i < REPLY_BIN_COUNT; ++i) {
        BYTE* base = record + BIN_RECORD_SIZE * i;
        const BinRecord* bin = &printer->bins[i];
        Put32(base, BIN_RECORD_SIZE);
        Put32(base + BIN_SOURCE_OFFSET, bin->dwPaperSource);
        Put32(base + BIN_SIZE_OFFSET, bin->dwPaperSize);
        Put32(base + BIN_WIDTH_OFFSET, bin->dwPaperWidth);
        Put32(base + BIN_HEIGHT_OFFSET, bin->dwPaperHeight);
        Put32(base + BIN_LEVEL_OFFSET, bin->dwPaperLevel);
    }
    *length = BIN_INFO_REPLY_SIZE;
}

// The service settings for their selector; the item behind its identifier
// for the two item selectors; an empty record for the others, as the
// registry path answers. Fails without a flash item for the selector.
RequestOutcome BuildFlashRecord(const VirtualPrinter* printer, DWORD selector, BYTE* record,
                                DWORD* length) {
    if (selector == SELECTOR_SERVICE_SETTINGS) {
        CopyMemory(record, printer->serviceSettings, SERVICE_SETTINGS_SIZE);
        *length = SERVICE_SETTINGS_SIZE;
        return OUTCOME_DONE;
    }
    const FlashItem* item = FindFlashItem(printer, selector);
    if (!item) return OUTCOME_FAILED;
    if (selector == SELECTOR_FLASH_ITEM_A || selector == SELECTOR_FLASH_ITEM_B) {
        Put32(record, item->dwID);
        CopyMemory(record + FLASH_ID_SIZE, item->data, item->dwSize);
        *length = FLASH_ID_SIZE + item->dwSize;
    }
    return OUTCOME_DONE;
}

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

RequestOutcome BuildReplyRecord(const VirtualPrinter* printer, LONG request, DWORD selector,
                                BYTE* record, DWORD* length) {
    ZeroMemory(record, REPLY_RECORD_MAX);
    *length = 0;
    switch (request) {
    case DEVREQ_CONFIG:
        BuildConfigRecord(printer, record, length);
        return OUTCOME_DONE;
    case DEVREQ_BIN_INFO:
        BuildBinRecords(printer, record, length);
        return OUTCOME_DONE;
    case DEVREQ_CALIBRATION:
        CopyMemory(record, printer->calibration, CALIBRATION_SIZE);
        *length = CALIBRATION_SIZE;
        return OUTCOME_DONE;
    case DEVREQ_COUNTER:
        Put32(record, printer->counters[CounterIndexForSelector(selector)]);
        *length = COUNTER_REPLY_SIZE;
        return OUTCOME_DONE;
    case DEVREQ_FLASH_DATA:
        return BuildFlashRecord(printer, selector, record, length);
    case DEVREQ_BIN_INFO_WRITE:
    case DEVREQ_FLASH_DATA_WRITE:
        return OUTCOME_DONE;
    default:
        return OUTCOME_UNKNOWN_CODE;
    }
}
