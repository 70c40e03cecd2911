// The deployment check's decisions: findings and remedies from an
// observed state, with no platform calls.
#include "doctor_rules.h"

#include <cstdarg>
#include <cstdio>

#include "devicerpc_contract.h"

namespace {

// The protocol sequences by DoctorProtseq.
const wchar_t* const kProtseqNames[PROTSEQ_COUNT] = {SERVER_PROTSEQ_LOCAL, SERVER_PROTSEQ_PIPE,
                                                     SERVER_PROTSEQ_TCP};

// Remedies of the server checks: start a server that does not run, or
// signal START to one that does.
const wchar_t kStartServer[] =
    L"start DeviceRpcServer.exe through its controlling process and signal " EVENT_RPC_START;
const wchar_t kSignalStart[] =
    L"signal " EVENT_RPC_START L": the server listens and enters its endpoints only after START";

// The first eight bytes as a little-endian handle, zero-extended.
unsigned long long HeadHandle(const ObservedValue& value) {
    return GetLittleEndian64(value.head);
}

// The four-letter word that starts a finding's line.
const wchar_t* LevelWord(FindingLevel level) {
    switch (level) {
    case FINDING_OK: return L"ok  ";
    case FINDING_WARN: return L"warn";
    default: return L"FAIL";
    }
}

// The control events of a running server: all three must exist.
void CheckControlEvents(const DeploymentState& state, FindingList* findings) {
    wchar_t missing[200] = {};
    for (int e = 0; e < 3; ++e) {
        if (state.controlEventsPresent[e]) continue;
        if (missing[0]) lstrcatW(missing, L", ");
        lstrcatW(missing, CONTROL_EVENT_NAMES[e]);
    }
    if (missing[0])
        AddFinding(findings, FINDING_FAIL,
                   L"the controlling process must create all three events before it starts the "
                   L"server and keep them open",
                   L"control events missing: %ls; the server waits until all three exist", missing);
    else
        AddFinding(findings, FINDING_OK, L"", L"control events %ls, %ls, %ls exist",
                   CONTROL_EVENT_NAMES[0], CONTROL_EVENT_NAMES[1], CONTROL_EVENT_NAMES[2]);
}

// The instance mutex and, when the server runs, its control events.
void CheckServerObjects(const DeploymentState& state, FindingList* findings) {
    if (!state.serverObjectsChecked) return;
    if (!state.instanceMutexPresent) {
        AddFinding(findings, FINDING_FAIL, kStartServer,
                   L"the server is not running: no instance mutex %ls", SERVER_INSTANCE_MUTEX);
        return;
    }
    AddFinding(findings, FINDING_OK, L"", L"the server is running: instance mutex %ls exists",
               SERVER_INSTANCE_MUTEX);
    CheckControlEvents(state, findings);
}

// The remedy when protocol sequence `s` gives no answer.
const wchar_t* EndpointRemedy(int s, bool running) {
    if (!running) return kStartServer;
    switch (s) {
    case PROTSEQ_LRPC:
        return L"signal " EVENT_RPC_START L"; on Windows NT 5.x the server offers no local RPC";
    case PROTSEQ_NP:
        return L"signal " EVENT_RPC_START L"; remote clients also need file and printer sharing "
               L"(the Server service)";
    default:
        return L"give the port the server listens on now (it is chosen anew at each start) and "
               L"let clients through the firewall to it; under Wine TCP is not served again "
               L"after a STOP";
    }
}

// The endpoint map and an answer on every protocol sequence.
void CheckEndpoints(const DeploymentState& state, bool running, FindingList* findings) {
    if (state.endpointMapChecked && state.endpointMapAnswered)
        AddFinding(findings, FINDING_OK, L"", L"DeviceRpc is registered in the endpoint map");
    else if (state.endpointMapChecked)
        AddFinding(findings, FINDING_FAIL, running ? kSignalStart : kStartServer,
                   L"DeviceRpc is not in the endpoint map: %lu (%ls)", state.endpointMapStatus,
                   state.endpointMapStatusText);
    for (int s = 0; s < PROTSEQ_COUNT; ++s) {
        const EndpointObservation& e = state.endpoints[s];
        const wchar_t* origin = e.fromMap ? L" (from the endpoint map)" : L"";
        if (!e.tried)
            AddFinding(findings, FINDING_WARN,
                       L"give the server's TCP port with --endpoint PORT to check it",
                       L"%ls not checked: the endpoint map gave no endpoint: %lu (%ls)",
                       kProtseqNames[s], e.status, e.statusText);
        else if (e.answered)
            AddFinding(findings, FINDING_OK, L"", L"DeviceRpc answers on %ls endpoint %ls%ls",
                       kProtseqNames[s], e.endpoint, origin);
        else
            AddFinding(findings, FINDING_FAIL, EndpointRemedy(s, running),
                       L"no answer on %ls endpoint %ls%ls: %lu (%ls)", kProtseqNames[s],
                       e.endpoint, origin, e.status, e.statusText);
    }
}

}  // namespace

