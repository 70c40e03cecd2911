// Formatting of reply records: the records are decoded by the client
// library (devicerpc_api.h), the one place that knows their layout; this
// file turns them into text.
#include "reply_format.h"

#include <cstddef>

#include "devicerpc_api.h"
#include "devicerpc_contract.h"

namespace {

// Where ConfigReply's reserved bytes lie, for the note about them.
const DWORD CONFIG_RESERVED_FIRST = offsetof(DEVICERPC_CONFIG, reserved);
const DWORD CONFIG_RESERVED_LAST = sizeof(DEVICERPC_CONFIG) - 1;

// The length that ConfigReply and every BinInfoReply record state first.
const DWORD STATED_RECORD_LENGTH = sizeof(DEVICERPC_BIN);

// True when none of `count` bytes is set.
bool AllZero(const BYTE* bytes, DWORD count) {
    for (DWORD i = 0; i < count; ++i)
        if (bytes[i]) return false;
    return true;
}

// True when `count` bytes are the calibration block or the service
// settings block that `kind` names.
bool BlockDecodes(ReplyKind kind, const BYTE* bytes, DWORD count) {
    if (kind == REPLY_CALIBRATION) {
        DEVICERPC_CALIBRATION calibration;
        return DeviceRpcDecodeCalibration(bytes, count, &calibration) == DEVICERPC_OK;
    }
    DEVICERPC_SERVICE_SETTINGS settings;
    return DeviceRpcDecodeServiceSettings(bytes, count, &settings) == DEVICERPC_OK;
}

// The counters' short names as wide text, made once from the contract's.
struct CounterNames {
    wchar_t text[COUNTER_COUNT][16];
};

// Widens the contract's counter names, which are plain ASCII.
CounterNames WidenCounterNames() {
    CounterNames names = {};
    for (uint32_t i = 0; i < COUNTER_COUNT; ++i)
        for (int c = 0; c < 15 && COUNTER_SELECTORS[i].name[c]; ++c)
            names.text[i][c] = static_cast<wchar_t>(COUNTER_SELECTORS[i].name[c]);
    return names;
}

// The row of COUNTER_SELECTORS that `selector` reads: its own counter, or
// the I/O counter, which is the last.
uint32_t CounterRow(BYTE selector) {
    for (uint32_t i = 0; i < COUNTER_COUNT; ++i)
        if (COUNTER_SELECTORS[i].selector == selector) return i;
    return COUNTER_COUNT - 1;
}

// The short name of counter `row`, as wide text.
const wchar_t* CounterNameAt(uint32_t row) {
    static const CounterNames names = WidenCounterNames();
    return names.text[row];
}

// The name of the record a kind expects, for notes about a reply that
// does not fit it.
const wchar_t* RecordName(ReplyKind kind) {
    switch (kind) {
    case REPLY_CONFIG: return L"ConfigReply";
    case REPLY_BIN_INFO: return L"BinInfoReply records";
    case REPLY_CALIBRATION: return L"calibration block";
    case REPLY_COUNTER: return L"counter";
    case REPLY_FLASH: return L"FlashDataReply";
    case REPLY_SERVICE_SETTINGS: return L"service settings block";
    default: return L"reply";
    }
}

// A reply whose bytes do not fit the record: a note, then the bytes.
void AppendMalformed(ReplyKind kind, const BYTE* bytes, DWORD count, TextBuffer* out) {
    DWORD expected = ExpectedReplyLength(kind);
    if (expected && count == expected)  // the right size, but a record does not state it
        AppendText(out, L"reply: %lu bytes with a record length field other than %lu, not a %ls\n",
                   count, STATED_RECORD_LENGTH, RecordName(kind));
    else if (expected)
        AppendText(out, L"reply: %lu bytes, not a %lu-byte %ls\n", count, expected, RecordName(kind));
    else if (kind == REPLY_EMPTY || kind == REPLY_NONE)
        AppendText(out, L"reply: %lu bytes, expected none\n", count);
    else
        AppendText(out, L"reply: %lu bytes, too short for a %ls\n", count, RecordName(kind));
    AppendDumpTable(out, bytes, count);
}

// ConfigReply as a field/value/hex table.
void AppendConfigTable(const ConfigRecord& r, TextBuffer* out) {
    AppendText(out, L"%-15ls%-12ls%ls\n", L"field", L"value", L"hex");  // 10 digits at most
    const struct {
        const wchar_t* label;
        DWORD value;
    } rows[] = {
        {L"record length", r.recordLength},
        {L"cassettes", r.cassettes},
        {L"duplex", r.duplex},
        {L"firmware", r.firmware},
    };
    for (const auto& row : rows)
        AppendText(out, L"%-15ls%-12lu0x%08lx\n", row.label, row.value, row.value);
    if (!r.reservedZero)
        AppendText(out, L"note: reserved bytes %lu to %lu are not zero\n", CONFIG_RESERVED_FIRST,
                   CONFIG_RESERVED_LAST);
}

// The three bins, one row each.
void AppendBinTable(const BinRecord records[REPLY_BIN_COUNT], TextBuffer* out) {
    // Columns hold any 32-bit value, so that they never run together.
    AppendText(out, L"%-5ls%-8ls%-11ls%-11ls%-11ls%-11ls%ls\n", L"bin", L"length", L"source",
               L"size", L"width", L"height", L"level");
    for (DWORD bin = 0; bin < REPLY_BIN_COUNT; ++bin) {
        const BinRecord& r = records[bin];
        AppendText(out, L"%-5lu%-8lu%-11lu%-11lu%-11lu%-11lu%lu\n", bin, r.recordLength, r.source,
                   r.size, r.width, r.height, r.level);
    }
    for (DWORD bin = 0; bin < REPLY_BIN_COUNT; ++bin)
        if (!records[bin].reservedZero)
            AppendText(out, L"note: reserved fields of bin %lu are not zero\n", bin);
}

// The flash item id, its size, and its data as a dump.
void AppendFlashTable(const FlashRecord& r, TextBuffer* out) {
    AppendText(out, L"%-12ls0x%08lx (%lu)\n", L"flash id", r.id, r.id);
    AppendText(out, L"%-12ls%lu\n", L"data bytes", r.dataSize);
    if (r.dataSize) AppendDumpTable(out, r.data, r.dataSize);
}

// {"data":"<hex>"}: a block shown as its bytes.
void AppendDataJson(const BYTE* bytes, DWORD count, TextBuffer* out) {
    AppendText(out, L"{\"data\":\"");
    AppendHexRun(out, bytes, count);
    AppendText(out, L"\"}");
}

// The JSON object of a record kind; false, with nothing appended, when
// the bytes do not have its shape.
bool AppendRecordJson(ReplyKind kind, BYTE selector, const BYTE* bytes, DWORD count,
                      TextBuffer* out) {
    ConfigRecord config;
    BinRecord bins[REPLY_BIN_COUNT];
    DWORD value = 0;
    FlashRecord flash;
    if (kind == REPLY_CONFIG && DecodeConfigReply(bytes, count, &config)) {
        AppendText(out,
                   L"{\"record_length\":%lu,\"cassettes\":%lu,\"duplex\":%lu,\"firmware\":%lu,"
                   L"\"reserved_zero\":%ls}",
                   config.recordLength, config.cassettes, config.duplex, config.firmware,
                   config.reservedZero ? L"true" : L"false");
    } else if (kind == REPLY_BIN_INFO && DecodeBinInfoReply(bytes, count, bins)) {
        AppendText(out, L"{\"bins\":[");
        for (DWORD bin = 0; bin < REPLY_BIN_COUNT; ++bin) {
            const BinRecord& r = bins[bin];
            AppendText(out,
                       L"%ls{\"bin\":%lu,\"record_length\":%lu,\"source\":%lu,\"size\":%lu,"
                       L"\"width\":%lu,\"height\":%lu,\"level\":%lu,\"reserved_zero\":%ls}",
                       bin ? L"," : L"", bin, r.recordLength, r.source, r.size, r.width, r.height,
                       r.level, r.reservedZero ? L"true" : L"false");
        }
        AppendText(out, L"]}");
    } else if (kind == REPLY_COUNTER && DecodeCounterReply(bytes, count, &value)) {
        AppendText(
            out, L"{\"counter\":\"%ls\",\"value_name\":\"%ls\",\"selector\":%u,\"value\":%lu}",
            CounterShortName(selector), CounterValueName(selector), unsigned(selector), value);
    } else if (kind == REPLY_FLASH && DecodeFlashReply(bytes, count, &flash)) {
        AppendText(out, L"{\"id\":%lu,\"size\":%lu,\"data\":\"", flash.id, flash.dataSize);
        AppendHexRun(out, flash.data, flash.dataSize);
        AppendText(out, L"\"}");
    } else {
        return false;
    }
    return true;
}

}  // namespace

