// The deployment check over the spooler's printers: which ones the
// language monitor serves, their spooler entries and how the server's
// name resolution treats their names. No platform calls.
#include "doctor_rules.h"

#include <cstdio>

#include "devicerpc_contract.h"

namespace {

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

// A printer's "Name" must be there and fit the server's name buffer, or
// the server never matches it; false after the finding.
bool CheckPrinterName(const PrinterObservation& p, FindingList* findings) {
    if (p.hasName && !p.nameTooLong) return true;
    const DWORD longest = NAME_BUFFER_CHARS - 1;
    wchar_t remedy[80] = {};
    _snwprintf(remedy, 79, L"give the printer a name of at most %lu characters", longest);
    wchar_t problem[80] = {};
    if (p.hasName)
        _snwprintf(problem, 79, L"\"" SPOOLER_NAME_VALUE L"\" is longer than %lu characters",
                   longest);
    else
        lstrcpynW(problem, L"no \"" SPOOLER_NAME_VALUE L"\" value", 80);
    AddFinding(findings, FINDING_FAIL, remedy,
               L"printer key \"%ls\": %ls; the server never matches it", p.subkey, problem);
    return false;
}

// The spooler entry of a printer whose driver names the language monitor.
void CheckServedPrinter(const PrinterObservation& p, FindingList* findings) {
    const wchar_t* label = p.hasName ? p.name : p.subkey;
    const wchar_t* reinstall = L"remove the printer and install it again through the spooler";
    if (!CheckPrinterName(p, findings)) return;
    if (!p.hasStatus || !p.hasAttributes) {
        AddFinding(findings, FINDING_FAIL, reinstall,
                   L"printer \"%ls\": no \"%ls\" value in its spooler entry; the server skips it",
                   label, p.hasStatus ? SPOOLER_ATTRIBUTES_VALUE : SPOOLER_STATUS_VALUE);
        return;
    }
    if (p.status & PRINTER_STATUS_PENDING_DELETION) {
        AddFinding(findings, FINDING_FAIL,
                   L"let the deletion finish (end its jobs, restart the spooler) or install the "
                   L"printer again",
                   L"printer \"%ls\" is pending deletion "
                   L"(" SPOOLER_STATUS_VALUE L" 0x%08lx); the server skips it",
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

}  // namespace

bool PrinterServed(const PrinterObservation& printer) {
    return printer.hasMonitor && lstrcmpW(printer.monitor, MONITOR_NAME) == 0;
}

void PrinterKeyNameFor(const wchar_t* name, wchar_t* keyName) {
    lstrcpynW(keyName, name, DOCTOR_NAME_CHARS);
    for (wchar_t* c = keyName; *c; ++c)
        if (*c == L'\\') *c = L',';
}

void CheckPrinters(const DeploymentState& state, FindingList* findings) {
    const wchar_t* install =
        L"install the printer with a driver whose "
        L"\"" DRIVER_MONITOR_VALUE L"\" is \"" MONITOR_NAME L"\"";
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
                           L"set the driver's "
                           L"\"" DRIVER_MONITOR_VALUE L"\" value to exactly \"" MONITOR_NAME L"\"",
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
        AddFinding(findings, FINDING_FAIL, install,
                   L"no printer is served by the %ls (%d other%ls)", MONITOR_NAME, others,
                   others == 1 ? L"" : L"s");
    else if (others)
        AddFinding(findings, FINDING_OK, L"", L"%d other printer%ls use%ls other monitors", others,
                   others == 1 ? L"" : L"s", others == 1 ? L"s" : L"");
}
