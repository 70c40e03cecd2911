// The deployment check over one printer's data key: the device values
// and handshake flags the server reads, their sizes, and what a set flag
// promises. No platform calls.
#include "doctor_rules.h"

#include <cstdio>

#include "devicerpc_contract.h"

namespace {

// The five values of one bin key, "\Driver\BinInfo\<n>".
#define BIN_VALUES(n)                                        \
    {SUBKEY_BIN_INFO #n, VALUE_PAPER_SOURCE, 4, L"bins"},     \
        {SUBKEY_BIN_INFO #n, VALUE_PAPER_SIZE, 4, L"bins"},   \
        {SUBKEY_BIN_INFO #n, VALUE_PAPER_WIDTH, 4, L"bins"},  \
        {SUBKEY_BIN_INFO #n, VALUE_PAPER_HEIGHT, 4, L"bins"}, \
        {SUBKEY_BIN_INFO #n, VALUE_PAPER_LEVEL, 4, L"bins"}

// The value of counter `row` of the contract's table, and the client
// command that reads it.
#define COUNTER_VALUE(row, reader) {SUBKEY_COUNTER, COUNTER_SELECTORS[row].value, 4, reader}

// In the order of enum DataValue. The sizes are what the server reads:
// a longer value fails its read.
const DataValueRule kDataValues[DATA_VALUE_COUNT] = {
    {SUBKEY_CONFIG, FLAG_ACQUIRED, 4, L"config"},
    {SUBKEY_CONFIG, VALUE_DUPLEX, 4, L"config"},
    {SUBKEY_CONFIG, VALUE_CASSETTES, 4, L"config"},
    {SUBKEY_CONFIG, VALUE_FIRMWARE, 4, L"config"},
    {SUBKEY_BIN_INFO, FLAG_ACQUIRED, 4, L"bins"},
    {SUBKEY_BIN_INFO, FLAG_WRITTEN, 1, L"write-bins"},
    BIN_VALUES(0),
    BIN_VALUES(1),
    BIN_VALUES(2),
    {SUBKEY_CALIBRATION, FLAG_ACQUIRED, 4, L"calibration"},
    {SUBKEY_CALIBRATION, VALUE_CALIBRATION, CALIBRATION_SIZE, L"calibration"},
    {SUBKEY_COUNTER, FLAG_ACQUIRED, 4, L"counter"},
    COUNTER_VALUE(0, L"counter mono"),
    COUNTER_VALUE(1, L"counter color"),
    COUNTER_VALUE(2, L"counter black"),
    COUNTER_VALUE(3, L"counter cyan"),
    COUNTER_VALUE(4, L"counter magenta"),
    COUNTER_VALUE(5, L"counter yellow"),
    COUNTER_VALUE(6, L"counter io"),
    {SUBKEY_FLASH_DATA, FLAG_ACQUIRED, 4, L"flash"},
    {SUBKEY_FLASH_DATA, FLAG_WRITTEN, 1, L"write-flash"},
    {SUBKEY_FLASH_DATA, VALUE_FLASH_ID, 4, L"flash"},
    {SUBKEY_FLASH_DATA, VALUE_FLASH_SIZE, 4, L"flash"},
    {SUBKEY_FLASH_DATA, VALUE_FLASH_DATA, 0, L"flash"},
    {SUBKEY_SERVICE_SETTINGS, FLAG_ACQUIRED, 4, L"service-settings"},
    {SUBKEY_SERVICE_SETTINGS, FLAG_WRITTEN, 1, L"write-flash 12"},
    {SUBKEY_SERVICE_SETTINGS, VALUE_SERVICE_SETTINGS, SERVICE_SETTINGS_SIZE, L"service-settings"},
};

// The largest "dwSize" whose record still fits the client's output array.
const DWORD MAX_FLASH_DATA = DEVICE_RPC_ARRAY_SIZE - FLASH_ID_SIZE;

// The first four bytes of a value as a little-endian number.
DWORD HeadNumber(const ObservedValue& value) {
    return GetLittleEndian32(value.head);
}

// True when the bytes the value has are all zero.
bool HeadZero(const ObservedValue& value) {
    for (DWORD i = 0; i < value.size && i < sizeof(value.head); ++i)
        if (value.head[i]) return false;
    return true;
}

// True for the "Acquired" and "Written" entries of kDataValues.
bool IsFlag(int value) {
    const wchar_t* name = kDataValues[value].name;
    return lstrcmpW(name, FLAG_ACQUIRED) == 0 || lstrcmpW(name, FLAG_WRITTEN) == 0;
}

// True for the "Written" entries.
bool IsWrittenFlag(int value) {
    return lstrcmpW(kDataValues[value].name, FLAG_WRITTEN) == 0;
}

// An acquire flag and the values its reply cannot do without.
struct RequiredValues {
    int flag;
    int first;
    int last;
};

const RequiredValues kRequired[] = {
    {DV_CONFIG_ACQUIRED, DV_DUPLEX, DV_FIRMWARE},
    {DV_BIN_ACQUIRED, DV_BIN0_SOURCE, DV_BIN2_LEVEL},
    {DV_CALIBRATION_ACQUIRED, DV_CALIBRATION_DATA, DV_CALIBRATION_DATA},
    {DV_SERVICE_ACQUIRED, DV_SERVICE_SETTING_VALUE, DV_SERVICE_SETTING_VALUE},
};

// Size and content of the handshake flags; a cleared one is only a warning,
// as it is what a failed or unanswered request leaves.
void CheckFlags(const PrinterObservation& p, FindingList* findings) {
    for (int v = 0; v < DATA_VALUE_COUNT; ++v) {
        const ObservedValue& value = p.values[v];
        if (!IsFlag(v) || !value.present) continue;
        const DataValueRule& rule = kDataValues[v];
        if (value.size > rule.maxBytes) continue;  // reported with the sizes
        if (IsWrittenFlag(v) && value.size == 1 && value.head[0] > 1) {
            AddFinding(findings, FINDING_FAIL,
                       L"the monitor must set \"" FLAG_WRITTEN
                       L"\" to the single byte 0x01 on success",
                       L"printer \"%ls\": \"" FLAG_WRITTEN
                       L"\" in %ls is 0x%02x; only 0x01 counts, so %ls requests always fail",
                       p.name, rule.subkey, value.head[0], rule.reader);
        } else if (HeadZero(value) || value.size == 0) {
            AddFinding(findings, FINDING_WARN,
                       IsWrittenFlag(v)
                           ? L"check the bytes written: the monitor sets \"" FLAG_WRITTEN
                             L"\" only when the device took them"
                           : L"check that the " MONITOR_NAME L" handles device requests for this "
                             L"printer: it stores the data under this key, then sets the flag",
                       L"printer \"%ls\": \"%ls\" in %ls is cleared: the last %ls request failed "
                       L"or was not answered",
                       p.name, rule.name, rule.subkey, rule.reader);
        }
    }
}

// Values longer than the server reads: their read fails, and so does
// every request that needs them.
void CheckValueSizes(const PrinterObservation& p, FindingList* findings) {
    for (int v = 0; v < DATA_VALUE_COUNT; ++v) {
        const ObservedValue& value = p.values[v];
        const DataValueRule& rule = kDataValues[v];
        if (!value.present || rule.maxBytes == 0 || value.size <= rule.maxBytes) continue;
        wchar_t remedy[160] = {};
        _snwprintf(remedy, 159, L"the monitor must store \"%ls\" with at most %lu byte%ls",
                   rule.name, rule.maxBytes, rule.maxBytes == 1 ? L"" : L"s");
        AddFinding(findings, FINDING_FAIL, remedy,
                   L"printer \"%ls\": \"%ls\" in %ls is %lu bytes; the server reads at most %lu, "
                   L"so %ls requests fail",
                   p.name, rule.name, rule.subkey, value.size, rule.maxBytes, rule.reader);
    }
}

// Values a set flag promises but that are missing.
void CheckRequiredValues(const PrinterObservation& p, FindingList* findings) {
    for (const RequiredValues& r : kRequired) {
        const ObservedValue& flag = p.values[r.flag];
        if (!flag.present || flag.size > 4 || HeadZero(flag)) continue;
        for (int v = r.first; v <= r.last; ++v) {
            if (p.values[v].present) continue;
            AddFinding(findings, FINDING_FAIL,
                       L"the monitor must store every value of the reply before it sets "
                       L"\"" FLAG_ACQUIRED L"\"",
                       L"printer \"%ls\": \"" FLAG_ACQUIRED
                       L"\" is set in %ls but \"%ls\" in %ls is missing, so %ls requests fail",
                       p.name, kDataValues[r.flag].subkey, kDataValues[v].name,
                       kDataValues[v].subkey, kDataValues[v].reader);
        }
    }
}

// The flash item's data must fit the byte count that its size gives.
void CheckFlashSizes(const PrinterObservation& p, FindingList* findings) {
    const ObservedValue& size = p.values[DV_FLASH_SIZE];
    const ObservedValue& data = p.values[DV_FLASH_RETURN_VALUE];
    DWORD declared = size.present && size.size <= 4 ? HeadNumber(size) : 0;
    if (size.present && size.size <= 4 && declared > MAX_FLASH_DATA) {
        wchar_t remedy[80] = {};
        _snwprintf(remedy, 79, L"the monitor must keep flash data items to %lu bytes",
                   MAX_FLASH_DATA);
        AddFinding(findings, FINDING_FAIL, remedy,
                   L"printer \"%ls\": \"" VALUE_FLASH_SIZE
                   L"\" in %ls is %lu; a reply holds at most %lu bytes of flash data, so flash "
                   L"requests fail",
                   p.name, SUBKEY_FLASH_DATA, declared, MAX_FLASH_DATA);
        return;
    }
    if (!data.present) return;
    if (data.size > declared) {
        AddFinding(findings, FINDING_FAIL,
                   L"the monitor must store \"" VALUE_FLASH_SIZE
                   L"\" as the byte count of \"" VALUE_FLASH_DATA L"\"",
                   L"printer \"%ls\": \"" VALUE_FLASH_DATA
                   L"\" in %ls is %lu bytes but \"" VALUE_FLASH_SIZE L"\" is %lu; "
                   L"the server reads %lu bytes, so flash requests fail",
                   p.name, SUBKEY_FLASH_DATA, data.size, declared, declared);
    } else if (data.size < declared) {
        AddFinding(findings, FINDING_WARN,
                   L"the monitor should store \"" VALUE_FLASH_SIZE
                   L"\" as the byte count of \"" VALUE_FLASH_DATA L"\"",
                   L"printer \"%ls\": \"" VALUE_FLASH_DATA
                   L"\" in %ls is %lu bytes but \"" VALUE_FLASH_SIZE L"\" is %lu; "
                   L"flash replies are padded with zeros",
                   p.name, SUBKEY_FLASH_DATA, data.size, declared);
    }
}

// "config set, write-bins 01, ..." for the flags that exist.
void DescribeFlags(const PrinterObservation& p, wchar_t* text, size_t capacity) {
    TextBuffer out;
    InitText(&out, text, capacity);
    for (int v = 0; v < DATA_VALUE_COUNT; ++v) {
        const ObservedValue& value = p.values[v];
        if (!IsFlag(v) || !value.present) continue;
        const wchar_t* state = L"set";
        if (value.size > kDataValues[v].maxBytes)
            state = L"unreadable";
        else if (HeadZero(value))
            state = L"cleared";
        else if (IsWrittenFlag(v) && value.head[0] != 1)
            state = L"invalid";
        AppendText(&out, L"%ls%ls %ls", out.length ? L", " : L"", kDataValues[v].reader, state);
    }
    if (!out.length) AppendText(&out, L"none yet");
}

}  // namespace

const DataValueRule& DataValueRuleFor(int value) {
    return kDataValues[value];
}

void CheckPrinterData(const PrinterObservation& printer, FindingList* findings) {
    if (!printer.dataKeyPresent) {
        AddFinding(findings, FINDING_WARN,
                   L"no device request has reached it yet; the first one creates the key "
                   L"(try `DeviceRpcClient config --printer NAME`)",
                   L"printer \"%ls\": no data key HKLM\\%ls%ls", printer.name, STORE_ROOT,
                   printer.keyName);
        return;
    }
    int before = findings->count;
    CheckValueSizes(printer, findings);
    CheckFlags(printer, findings);
    CheckRequiredValues(printer, findings);
    CheckFlashSizes(printer, findings);
    bool clean = true;
    for (int i = before; i < findings->count; ++i)
        if (findings->items[i].level == FINDING_FAIL) clean = false;
    wchar_t flags[400];
    DescribeFlags(printer, flags, 400);
    AddFinding(findings, clean ? FINDING_OK : FINDING_WARN,
               clean ? L"" : L"see the findings above for this printer",
               L"printer \"%ls\": data key HKLM\\%ls%ls; handshake flags: %ls", printer.name,
               STORE_ROOT, printer.keyName, flags);
}