ReplyKind ReplyKindFor(LONG code, BYTE selector) {
    switch (code) {
    case DEVREQ_CONFIG: return REPLY_CONFIG;
    case DEVREQ_BIN_INFO: return REPLY_BIN_INFO;
    case DEVREQ_CALIBRATION: return REPLY_CALIBRATION;
    case DEVREQ_COUNTER: return REPLY_COUNTER;
    case DEVREQ_FLASH_DATA:
        if (selector == SELECTOR_FLASH_ITEM_A || selector == SELECTOR_FLASH_ITEM_B)
            return REPLY_FLASH;
        if (selector == SELECTOR_SERVICE_SETTINGS) return REPLY_SERVICE_SETTINGS;
        return REPLY_EMPTY;
    case DEVREQ_BIN_INFO_WRITE:
    case DEVREQ_FLASH_DATA_WRITE: return REPLY_NONE;
    default: return REPLY_RAW;
    }
}

const wchar_t* CounterValueName(BYTE selector) {
    return CounterValueForSelector(selector);
}

const wchar_t* CounterShortName(BYTE selector) {
    return CounterNameAt(CounterRow(selector));
}

bool CounterSelectorByName(const wchar_t* name, BYTE* selector) {
    for (uint32_t i = 0; i < COUNTER_COUNT; ++i) {
        if (lstrcmpiW(CounterNameAt(i), name) == 0) {
            *selector = static_cast<BYTE>(COUNTER_SELECTORS[i].selector);
            return true;
        }
    }
    return false;
}

