// Reply records of the acquire requests, from the printer's stored values.
#include "reply_assembly.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "devicerpc_contract.h"

namespace {

struct Reading {
    PrinterValueReader read;
    void* context;
};

bool Read(const Reading& r, const wchar_t* subkey, const wchar_t* name, uint8_t* dest,
          uint32_t size) {
    return r.read(r.context, subkey, name, dest, size);
}

void PutLength(uint8_t* record, uint32_t value) {
    PutLittleEndian32(record, value);
}

// The key of bin `bin` (one digit) below the printer data key.
void BinSubkey(uint32_t bin, wchar_t* key) {
    size_t length = std::wcslen(SUBKEY_BIN_INFO);
    std::wmemcpy(key, SUBKEY_BIN_INFO, length);
    key[length] = wchar_t(L'0' + bin);
    key[length + 1] = 0;
}

// ConfigReply: its length, cassettes, duplex, firmware, reserved bytes.
// Every value is read, so the reply shows all of them when one is missing.
bool AssembleConfig(const Reading& r, uint8_t* reply, uint32_t* length) {
    bool duplex = Read(r, SUBKEY_CONFIG, VALUE_DUPLEX, reply + CONFIG_DUPLEX_OFFSET, 4);
    bool cassettes = Read(r, SUBKEY_CONFIG, VALUE_CASSETTES, reply + CONFIG_CASSETTES_OFFSET, 4);
    bool firmware = Read(r, SUBKEY_CONFIG, VALUE_FIRMWARE, reply + CONFIG_FIRMWARE_OFFSET, 4);
    PutLength(reply, CONFIG_REPLY_SIZE);
    *length = CONFIG_REPLY_SIZE;
    return duplex && cassettes && firmware;
}

// BinInfoReply records, one per bin key; the first failed read ends it.
bool AssembleBinInfo(const Reading& r, uint8_t* reply, uint32_t* length) {
    static const struct {
        const wchar_t* name;
        uint32_t offset;
    } kBinValues[] = {
        {VALUE_PAPER_SOURCE, BIN_SOURCE_OFFSET}, {VALUE_PAPER_SIZE, BIN_SIZE_OFFSET},
        {VALUE_PAPER_WIDTH, BIN_WIDTH_OFFSET},   {VALUE_PAPER_HEIGHT, BIN_HEIGHT_OFFSET},
        {VALUE_PAPER_LEVEL, BIN_LEVEL_OFFSET},
    };
    *length = BIN_INFO_REPLY_SIZE;
    for (uint32_t bin = 0; bin < REPLY_BIN_COUNT; ++bin) {
        wchar_t binKey[32];
        BinSubkey(bin, binKey);
        uint8_t* record = reply + BIN_RECORD_SIZE * bin;
        for (const auto& value : kBinValues)
            if (!Read(r, binKey, value.name, record + value.offset, 4)) return false;
        PutLength(record, BIN_RECORD_SIZE);
    }
    return true;
}

// FlashDataReply: VALUE_FLASH_ID (zero when unreadable) and VALUE_FLASH_SIZE
// bytes of VALUE_FLASH_DATA. A size beyond what the fixed buffer leaves
// behind the id is served from a buffer of its own as long as the record
// fits the client's array; a larger one fails the request.
bool AssembleFlashData(const Reading& r, ReplyRecord* record) {
    uint8_t id[FLASH_ID_SIZE] = {};
    uint8_t sizeField[4] = {};
    Read(r, SUBKEY_FLASH_DATA, VALUE_FLASH_ID, id, FLASH_ID_SIZE);
    Read(r, SUBKEY_FLASH_DATA, VALUE_FLASH_SIZE, sizeField, 4);
    uint32_t size = GetLittleEndian32(sizeField);
    if (size > DEVICE_RPC_ARRAY_SIZE - FLASH_ID_SIZE) return false;
    uint8_t* out = record->fixed;
    if (FLASH_ID_SIZE + size > REPLY_BUFFER_SIZE) {
        record->large = static_cast<uint8_t*>(std::calloc(1, FLASH_ID_SIZE + size));
        if (!record->large) return false;
        out = record->large;
    }
    record->data = out;
    std::memcpy(out, id, FLASH_ID_SIZE);
    if (!Read(r, SUBKEY_FLASH_DATA, VALUE_FLASH_DATA, out + FLASH_ID_SIZE, size)) return false;
    record->length = FLASH_ID_SIZE + size;
    return true;
}

// Flash requests: the two item selectors carry the item, the service
// settings selector its settings, and every other selector an empty reply.
bool AssembleFlashRequest(const Reading& r, uint32_t selector, ReplyRecord* record) {
    if (selector == SELECTOR_FLASH_ITEM_A || selector == SELECTOR_FLASH_ITEM_B)
        return AssembleFlashData(r, record);
    if (selector == SELECTOR_SERVICE_SETTINGS) {
        record->length = SERVICE_SETTINGS_SIZE;
        return Read(r, SUBKEY_SERVICE_SETTINGS, VALUE_SERVICE_SETTINGS, record->fixed,
                    SERVICE_SETTINGS_SIZE);
    }
    return true;
}

bool AssembleRecord(const Reading& r, int32_t request, uint32_t selector, ReplyRecord* record) {
    uint8_t* reply = record->fixed;
    switch (request) {
    case DEVREQ_CALIBRATION:
        record->length = CALIBRATION_SIZE;
        return Read(r, SUBKEY_CALIBRATION, VALUE_CALIBRATION, reply, CALIBRATION_SIZE);
    case DEVREQ_CONFIG:
        return AssembleConfig(r, reply, &record->length);
    case DEVREQ_BIN_INFO:
        return AssembleBinInfo(r, reply, &record->length);
    case DEVREQ_COUNTER:
        record->length = COUNTER_REPLY_SIZE;
        return Read(r, SUBKEY_COUNTER, CounterValueForSelector(selector), reply, COUNTER_REPLY_SIZE);
    case DEVREQ_FLASH_DATA:
        return AssembleFlashRequest(r, selector, record);
    default:
        return false;
    }
}

}  // namespace

bool AssembleReply(PrinterValueReader read, void* context, int32_t request, uint32_t selector,
                   ReplyRecord* record) {
    Reading reading = {read, context};
    record->data = record->fixed;
    record->length = 0;
    if (AssembleRecord(reading, request, selector, record)) return true;
    record->length = 0;
    return false;
}

void FreeReplyRecord(ReplyRecord* record) {
    std::free(record->large);
    record->large = nullptr;
    record->data = record->fixed;
}
