// Decoding and printing of replies: pure functions over bytes and text.
#include "reply_format.h"

#include <cstdarg>
#include <cstdio>

#include "devicerpc_contract.h"

namespace {

// Reads a little-endian 32-bit field whatever the host's byte order.
DWORD Le32At(const BYTE* bytes, DWORD offset) {
    return GetLittleEndian32(bytes + offset);
}

// True when none of `count` bytes is set.
bool AllZero(const BYTE* bytes, DWORD count) {
    for (DWORD i = 0; i < count; ++i)
        if (bytes[i]) return false;
    return true;
}

// The value of one hex digit, or -1.
int HexDigit(wchar_t c) {
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    if (c >= L'A' && c <= L'F') return c - L'A' + 10;
    return -1;
}

// The counters' short names as wide text, made once from the contract's.
struct CounterNames {
    wchar_t text[COUNTER_COUNT][16];
};

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
    if (expected)
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
    if (!r.reservedZero) AppendText(out, L"note: reserved bytes 16 to 31 are not zero\n");
}

// The three bins, one row each.
void AppendBinTable(const BinRecord records[3], TextBuffer* out) {
    // Columns hold any 32-bit value, so that they never run together.
    AppendText(out, L"%-5ls%-8ls%-11ls%-11ls%-11ls%-11ls%ls\n", L"bin", L"length", L"source",
               L"size", L"width", L"height", L"level");
    for (int bin = 0; bin < 3; ++bin) {
        const BinRecord& r = records[bin];
        AppendText(out, L"%-5d%-8lu%-11lu%-11lu%-11lu%-11lu%lu\n", bin, r.recordLength, r.source,
                   r.size, r.width, r.height, r.level);
    }
    for (int bin = 0; bin < 3; ++bin)
        if (!records[bin].reservedZero)
            AppendText(out, L"note: reserved fields of bin %d are not zero\n", bin);
}

// The flash item id, its size, and its data as a dump.
void AppendFlashTable(const FlashRecord& r, TextBuffer* out) {
    AppendText(out, L"%-12ls0x%08lx (%lu)\n", L"flash id", r.id, r.id);
    AppendText(out, L"%-12ls%lu\n", L"data bytes", r.dataSize);
    if (r.dataSize) AppendDumpTable(out, r.data, r.dataSize);
}

}  // namespace

void InitText(TextBuffer* out, wchar_t* storage, size_t capacity) {
    out->text = storage;
    out->capacity = capacity;
    out->length = 0;
    out->overflow = false;
    if (capacity) storage[0] = 0;
}

void AppendText(TextBuffer* out, const wchar_t* format, ...) {
    if (out->overflow || out->length + 1 >= out->capacity) {
        out->overflow = true;
        return;
    }
    size_t room = out->capacity - out->length - 1;
    va_list args;
    va_start(args, format);
    int written = _vsnwprintf(out->text + out->length, room, format, args);
    va_end(args);
    if (written < 0 || size_t(written) > room) {
        // Partial text would cut a record in half: drop all of it.
        out->text[out->length] = 0;
        out->overflow = true;
        return;
    }
    out->length += size_t(written);
    out->text[out->length] = 0;
}

void AppendJsonString(TextBuffer* out, const wchar_t* text) {
    AppendText(out, L"\"");
    for (const wchar_t* c = text; *c; ++c) {
        if (*c == L'"' || *c == L'\\')
            AppendText(out, L"\\%lc", *c);
        else if (*c == L'\n')
            AppendText(out, L"\\n");
        else if (*c == L'\r')
            AppendText(out, L"\\r");
        else if (*c == L'\t')
            AppendText(out, L"\\t");
        else if (*c < 0x20)
            AppendText(out, L"\\u%04x", unsigned(*c));
        else
            AppendText(out, L"%lc", *c);
    }
    AppendText(out, L"\"");
}

void AppendHexRun(TextBuffer* out, const BYTE* bytes, DWORD count) {
    for (DWORD i = 0; i < count; ++i) AppendText(out, L"%02x", bytes[i]);
}

