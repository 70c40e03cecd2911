// DeviceRpcCtl: the controlling process of the device RPC server. It
// creates the three control events, starts the server, signals START, STOP
// and TERMINATE, waits until the server answers or exits, and reports the
// exit code. Commands run in the order given; "-" reads more from stdin.
// With --supervise it also starts the server again when it dies.
#include <windows.h>

#include <cstddef>
#include <cstdio>
#include <cwchar>

#include "command_line.h"
#include "controller.h"
#include "devicerpc_contract.h"
#include "devicerpc_version.h"
#include "exit_codes.h"
#include "rpc_binding.h"
#include "supervisor.h"
#include "tool_common.h"

namespace {

const DWORD kDefaultWaitMs = 15000;
const DWORD kPollMs = 200;

// How long wait-stopped lets the server carry out its stop sequence before
// the first probe. Under Wine 8 a client connection that is being
// closed while the runtime stops listening can leave the runtime waiting
// for it for ever: the stop never completes and the process cannot listen
// again. Probing at once after STOP raced the stop sequence exactly so
// (measured: about one run in five under load); after this pause, none.
const DWORD kStopSettleMs = 500;

enum CtlCommandId {
    CTL_EVENTS,
    CTL_LAUNCH,
    CTL_SIGNAL,  // the command's value is the event's slot
    CTL_WAIT_LISTENING,
    CTL_WAIT_STOPPED,
    CTL_WAIT_EXIT,
    CTL_SLEEP,
};

// What became of one command.
enum Outcome { OUTCOME_DONE, OUTCOME_FAILED, OUTCOME_MISUSED };

// --server: copied into the controller's path buffer; a longer path is
// refused rather than cut, which would start another file.
int TakeServerPath(const wchar_t* const* next, int available, void* record, wchar_t* problem) {
    if (available == 0) return -1;
    if (lstrlenW(next[0]) >= MAX_PATH) {
        _snwprintf(problem, CLI_PROBLEM_CHARS - 1,
                   L"--server takes a path of at most %d characters", MAX_PATH - 1);
        return -1;
    }
    lstrcpynW(static_cast<Controller*>(record)->serverPath, next[0], MAX_PATH);
    return 1;
}

const OptionSpec kOptions[] = {
    RoutineOption(L"--server", L"PATH", TakeServerPath, L"a path",
                  L"the server executable (default: DeviceRpcServer.exe\n"
                  L"beside this program)"),
    SwitchOption(L"--manual-reset", offsetof(Controller, manualReset),
                 L"create manual-reset events (default: auto-reset);\n"
                 L"a signal then stays set for --pulse-ms"),
    CountOption(L"--pulse-ms", L"MS", offsetof(Controller, pulseMs), 0, 0x7FFFFFFF, L"milliseconds",
                L"how long a manual-reset signal stays set (default 300)"),
    TextOption(L"--protseq", L"SEQ", offsetof(Controller, probeProtseq),
               L"protocol sequence the waits probe (default " SERVER_PROTSEQ_PIPE L")"),
    SwitchOption(L"--supervise", offsetof(Controller, supervise),
                 L"start the launched server again whenever it exits\n"
                 L"without a terminate from this controller: after 1 s,\n"
                 L"doubling to 30 s (1 s again after 60 s of running),\n"
                 L"then START unless the last signal sent was stop. Each\n"
                 L"restart prints one line on standard error: the\n"
                 L"restart count and the exit code. Supervision lasts\n"
                 L"while DeviceRpcCtl runs (give commands with \"-\")"),
};

// Commands take an optional number after them (only sleep needs one).
const CommandSpec kCommands[] = {
    {L"events", CTL_EVENTS, 0, 1, 0, 0, L"events", L"create the three events (launch does it too)",
     nullptr},
    {L"launch", CTL_LAUNCH, 0, 1, 0, 0, L"launch",
     L"create the events and start the server process", nullptr},
    {L"start", CTL_SIGNAL, 0, 1, 0, SLOT_START, L"start | stop | terminate",
     L"signal that event (opened by name when this process\ndid not create it)", nullptr},
    {L"stop", CTL_SIGNAL, 0, 1, 0, SLOT_STOP, nullptr, nullptr, nullptr},
    {L"terminate", CTL_SIGNAL, 0, 1, 0, SLOT_TERMINATE, nullptr, nullptr, nullptr},
    {L"wait-listening", CTL_WAIT_LISTENING, 0, 1, 0, 0, L"wait-listening [MS]",
     L"wait until the server answers calls", nullptr},
    {L"wait-stopped", CTL_WAIT_STOPPED, 0, 1, 0, 0, L"wait-stopped [MS]",
     L"wait until it no longer answers", nullptr},
    {L"wait-exit", CTL_WAIT_EXIT, 0, 1, 0, 0, L"wait-exit [MS]",
     L"wait for the launched server to end; print its exit code\n(supervised: for the end after "
     L"terminate)",
     nullptr},
    {L"sleep", CTL_SLEEP, 1, 1, 0, 0, L"sleep MS", L"pause", nullptr},
};

const wchar_t kUsage[] =
    L"Usage: DeviceRpcCtl [options] COMMAND...\n"
    L"\n"
    L"Runs the commands in order; \"-\" reads further commands from standard\n"
    L"input, one per line. Each command prints one line.\n";

const wchar_t kFooter[] =
    L"\n"
    L"Waits default to 15000 ms. Exit status: 0 when every command succeeded,\n"
    L"1 when one failed (the rest are not run), 2 usage error.\n";

const ToolSpec kCtl = {
    L"DeviceRpcCtl", DEVICERPC_VERSION, kUsage, kFooter,
    kOptions, sizeof(kOptions) / sizeof(kOptions[0]),
    kCommands, sizeof(kCommands) / sizeof(kCommands[0]),
    0, LINE_OPTIONS_FIRST | HELP_OPTIONS_FIRST, 20, nullptr, L"print the version", nullptr,
};

// Creates the events, starts the server and, with --supervise, the
// supervisor that watches it.
bool Launch(Controller* ctl) {
    if (!CreateEvents(ctl)) return false;
    if (CurrentServer(ctl)) {
        PrintErr(L"DeviceRpcCtl: the server was already launched\n");
        return false;
    }
    HANDLE process = nullptr;
    DWORD pid = 0;
    DWORD error = 0;
    if (!StartServerProcess(ctl, &process, &pid, &error)) {
        PrintErr(L"DeviceRpcCtl: cannot start %ls: error %lu\n", ctl->serverPath, error);
        return false;
    }
    EnterCriticalSection(&ctl->lock);
    ctl->server = process;
    ctl->serverPid = pid;
    LeaveCriticalSection(&ctl->lock);
    if (ctl->supervise && !StartSupervision(ctl)) {
        PrintErr(L"DeviceRpcCtl: cannot start supervising: error %lu\n", GetLastError());
        return false;
    }
    PrintOut(L"launched pid %lu\n", pid);
    return true;
}

// Signals one event and keeps what the supervisor needs to know of it.
bool Signal(Controller* ctl, int slot) {
    EnterCriticalSection(&ctl->lock);
    if (slot != SLOT_TERMINATE) ctl->stopWanted = slot == SLOT_STOP;
    LeaveCriticalSection(&ctl->lock);
    // Noted before the server can see it: the supervisor must never take
    // the exit that TERMINATE causes for a death.
    if (slot == SLOT_TERMINATE) SetEvent(ctl->terminateSent);
    bool created = ctl->events[slot] != nullptr;
    DWORD error = SetControlEvent(ctl, slot);
    if (error && !created) {
        PrintErr(L"DeviceRpcCtl: event %ls does not exist (is a controller running?)\n",
                 kEventNames[slot]);
        return false;
    }
    if (error) {
        PrintErr(L"DeviceRpcCtl: cannot signal %ls: error %lu\n", kEventNames[slot], error);
        return false;
    }
    PrintOut(L"signalled %ls\n", kEventNames[slot]);
    return true;
}

// Probes the server until its answering is `wanted`, or the time is up. A
// wait for a stopped server first gives the stop sequence its pause.
bool WaitAnswering(Controller* ctl, bool wanted, DWORD timeoutMs) {
    BindingOptions options = {ctl->probeProtseq, nullptr, nullptr, false, 0};
    DWORD start = GetTickCount();
    if (!wanted) Sleep(timeoutMs < kStopSettleMs ? timeoutMs : kStopSettleMs);
    RPC_STATUS status = RPC_S_OK;
    for (;;) {
        bool answering = ProbeServer(options, &status);
        if (answering == wanted) {
            PrintOut(L"%ls\n", wanted ? L"listening" : L"not listening");
            return true;
        }
        if (GetTickCount() - start >= timeoutMs) break;
        Sleep(kPollMs);
    }
    PrintErr(L"DeviceRpcCtl: timed out after %lu ms waiting for the server to %ls (last status %lu)\n",
             timeoutMs, wanted ? L"answer" : L"stop answering", status);
    return false;
}

// Waits for the launched server to end; under supervision, for the end
// that no restart follows (after TERMINATE, or a restart that failed).
bool WaitExit(Controller* ctl, DWORD timeoutMs) {
    HANDLE server = CurrentServer(ctl);
    if (!server) {
        PrintErr(L"DeviceRpcCtl: wait-exit needs a server started with launch\n");
        return false;
    }
    HANDLE awaited = ctl->supervising ? ctl->supervisionOver : server;
    if (WaitForSingleObject(awaited, timeoutMs) != WAIT_OBJECT_0) {
        PrintErr(L"DeviceRpcCtl: the server did not exit within %lu ms\n", timeoutMs);
        return false;
    }
    DWORD code = 0;
    GetExitCodeProcess(CurrentServer(ctl), &code);
    PrintOut(L"exit code %lu\n", code);
    return true;
}

// Carries out command `c` with its wait or sleep time.
bool Dispatch(Controller* ctl, const CommandSpec& c, DWORD ms) {
    switch (c.id) {
    case CTL_EVENTS:
        if (!CreateEvents(ctl)) return false;
        PrintOut(L"events ready\n");
        return true;
    case CTL_LAUNCH: return Launch(ctl);
    case CTL_SIGNAL: return Signal(ctl, static_cast<int>(c.value));
    case CTL_WAIT_LISTENING: return WaitAnswering(ctl, true, ms);
    case CTL_WAIT_STOPPED: return WaitAnswering(ctl, false, ms);
    case CTL_WAIT_EXIT: return WaitExit(ctl, ms);
    default:
        Sleep(ms);
        PrintOut(L"slept %lu ms\n", ms);
        return true;
    }
}

// Runs the command `word` with the optional number after it; `*consumed`
// tells whether the number was used. A usage problem goes to `problem`
// (CLI_PROBLEM_CHARS).
Outcome RunOne(Controller* ctl, const wchar_t* word, const wchar_t* argument, bool* consumed,
               wchar_t* problem) {
    const CommandSpec* c = FindCommand(kCtl, word);
    if (!c) {
        _snwprintf(problem, CLI_PROBLEM_CHARS - 1, L"unknown command %.120ls", word);
        problem[CLI_PROBLEM_CHARS - 1] = 0;
        return OUTCOME_MISUSED;
    }
    long ms = static_cast<long>(kDefaultWaitMs);
    *consumed = argument && ParseLong(argument, &ms) && ms >= 0;
    if (!*consumed) ms = static_cast<long>(kDefaultWaitMs);
    if (c->minArgs > 0 && !*consumed) {
        _snwprintf(problem, CLI_PROBLEM_CHARS - 1, L"usage: %ls %ls", kCtl.program, c->synopsis);
        problem[CLI_PROBLEM_CHARS - 1] = 0;
        return OUTCOME_MISUSED;
    }
    return Dispatch(ctl, *c, DWORD(ms)) ? OUTCOME_DONE : OUTCOME_FAILED;
}

// Splits off the next blank-separated word of `*cursor`, or null.
wchar_t* NextToken(wchar_t** cursor) {
    wchar_t* p = *cursor;
    while (*p == L' ' || *p == L'\t' || *p == L'\r' || *p == L'\n') ++p;
    if (!*p) return nullptr;
    wchar_t* token = p;
    while (*p && *p != L' ' && *p != L'\t' && *p != L'\r' && *p != L'\n') ++p;
    if (*p) *p++ = 0;
    *cursor = p;
    return token;
}

// Reads commands from stdin until it ends; each line is a command and an
// optional number. A command that fails prints "failed COMMAND" and the
// next line is read. False when a line misused a command.
bool RunStdin(Controller* ctl) {
    bool misused = false;
    char line[256];
    while (fgets(line, sizeof(line), stdin)) {
        wchar_t wide[256];
        MultiByteToWideChar(CP_UTF8, 0, line, -1, wide, 256);
        wchar_t* cursor = wide;
        wchar_t* command = NextToken(&cursor);
        if (!command) continue;
        wchar_t* argument = NextToken(&cursor);
        bool consumed = false;
        wchar_t problem[CLI_PROBLEM_CHARS];
        Outcome outcome = RunOne(ctl, command, argument, &consumed, problem);
        if (outcome == OUTCOME_MISUSED) {
            PrintErr(L"%ls: %ls\n", kCtl.program, problem);
            misused = true;
        }
        if (outcome != OUTCOME_DONE) PrintOut(L"failed %ls\n", command);
    }
    return !misused;
}

// Runs the commands from argv[first] on, in order; the exit status.
int RunCommands(Controller* ctl, int argc, wchar_t** argv, int first) {
    for (int i = first; i < argc; ++i) {
        if (lstrcmpW(argv[i], L"-") == 0) {
            if (!RunStdin(ctl)) return EXIT_USAGE;
            continue;
        }
        bool consumed = false;
        wchar_t problem[CLI_PROBLEM_CHARS];
        Outcome outcome =
            RunOne(ctl, argv[i], i + 1 < argc ? argv[i + 1] : nullptr, &consumed, problem);
        if (outcome == OUTCOME_MISUSED) return ReportUsageError(kCtl, nullptr, problem);
        if (outcome == OUTCOME_FAILED) return EXIT_FAILED;
        if (consumed) ++i;
    }
    return EXIT_OK;
}

}  // namespace

// Parses the options, then runs the commands in the order given.
int wmain(int argc, wchar_t** argv) {
    // Static: the supervisor thread uses it until the process ends.
    static Controller ctl;
    if (!InitController(&ctl)) {
        PrintErr(L"DeviceRpcCtl: cannot create its events: error %lu\n", GetLastError());
        return EXIT_FAILED;
    }
    ParsedLine line;
    int status = HandleCommandLine(kCtl, argc, argv, &ctl, &line);
    if (status != CLI_RUN) return status;
    if (line.restIndex >= argc) return ReportUsageError(kCtl, nullptr, L"no command given");
    return RunCommands(&ctl, argc, argv, line.restIndex);
}
