// The deployment check's decisions: findings and remedies from an
// observed state, with no platform calls.
#include "doctor_rules.h"

#include <cstdarg>
#include <cstdio>

#include "devicerpc_contract.h"

namespace {

// The five values of one bin key, "\Driver\BinInfo\<n>".
#define BIN_VALUES(n)                                             \
    {L"\\Driver\\BinInfo\\" #n, L"dwPaperSource", 4, L"bins"},    \
        {L"\\Driver\\BinInfo\\" #n, L"dwPaperSize", 4, L"bins"},  \
        {L"\\Driver\\BinInfo\\" #n, L"dwPaperWidth", 4, L"bins"}, \
        {L"\\Driver\\BinInfo\\" #n, L"dwPaperHeight", 4, L"bins"}, \
        {L"\\Driver\\BinInfo\\" #n, L"dwPaperLevel", 4, L"bins"}

// In the order of enum DataValue. The sizes are what the server reads:
// a longer value fails its read.
const DataValueRule kDataValues[DATA_VALUE_COUNT] = {
    {SUBKEY_CONFIG, FLAG_ACQUIRED, 4, L"config"},
    {SUBKEY_CONFIG, L"dwDuplex", 4, L"config"},
    {SUBKEY_CONFIG, L"dwNumCassette", 4, L"config"},
    {SUBKEY_CONFIG, L"dwFirmVersion", 4, L"config"},
    {SUBKEY_BIN_INFO, FLAG_ACQUIRED, 4, L"bins"},
    {SUBKEY_BIN_INFO, FLAG_WRITTEN, 1, L"write-bins"},
    BIN_VALUES(0),
    BIN_VALUES(1),
    BIN_VALUES(2),
    {SUBKEY_CALIBRATION, FLAG_ACQUIRED, 4, L"calibration"},
    {SUBKEY_CALIBRATION, L"CalibrationData", 60, L"calibration"},
    {SUBKEY_COUNTER, FLAG_ACQUIRED, 4, L"counter"},
    {SUBKEY_COUNTER, L"dwMonoCounter", 4, L"counter mono"},
    {SUBKEY_COUNTER, L"dwColorCounter", 4, L"counter color"},
    {SUBKEY_COUNTER, L"dwBlackCounter", 4, L"counter black"},
    {SUBKEY_COUNTER, L"dwCyanCounter", 4, L"counter cyan"},
    {SUBKEY_COUNTER, L"dwMagentaCounter", 4, L"counter magenta"},
    {SUBKEY_COUNTER, L"dwYellowCounter", 4, L"counter yellow"},
    {SUBKEY_COUNTER, L"dwIOCounter", 4, L"counter io"},
    {SUBKEY_FLASH_DATA, FLAG_ACQUIRED, 4, L"flash"},
    {SUBKEY_FLASH_DATA, FLAG_WRITTEN, 1, L"write-flash"},
    {SUBKEY_FLASH_DATA, L"dwID", 4, L"flash"},
    {SUBKEY_FLASH_DATA, L"dwSize", 4, L"flash"},
    {SUBKEY_FLASH_DATA, L"ReturnValue", 0, L"flash"},
    {SUBKEY_SERVICE_SETTINGS, FLAG_ACQUIRED, 4, L"service-settings"},
    {SUBKEY_SERVICE_SETTINGS, FLAG_WRITTEN, 1, L"write-flash 12"},
    {SUBKEY_SERVICE_SETTINGS, L"Setting Value", 18, L"service-settings"},
};

// The largest "dwSize" whose record still fits the client's output array.
const DWORD MAX_FLASH_DATA = 32768 - 4;

// The first four bytes of a value as a little-endian number.
DWORD HeadNumber(const ObservedValue& value) {
    return DWORD(value.head[0]) | DWORD(value.head[1]) << 8 | DWORD(value.head[2]) << 16 |
           DWORD(value.head[3]) << 24;
}

// The first eight bytes as a little-endian handle, zero-extended.
unsigned long long HeadHandle(const ObservedValue& value) {
    unsigned long long handle = 0;
    for (int i = 7; i >= 0; --i) handle = handle << 8 | value.head[i];
    return handle;
}

// True when the bytes the value has are all zero.
bool HeadZero(const ObservedValue& value) {
    for (DWORD i = 0; i < value.size && i < 8; ++i)
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
                       L"the monitor must set \"Written\" to the single byte 0x01 on success",
                       L"printer \"%ls\": \"Written\" in %ls is 0x%02x; only 0x01 counts, so "
                       L"%ls requests always fail",
                       p.name, rule.subkey, value.head[0], rule.reader);
        } else if (HeadZero(value) || value.size == 0) {
            AddFinding(findings, FINDING_WARN,
                       IsWrittenFlag(v)
                           ? L"check the bytes written: the monitor sets \"Written\" only when the "
                             L"device took them"
                           : L"check that the ZOLT7 Monitor handles device requests for this "
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
                       L"\"Acquired\"",
                       L"printer \"%ls\": \"Acquired\" is set in %ls but \"%ls\" in %ls is "
                       L"missing, so %ls requests fail",
                       p.name, kDataValues[r.flag].subkey, kDataValues[v].name,
                       kDataValues[v].subkey, kDataValues[v].reader);
        }
    }
}

// "ReturnValue" must fit the byte count that "dwSize" gives.
void CheckFlashSizes(const PrinterObservation& p, FindingList* findings) {
    const ObservedValue& size = p.values[DV_FLASH_SIZE];
    const ObservedValue& data = p.values[DV_FLASH_RETURN_VALUE];
    DWORD declared = size.present && size.size <= 4 ? HeadNumber(size) : 0;
    if (size.present && size.size <= 4 && declared > MAX_FLASH_DATA) {
        AddFinding(findings, FINDING_FAIL, L"the monitor must keep flash data items to 32764 bytes",
                   L"printer \"%ls\": \"dwSize\" in %ls is %lu; a reply holds at most %lu bytes of "
                   L"flash data, so flash requests fail",
                   p.name, SUBKEY_FLASH_DATA, declared, MAX_FLASH_DATA);
        return;
    }
    if (!data.present) return;
    if (data.size > declared) {
        AddFinding(findings, FINDING_FAIL,
                   L"the monitor must store \"dwSize\" as the byte count of \"ReturnValue\"",
                   L"printer \"%ls\": \"ReturnValue\" in %ls is %lu bytes but \"dwSize\" is %lu; "
                   L"the server reads %lu bytes, so flash requests fail",
                   p.name, SUBKEY_FLASH_DATA, data.size, declared, declared);
    } else if (data.size < declared) {
        AddFinding(findings, FINDING_WARN,
                   L"the monitor should store \"dwSize\" as the byte count of \"ReturnValue\"",
                   L"printer \"%ls\": \"ReturnValue\" in %ls is %lu bytes but \"dwSize\" is %lu; "
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

// Exact comparison, as the resolution hands back the spooler's "Name".
bool SameText(const wchar_t* a, const wchar_t* b) {
    return lstrcmpW(a, b) == 0;
}

// How the server's resolution treats one client name of `p`.
void CheckResolution(const PrinterObservation& p, const wchar_t* how, const wchar_t* clientName,
                     const wchar_t* resolved, FindingList* findings) {
    if (SameText(resolved, p.name)) return;
    if (!resolved[0]) {
        AddFinding(findings, FINDING_FAIL,
                   L"check the printer's spooler entry: Status, Attributes, driver and Name must "
                   L"all be readable",
                   L"printer \"%ls\": its %ls \"%ls\" resolves to no printer; the server would "
                   L"use the name unchanged",
                   p.name, how, clientName);
    } else {
        AddFinding(findings, FINDING_FAIL,
                   L"give one of the two printers another name or share name",
                   L"printer \"%ls\": clients using its %ls \"%ls\" reach printer \"%ls\", which "
                   L"comes first in the spooler's list",
                   p.name, how, clientName, resolved);
    }
}

// The spooler entry of a printer whose driver names the language monitor.
void CheckServedPrinter(const PrinterObservation& p, FindingList* findings) {
    const wchar_t* label = p.hasName ? p.name : p.subkey;
    const wchar_t* reinstall = L"remove the printer and install it again through the spooler";
    if (!p.hasName || p.nameTooLong) {
        AddFinding(findings, FINDING_FAIL, L"give the printer a name of at most 259 characters",
                   L"printer key \"%ls\": %ls; the server never matches it", p.subkey,
                   p.hasName ? L"\"Name\" is longer than 259 characters" : L"no \"Name\" value");
        return;
    }
    if (!p.hasStatus || !p.hasAttributes) {
        AddFinding(findings, FINDING_FAIL, reinstall,
                   L"printer \"%ls\": no \"%ls\" value in its spooler entry; the server skips it",
                   label, p.hasStatus ? L"Attributes" : L"Status");
        return;
    }
    if (p.status & PRINTER_STATUS_PENDING_DELETION) {
        AddFinding(findings, FINDING_FAIL,
                   L"let the deletion finish (end its jobs, restart the spooler) or install the "
                   L"printer again",
                   L"printer \"%ls\" is pending deletion (Status 0x%08lx); the server skips it",
                   label, p.status);
        return;
    }
    bool shared = (p.attributes & PRINTER_ATTRIBUTE_SHARED) != 0;
    bool byShare = shared && p.hasShareName && p.shareName[0];
    if (shared && !byShare)
        AddFinding(findings, FINDING_WARN, L"give the printer a share name",
                   L"printer \"%ls\" is shared with an empty share name: remote clients cannot "
                   L"name it by its share",
                   label);
    int before = findings->count;
    CheckResolution(p, L"name", p.name, p.resolvedByName, findings);
    if (byShare) CheckResolution(p, L"share name", p.shareName, p.resolvedByShare, findings);
    if (findings->count != before) return;
    if (byShare)
        AddFinding(findings, FINDING_OK, L"",
                   L"printer \"%ls\": driver \"%ls\" names \"%ls\"; clients reach it by its name "
                   L"and by share name \"%ls\"",
                   label, p.driver, MONITOR_NAME, p.shareName);
    else
        AddFinding(findings, FINDING_OK, L"",
                   L"printer \"%ls\": driver \"%ls\" names \"%ls\"; not shared, clients reach it "
                   L"by its name",
                   label, p.driver, MONITOR_NAME);
}

// The four-letter word that starts a finding's line.
const wchar_t* LevelWord(FindingLevel level) {
    switch (level) {
    case FINDING_OK: return L"ok  ";
    case FINDING_WARN: return L"warn";
    default: return L"FAIL";
    }
}

}  // namespace

const wchar_t* const CONTROL_EVENT_NAMES[3] = {
    L"ZOLT7SM_EVENT_RPC_START", L"ZOLT7SM_EVENT_RPC_STOP", L"ZOLT7SM_EVENT_RPC_TERMINATE"};

const DataValueRule& DataValueRuleFor(int value) {
    return kDataValues[value];
}

void AddFinding(FindingList* list, FindingLevel level, const wchar_t* remedy,
                const wchar_t* format, ...) {
    if (list->count >= DOCTOR_MAX_FINDINGS) {
        list->truncated = true;
        return;
    }
    Finding& f = list->items[list->count++];
    ZeroMemory(&f, sizeof(f));
    f.level = level;
    va_list args;
    va_start(args, format);
    _vsnwprintf(f.what, 511, format, args);
    va_end(args);
    lstrcpynW(f.remedy, remedy, 512);
}

bool PrinterServed(const PrinterObservation& printer) {
    return printer.hasMonitor && lstrcmpW(printer.monitor, MONITOR_NAME) == 0;
}

void PrinterKeyNameFor(const wchar_t* name, wchar_t* keyName) {
    lstrcpynW(keyName, name, DOCTOR_NAME_CHARS);
    for (wchar_t* c = keyName; *c; ++c)
        if (*c == L'\\') *c = L',';
}

void CheckMonitorWindow(const DeploymentState& state, FindingList* findings) {
    const wchar_t* start =
        L"start the ZOLT7 Monitor (the spooler loads it with a printer whose driver names it); "
        L"it stores its window handle there";
    if (!state.monitorsKeyPresent) {
        AddFinding(findings, FINDING_FAIL, start, L"Monitors key HKLM\\%ls is missing", MONITORS_KEY);
        return;
    }
    AddFinding(findings, FINDING_OK, L"", L"Monitors key HKLM\\%ls present", MONITORS_KEY);
    const ObservedValue& handle = state.windowHandle;
    if (!handle.present) {
        AddFinding(findings, FINDING_FAIL, start,
                   L"\"%ls\" is missing: no language monitor window, every call fails",
                   MONITOR_WINDOW_VALUE);
    } else if (handle.size > 8) {
        AddFinding(findings, FINDING_FAIL,
                   L"the monitor must store the handle as 8 bytes (REG_BINARY, little-endian) or "
                   L"as a REG_DWORD",
                   L"\"%ls\" is %lu bytes; the server reads at most 8 and finds no window",
                   MONITOR_WINDOW_VALUE, handle.size);
    } else if (HeadHandle(handle) == 0) {
        AddFinding(findings, FINDING_FAIL, L"restart the ZOLT7 Monitor",
                   L"\"%ls\" is 0: the monitor has no window, every call fails",
                   MONITOR_WINDOW_VALUE);
    } else if (!state.windowAlive) {
        AddFinding(findings, FINDING_FAIL,
                   L"restart the ZOLT7 Monitor; run this check in the spooler's session, where "
                   L"its window lives",
                   L"\"%ls\" 0x%llx is not a window: the monitor ended without clearing it, and "
                   L"every call fails",
                   MONITOR_WINDOW_VALUE, HeadHandle(handle));
    } else {
        AddFinding(findings, FINDING_OK, L"", L"\"%ls\" 0x%llx is a live window of process %lu",
                   MONITOR_WINDOW_VALUE, HeadHandle(handle), state.windowProcessId);
    }
}

void CheckPrinters(const DeploymentState& state, FindingList* findings) {
    const wchar_t* install =
        L"install the printer with a driver whose \"Monitor\" is \"ZOLT7 Monitor\"";
    if (!state.printersKeyPresent) {
        AddFinding(findings, FINDING_FAIL, install,
                   L"the spooler's printers key HKLM\\%ls is missing", PRINTERS_KEY);
        return;
    }
    if (state.onlyPrinter && !state.onlyPrinterResolved[0]) {
        AddFinding(findings, FINDING_FAIL,
                   L"name the printer by its name or share name as the spooler shows them",
                   L"\"%ls\" reaches no printer served by the %ls; the server would use it "
                   L"unchanged as the printer key name",
                   state.onlyPrinter, MONITOR_NAME);
        return;
    }
    int served = 0;
    int others = 0;
    for (int i = 0; i < state.printerCount; ++i) {
        const PrinterObservation& p = state.printers[i];
        if (state.onlyPrinter && !(p.hasName && SameText(p.name, state.onlyPrinterResolved)))
            continue;
        if (!PrinterServed(p)) {
            if (p.hasMonitor && lstrcmpiW(p.monitor, MONITOR_NAME) == 0)
                AddFinding(findings, FINDING_FAIL,
                           L"set the driver's \"Monitor\" value to exactly \"ZOLT7 Monitor\"",
                           L"printer \"%ls\": driver \"%ls\" names \"%ls\"; the server compares "
                           L"with regard to case and skips the printer",
                           p.hasName ? p.name : p.subkey, p.driver, p.monitor);
            else
                ++others;
            continue;
        }
        ++served;
        CheckServedPrinter(p, findings);
        if (p.hasName) CheckPrinterData(p, findings);
    }
    if (state.onlyPrinter) {
        AddFinding(findings, FINDING_OK, L"", L"\"%ls\" resolves to printer \"%ls\"",
                   state.onlyPrinter, state.onlyPrinterResolved);
        return;
    }
    if (state.printersTruncated)
        AddFinding(findings, FINDING_WARN, L"check one printer with --printer NAME",
                   L"more than %d printers; only the first %d were examined", DOCTOR_MAX_PRINTERS,
                   DOCTOR_MAX_PRINTERS);
    if (served == 0)
        AddFinding(findings, FINDING_FAIL, install, L"no printer is served by the %ls (%d other%ls)",
                   MONITOR_NAME, others, others == 1 ? L"" : L"s");
    else if (others)
        AddFinding(findings, FINDING_OK, L"", L"%d other printer%ls use%ls other monitors", others,
                   others == 1 ? L"" : L"s", others == 1 ? L"s" : L"");
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

void CheckServer(const DeploymentState& state, FindingList* findings) {
    const wchar_t* startServer =
        L"start DeviceRpcServer.exe through its controlling process and signal "
        L"ZOLT7SM_EVENT_RPC_START";
    const wchar_t* signalStart =
        L"signal ZOLT7SM_EVENT_RPC_START: the server listens and enters its endpoints only "
        L"after START";
    bool running = !state.serverObjectsChecked || state.instanceMutexPresent;
    if (state.serverObjectsChecked) {
        if (!state.instanceMutexPresent) {
            AddFinding(findings, FINDING_FAIL, startServer,
                       L"the server is not running: no instance mutex %ls", SERVER_INSTANCE_MUTEX);
        } else {
            AddFinding(findings, FINDING_OK, L"",
                       L"the server is running: instance mutex %ls exists", SERVER_INSTANCE_MUTEX);
            wchar_t missing[200] = {};
            for (int e = 0; e < 3; ++e) {
                if (state.controlEventsPresent[e]) continue;
                if (missing[0]) lstrcatW(missing, L", ");
                lstrcatW(missing, CONTROL_EVENT_NAMES[e]);
            }
            if (missing[0])
                AddFinding(findings, FINDING_FAIL,
                           L"the controlling process must create all three events before it "
                           L"starts the server and keep them open",
                           L"control events missing: %ls; the server waits until all three exist",
                           missing);
            else
                AddFinding(findings, FINDING_OK, L"", L"control events %ls, %ls, %ls exist",
                           CONTROL_EVENT_NAMES[0], CONTROL_EVENT_NAMES[1], CONTROL_EVENT_NAMES[2]);
        }
    }
    const wchar_t* remedy = running ? signalStart : startServer;
    if (state.endpointMapChecked) {
        if (state.endpointMapAnswered)
            AddFinding(findings, FINDING_OK, L"", L"DeviceRpc is registered in the endpoint map");
        else
            AddFinding(findings, FINDING_FAIL, remedy,
                       L"DeviceRpc is not in the endpoint map: %lu (%ls)", state.endpointMapStatus,
                       state.endpointMapStatusText);
    }
    const struct {
        const wchar_t* protseq;
        const wchar_t* remedy;
    } sequences[PROTSEQ_COUNT] = {
        {L"ncalrpc", running ? L"signal ZOLT7SM_EVENT_RPC_START; on Windows NT 5.x the server "
                               L"offers no local RPC"
                             : startServer},
        {L"ncacn_np", running ? L"signal ZOLT7SM_EVENT_RPC_START; remote clients also need file "
                                L"and printer sharing (the Server service)"
                              : startServer},
        {L"ncacn_ip_tcp", running ? L"give the port the server listens on now (it is chosen "
                                    L"anew at each start) and let clients through the firewall "
                                    L"to it; under Wine TCP is not served again after a STOP"
                                  : startServer},
    };
    for (int s = 0; s < PROTSEQ_COUNT; ++s) {
        const EndpointObservation& e = state.endpoints[s];
        const wchar_t* origin = e.fromMap ? L" (from the endpoint map)" : L"";
        if (!e.tried) {
            AddFinding(findings, FINDING_WARN,
                       L"give the server's TCP port with --endpoint PORT to check it",
                       L"%ls not checked: the endpoint map gave no endpoint: %lu (%ls)",
                       sequences[s].protseq, e.status, e.statusText);
        } else if (e.answered) {
            AddFinding(findings, FINDING_OK, L"", L"DeviceRpc answers on %ls endpoint %ls%ls",
                       sequences[s].protseq, e.endpoint, origin);
        } else {
            AddFinding(findings, FINDING_FAIL, sequences[s].remedy,
                       L"no answer on %ls endpoint %ls%ls: %lu (%ls)", sequences[s].protseq,
                       e.endpoint, origin, e.status, e.statusText);
        }
    }
}

void DiagnoseDeployment(const DeploymentState& state, FindingList* findings) {
    CheckMonitorWindow(state, findings);
    CheckPrinters(state, findings);
    CheckServer(state, findings);
}

bool DeploymentHealthy(const FindingList& findings) {
    for (int i = 0; i < findings.count; ++i)
        if (findings.items[i].level == FINDING_FAIL) return false;
    return true;
}

void FormatFindings(const FindingList& findings, TextBuffer* out) {
    int failed = 0;
    int warned = 0;
    for (int i = 0; i < findings.count; ++i) {
        const Finding& f = findings.items[i];
        if (f.level == FINDING_FAIL) ++failed;
        if (f.level == FINDING_WARN) ++warned;
        if (f.remedy[0])
            AppendText(out, L"%ls %ls -> %ls\n", LevelWord(f.level), f.what, f.remedy);
        else
            AppendText(out, L"%ls %ls\n", LevelWord(f.level), f.what);
    }
    if (findings.truncated)
        AppendText(out, L"warn more findings than fit; the rest were dropped -> check one printer "
                        L"with --printer NAME\n");
    if (failed)
        AppendText(out, L"not healthy: %d failed, %d warning%ls\n", failed, warned,
                   warned == 1 ? L"" : L"s");
    else
        AppendText(out, L"healthy: %d warning%ls\n", warned, warned == 1 ? L"" : L"s");
}

void FormatFindingsJson(const FindingList& findings, TextBuffer* out) {
    AppendText(out, L"{\"healthy\":%ls,\"truncated\":%ls,\"findings\":[",
               DeploymentHealthy(findings) ? L"true" : L"false",
               findings.truncated ? L"true" : L"false");
    for (int i = 0; i < findings.count; ++i) {
        const Finding& f = findings.items[i];
        static const wchar_t* const kLevels[] = {L"ok", L"warn", L"fail"};
        AppendText(out, L"%ls{\"level\":\"%ls\",\"what\":", i ? L"," : L"", kLevels[f.level]);
        AppendJsonString(out, f.what);
        AppendText(out, L",\"remedy\":");
        AppendJsonString(out, f.remedy);
        AppendText(out, L"}");
    }
    AppendText(out, L"]}\n");
}