void AppendHexLines(TextBuffer* out, const BYTE* bytes, DWORD count) {
    for (DWORD i = 0; i < count; ++i)
        AppendText(out, L"%02x%ls", bytes[i], (i % 16 == 15 || i + 1 == count) ? L"\n" : L" ");
}

bool ParseHexBytes(const wchar_t* text, BYTE* bytes, DWORD capacity, DWORD* count) {
    *count = 0;
    while (*text) {
        if (*text == L' ' || *text == L':' || *text == L'-') {
            ++text;
            continue;
        }
        int high = HexDigit(text[0]);
        int low = text[1] ? HexDigit(text[1]) : -1;
        if (high < 0 || low < 0 || *count >= capacity) return false;
        bytes[(*count)++] = static_cast<BYTE>(high * 16 + low);
        text += 2;
    }
    return true;
}

ReplyKind ReplyKindFor(LONG code, BYTE selector) {
    switch (code) {
    case DEVREQ_CONFIG: return REPLY_CONFIG;
    case DEVREQ_BIN_INFO: return REPLY_BIN_INFO;
    case DEVREQ_CALIBRATION: return REPLY_CALIBRATION;
    case DEVREQ_COUNTER: return REPLY_COUNTER;
    case DEVREQ_FLASH_DATA:
        if (selector == 0 || selector == 10) return REPLY_FLASH;
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
    if (count != 32) return false;
    record->recordLength = Le32At(bytes, 0);
    record->cassettes = Le32At(bytes, 4);
    record->duplex = Le32At(bytes, 8);
    record->firmware = Le32At(bytes, 12);
    record->reservedZero = AllZero(bytes + 16, 16);
    return true;
}

bool DecodeBinInfoReply(const BYTE* bytes, DWORD count, BinRecord records[3]) {
    if (count != 96) return false;
    for (DWORD bin = 0; bin < 3; ++bin) {
        const BYTE* r = bytes + 32 * bin;
        records[bin].recordLength = Le32At(r, 0);
        records[bin].source = Le32At(r, 4);
        records[bin].size = Le32At(r, 8);
        records[bin].width = Le32At(r, 16);
        records[bin].height = Le32At(r, 20);
        records[bin].level = Le32At(r, 24);
        records[bin].reservedZero = Le32At(r, 12) == 0 && Le32At(r, 28) == 0;
    }
    return true;
}

bool DecodeCounterReply(const BYTE* bytes, DWORD count, DWORD* value) {
    if (count != 4) return false;
    *value = Le32At(bytes, 0);
    return true;
}

bool DecodeFlashReply(const BYTE* bytes, DWORD count, FlashRecord* record) {
    if (count < 4) return false;
    record->id = Le32At(bytes, 0);
    record->data = bytes + 4;
    record->dataSize = count - 4;
    return true;
}

DWORD ExpectedReplyLength(ReplyKind kind) {
    switch (kind) {
    case REPLY_CONFIG: return 32;
    case REPLY_BIN_INFO: return 96;
    case REPLY_CALIBRATION: return 60;
    case REPLY_COUNTER: return 4;
    case REPLY_SERVICE_SETTINGS: return 18;
    default: return 0;
    }
}

void AppendDumpTable(TextBuffer* out, const BYTE* bytes, DWORD count) {
    AppendText(out, L"%-8ls%ls\n", L"offset", L"bytes");
    for (DWORD row = 0; row < count; row += 16) {
        AppendText(out, L"%04lx    ", row);
        for (DWORD i = row; i < count && i < row + 16; ++i)
            AppendText(out, L"%02x%ls", bytes[i], (i + 1 < count && i + 1 < row + 16) ? L" " : L"");
        AppendText(out, L"\n");
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
        BinRecord records[3];
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
        if (count != ExpectedReplyLength(kind)) break;
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
    switch (kind) {
    case REPLY_CONFIG: {
        ConfigRecord r;
        if (!DecodeConfigReply(bytes, count, &r)) break;
        AppendText(out,
                   L"{\"record_length\":%lu,\"cassettes\":%lu,\"duplex\":%lu,\"firmware\":%lu,"
                   L"\"reserved_zero\":%ls}",
                   r.recordLength, r.cassettes, r.duplex, r.firmware,
                   r.reservedZero ? L"true" : L"false");
        return true;
    }
    case REPLY_BIN_INFO: {
        BinRecord records[3];
        if (!DecodeBinInfoReply(bytes, count, records)) break;
        AppendText(out, L"{\"bins\":[");
        for (int bin = 0; bin < 3; ++bin) {
            const BinRecord& r = records[bin];
            AppendText(out,
                       L"%ls{\"bin\":%d,\"record_length\":%lu,\"source\":%lu,\"size\":%lu,"
                       L"\"width\":%lu,\"height\":%lu,\"level\":%lu,\"reserved_zero\":%ls}",
                       bin ? L"," : L"", bin, r.recordLength, r.source, r.size, r.width, r.height,
                       r.level, r.reservedZero ? L"true" : L"false");
        }
        AppendText(out, L"]}");
        return true;
    }
    case REPLY_COUNTER: {
        DWORD value = 0;
        if (!DecodeCounterReply(bytes, count, &value)) break;
        AppendText(out, L"{\"counter\":\"%ls\",\"value_name\":\"%ls\",\"selector\":%u,\"value\":%lu}",
                   CounterShortName(selector), CounterValueName(selector), unsigned(selector), value);
        return true;
    }
    case REPLY_FLASH: {
        FlashRecord r;
        if (!DecodeFlashReply(bytes, count, &r)) break;
        AppendText(out, L"{\"id\":%lu,\"size\":%lu,\"data\":\"", r.id, r.dataSize);
        AppendHexRun(out, r.data, r.dataSize);
        AppendText(out, L"\"}");
        return true;
    }
    case REPLY_CALIBRATION:
    case REPLY_SERVICE_SETTINGS:
        if (count != ExpectedReplyLength(kind)) break;
        AppendText(out, L"{\"data\":\"");
        AppendHexRun(out, bytes, count);
        AppendText(out, L"\"}");
        return true;
    case REPLY_EMPTY:
        if (count != 0) break;
        AppendText(out, L"{}");
        return true;
    case REPLY_NONE:
        if (count != 0) break;
        AppendText(out, L"null");
        return true;
    case REPLY_RAW:
        AppendText(out, L"{\"data\":\"");
        AppendHexRun(out, bytes, count);
        AppendText(out, L"\"}");
        return true;
    }
    AppendText(out, L"null");
    return false;
}

void AppendBooleanResult(TextBuffer* out, bool result) {
    AppendText(out, L"result: %ls\n", result ? L"TRUE" : L"FALSE");
}

void AppendMappedResult(TextBuffer* out, long code, const wchar_t* errorText) {
    AppendText(out, L"result: %ld (%ls)\n", code, code == 0 ? L"success" : errorText);
}

CallOutcome ClassifyCallStatus(RPC_STATUS status) {
    switch (status) {
    case RPC_S_OK:
        return CALL_COMPLETED;
    // No server of this interface at the other end of the binding, or the
    // connection went away: the binding itself is what failed.
    case RPC_S_INVALID_STRING_BINDING:
    case RPC_S_INVALID_BINDING:
    case RPC_S_INVALID_RPC_PROTSEQ:
    case RPC_S_PROTSEQ_NOT_SUPPORTED:
    case RPC_S_INVALID_ENDPOINT_FORMAT:
    case RPC_S_INVALID_NET_ADDR:
    case RPC_S_NO_ENDPOINT_FOUND:
    case RPC_S_UNKNOWN_IF:
    case RPC_S_SERVER_UNAVAILABLE:
    case RPC_S_SERVER_TOO_BUSY:
    case RPC_S_CALL_FAILED:
    case RPC_S_CALL_FAILED_DNE:
    case RPC_S_CALL_CANCELLED:
    case RPC_S_COMM_FAILURE:
    case EPT_S_NOT_REGISTERED:
        return CALL_UNREACHABLE;
    default:
        // A fault the server sent, or a reply it could not take.
        return CALL_REJECTED;
    }
}