bool DecodeConfigReply(const BYTE* bytes, DWORD count, ConfigRecord* record) {
    DEVICERPC_CONFIG config;
    if (DeviceRpcDecodeConfig(bytes, count, &config) != DEVICERPC_OK) return false;
    record->recordLength = config.recordLength;
    record->cassettes = config.cassettes;
    record->duplex = config.duplex;
    record->firmware = config.firmware;
    record->reservedZero = AllZero(config.reserved, sizeof(config.reserved));
    return true;
}

bool DecodeBinInfoReply(const BYTE* bytes, DWORD count, BinRecord records[REPLY_BIN_COUNT]) {
    DEVICERPC_BINS bins;
    if (DeviceRpcDecodeBins(bytes, count, &bins) != DEVICERPC_OK) return false;
    for (DWORD i = 0; i < REPLY_BIN_COUNT; ++i) {
        const DEVICERPC_BIN& bin = bins.bin[i];
        records[i].recordLength = bin.recordLength;
        records[i].source = bin.source;
        records[i].size = bin.size;
        records[i].width = bin.width;
        records[i].height = bin.height;
        records[i].level = bin.level;
        records[i].reservedZero = bin.reserved1 == 0 && bin.reserved2 == 0;
    }
    return true;
}

bool DecodeCounterReply(const BYTE* bytes, DWORD count, DWORD* value) {
    uint32_t counter = 0;
    if (DeviceRpcDecodeCounter(bytes, count, &counter) != DEVICERPC_OK) return false;
    *value = counter;
    return true;
}