const wchar_t* const CONTROL_EVENT_NAMES[3] = {EVENT_RPC_START, EVENT_RPC_STOP,
                                               EVENT_RPC_TERMINATE};

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

void CheckMonitorWindow(const DeploymentState& state, FindingList* findings) {
    const wchar_t* start = L"start the " MONITOR_NAME
                           L" (the spooler loads it with a printer whose driver names it); it "
                           L"stores its window handle there";
    if (!state.monitorsKeyPresent) {
        AddFinding(findings, FINDING_FAIL, start, L"Monitors key HKLM\\%ls is missing",
                   MONITORS_KEY);
        return;
    }
    AddFinding(findings, FINDING_OK, L"", L"Monitors key HKLM\\%ls present", MONITORS_KEY);
    const ObservedValue& handle = state.windowHandle;
    if (!handle.present) {
        AddFinding(findings, FINDING_FAIL, start,
                   L"\"%ls\" is missing: no language monitor window, every call fails",
                   MONITOR_WINDOW_VALUE);
    } else if (handle.size > MONITOR_WINDOW_VALUE_SIZE) {
        AddFinding(findings, FINDING_FAIL,
                   L"the monitor must store the handle as 8 bytes (REG_BINARY, little-endian) or "
                   L"as a REG_DWORD",
                   L"\"%ls\" is %lu bytes; the server reads at most %lu and finds no window",
                   MONITOR_WINDOW_VALUE, handle.size, MONITOR_WINDOW_VALUE_SIZE);
    } else if (HeadHandle(handle) == 0) {
        AddFinding(findings, FINDING_FAIL, L"restart the " MONITOR_NAME,
                   L"\"%ls\" is 0: the monitor has no window, every call fails",
                   MONITOR_WINDOW_VALUE);
    } else if (!state.windowAlive) {
        AddFinding(findings, FINDING_FAIL,
                   L"restart the " MONITOR_NAME
                   L"; run this check in the spooler's session, where its window lives",
                   L"\"%ls\" 0x%llx is not a window: the monitor ended without clearing it, and "
                   L"every call fails",
                   MONITOR_WINDOW_VALUE, HeadHandle(handle));
    } else {
        AddFinding(findings, FINDING_OK, L"", L"\"%ls\" 0x%llx is a live window of process %lu",
                   MONITOR_WINDOW_VALUE, HeadHandle(handle), state.windowProcessId);
    }
}

void CheckServer(const DeploymentState& state, FindingList* findings) {
    // Without the kernel-object checks (another host) the server is taken
    // to run, so that the remedies say what to do to a running one.
    bool running = !state.serverObjectsChecked || state.instanceMutexPresent;
    CheckServerObjects(state, findings);
    CheckEndpoints(state, running, findings);
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

