// Reply records of the acquire requests, from the printer's stored values.
#include "reply_assembly.h"

#include <cstdlib>
#include <cstring>

#include "payload_layout.h"
#include "devicerpc_contract.h"
#include "wire_codec.h"

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

// ConfigReply: length 32, cassettes, duplex, firmware, 16 reserved bytes.
// Every value is read, so the reply shows all of them when one is missing.
bool AssembleConfig(const Reading& r, uint8_t* reply, uint32_t* length) {
    bool duplex = Read(r, SUBKEY_CONFIG, L"dwDuplex", reply + 8, 4);
    bool cassettes = Read(r, SUBKEY_CONFIG, L"dwNumCassette", reply + 4, 4);
    bool firmware = Read(r, SUBKEY_CONFIG, L"dwFirmVersion", reply + 12, 4);
    PutLength(reply, 32);
    *length = 32;
    return duplex && cassettes && firmware;
}

// Three BinInfoReply records, one per bin key; the first failed read ends it.
bool AssembleBinInfo(const Reading& r, uint8_t* reply, uint32_t* length) {
    static const struct {
        const wchar_t* name;
        uint32_t offset;
    } kBinValues[] = {
        {L"dwPaperSource", 4}, {L"dwPaperSize", 8}, {L"dwPaperWidth", 16},
        {L"dwPaperHeight", 20}, {L"dwPaperLevel", 24},
    };
    *length = 96;
    for (int bin = 0; bin < 3; ++bin) {
        static const wchar_t* const kBinKeys[3] = {SUBKEY_BIN_INFO L"0", SUBKEY_BIN_INFO L"1",
                                                   SUBKEY_BIN_INFO L"2"};
        uint8_t* record = reply + 32 * bin;
        for (const auto& value : kBinValues)
            if (!Read(r, kBinKeys[bin], value.name, record + value.offset, 4)) return false;
        PutLength(record, 32);
    }
    return true;
}

const wchar_t* CounterForSelector(uint32_t selector) {
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
// client's 32768-byte array; a larger one fails the request.
bool AssembleFlashData(const Reading& r, ReplyRecord* record) {
    uint8_t id[4] = {};
    uint8_t sizeField[4] = {};
    Read(r, SUBKEY_FLASH_DATA, L"dwID", id, 4);
    Read(r, SUBKEY_FLASH_DATA, L"dwSize", sizeField, 4);
    uint32_t size = GetLittleEndian32(sizeField);
    if (size > DEVICE_RPC_ARRAY_SIZE - 4) return false;
    uint8_t* out = record->fixed;
    if (4 + size > REPLY_BUFFER_SIZE) {
        record->large = static_cast<uint8_t*>(std::calloc(1, 4 + size));
        if (!record->large) return false;
        out = record->large;
    }
    record->data = out;
    std::memcpy(out, id, 4);
    if (!Read(r, SUBKEY_FLASH_DATA, L"ReturnValue", out + 4, size)) return false;
    record->length = 4 + size;
    return true;
}

bool AssembleRecord(const Reading& r, int32_t request, uint32_t selector, ReplyRecord* record) {
    uint8_t* reply = record->fixed;
    switch (request) {
    case DEVREQ_CALIBRATION:
        record->length = 60;
        return Read(r, SUBKEY_CALIBRATION, L"CalibrationData", reply, 60);
    case DEVREQ_CONFIG:
        return AssembleConfig(r, reply, &record->length);
    case DEVREQ_BIN_INFO:
        return AssembleBinInfo(r, reply, &record->length);
    case DEVREQ_COUNTER:
        record->length = 4;
        return Read(r, SUBKEY_COUNTER, CounterForSelector(selector), reply, 4);
    case DEVREQ_FLASH_DATA:
        if (selector == 0 || selector == 10) return AssembleFlashData(r, record);
        if (selector == SELECTOR_SERVICE_SETTINGS) {
            record->length = 18;
            return Read(r, SUBKEY_SERVICE_SETTINGS, L"Setting Value", reply, 18);
        }
        return true;  // an empty reply
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