bool DecodeFlashReply(const BYTE* bytes, DWORD count, FlashRecord* record) {
    static DEVICERPC_FLASH_ITEM item;  // 32 KiB: not on the stack
    if (DeviceRpcDecodeFlashItem(bytes, count, &item) != DEVICERPC_OK) return false;
    record->id = item.id;
    record->dataSize = item.size;
    record->data = bytes + (count - item.size);  // the item's data end the reply
    return true;
}

DWORD ExpectedReplyLength(ReplyKind kind) {
    switch (kind) {
    case REPLY_CONFIG: return CONFIG_REPLY_SIZE;
    case REPLY_BIN_INFO: return BIN_INFO_REPLY_SIZE;
    case REPLY_CALIBRATION: return CALIBRATION_SIZE;
    case REPLY_COUNTER: return COUNTER_REPLY_SIZE;
    case REPLY_SERVICE_SETTINGS: return SERVICE_SETTINGS_SIZE;
    default: return 0;
    }
}


bool FormatReplyTable(ReplyKind kind, BYTE selector, const BYTE* bytes, DWORD count,
                      TextBuffer* out) {
    switch (kind) {
    case REPLY_CONFIG: {
        ConfigRecord record;
        if (!DecodeConfigReply(bytes, count, &record)) break;
        AppendConfigTable(record, out);
        return true;
    }
    case REPLY_BIN_INFO: {
        BinRecord records[REPLY_BIN_COUNT];
        if (!DecodeBinInfoReply(bytes, count, records)) break;
        AppendBinTable(records, out);
        return true;
    }
    case REPLY_COUNTER: {
        DWORD value = 0;
        if (!DecodeCounterReply(bytes, count, &value)) break;
        AppendText(out, L"%-9ls%-10ls%ls\n", L"counter", L"selector", L"value");
        AppendText(out, L"%-9ls%-10u%lu\n", CounterShortName(selector), unsigned(selector), value);
        return true;
    }
    case REPLY_FLASH: {
        FlashRecord record;
        if (!DecodeFlashReply(bytes, count, &record)) break;
        AppendFlashTable(record, out);
        return true;
    }
    case REPLY_CALIBRATION:
    case REPLY_SERVICE_SETTINGS:
        if (!BlockDecodes(kind, bytes, count)) break;
        AppendDumpTable(out, bytes, count);
        return true;
    case REPLY_EMPTY:
        if (count != 0) break;
        AppendText(out, L"(empty reply: flash selector %u carries no data)\n", unsigned(selector));
        return true;
    case REPLY_NONE:
        return count == 0;
    case REPLY_RAW:
        AppendDumpTable(out, bytes, count);
        return true;
    }
    AppendMalformed(kind, bytes, count, out);
    return false;
}

bool FormatReplyJson(ReplyKind kind, BYTE selector, const BYTE* bytes, DWORD count,
                     TextBuffer* out) {
    bool decoded = false;
    switch (kind) {
    case REPLY_CONFIG:
    case REPLY_BIN_INFO:
    case REPLY_COUNTER:
    case REPLY_FLASH:
        decoded = AppendRecordJson(kind, selector, bytes, count, out);
        break;
    case REPLY_CALIBRATION:
    case REPLY_SERVICE_SETTINGS:
        decoded = BlockDecodes(kind, bytes, count);
        if (decoded) AppendDataJson(bytes, count, out);
        break;
    case REPLY_EMPTY:
        decoded = count == 0;
        if (decoded) AppendText(out, L"{}");
        break;
    case REPLY_NONE:
        decoded = count == 0;
        if (decoded) AppendText(out, L"null");
        break;
    case REPLY_RAW:
        decoded = true;
        AppendDataJson(bytes, count, out);
        break;
    }
    if (!decoded) AppendText(out, L"null");
    return decoded;
}
