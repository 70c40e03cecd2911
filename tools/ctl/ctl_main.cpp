// DeviceRpcCtl: the controlling process of the device RPC server. It
// creates the three control events, starts the server, signals START, STOP
// and TERMINATE, waits until the server answers or exits, and reports the
// exit code. Commands run in the order given; "-" reads more from stdin.
// With --supervise it also starts the server again when it dies.
#include <windows.h>

#include <cstdio>
#include <cwchar>

#include "controller.h"
#include "devicerpc_version.h"
#include "rpc_binding.h"
#include "supervisor.h"
#include "tool_common.h"

namespace {

const int EXIT_OK = 0;
const int EXIT_FAILED = 1;
const int EXIT_USAGE = 2;

const DWORD kDefaultWaitMs = 15000;
const DWORD kPollMs = 200;

const wchar_t kUsage[] =
    L"Usage: DeviceRpcCtl [options] COMMAND...\n"
    L"\n"
    L"Runs the commands in order; \"-\" reads further commands from standard\n"
    L"input, one per line. Each command prints one line.\n"
    L"\n"
    L"Options:\n"
    L"  --server PATH     the server executable (default: DeviceRpcServer.exe\n"
    L"                    beside this program)\n"
    L"  --manual-reset    create manual-reset events (default: auto-reset);\n"
    L"                    a signal then stays set for --pulse-ms\n"
    L"  --pulse-ms MS     how long a manual-reset signal stays set (default 300)\n"
    L"  --protseq SEQ     protocol sequence the waits probe (default ncacn_np)\n"
    L"  --supervise       start the launched server again whenever it exits\n"
    L"                    without a terminate from this controller: after 1 s,\n"
    L"                    doubling to 30 s (1 s again after 60 s of running),\n"
    L"                    then START unless the last signal sent was stop. Each\n"
    L"                    restart prints one line on standard error: the\n"
    L"                    restart count and the exit code. Supervision lasts\n"
    L"                    while DeviceRpcCtl runs (give commands with \"-\")\n"
    L"  --version         print the version\n"
    L"\n"
    L"Commands:\n"
    L"  events            create the three events (launch does it too)\n"
    L"  launch            create the events and start the server process\n"
    L"  start | stop | terminate\n"
    L"                    signal that event (opened by name when this process\n"
    L"                    did not create it)\n"
    L"  wait-listening [MS]  wait until the server answers calls\n"
    L"  wait-stopped [MS]    wait until it no longer answers\n"
    L"  wait-exit [MS]       wait for the launched server to end; print its exit code\n"
    L"                       (supervised: for the end after terminate)\n"
    L"  sleep MS          pause\n"
    L"\n"
    L"Waits default to 15000 ms. Exit status: 0 when every command succeeded,\n"
    L"1 when one failed (the rest are not run), 2 usage error.\n";

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

bool WaitAnswering(Controller* ctl, bool wanted, DWORD timeoutMs) {
    BindingOptions options = {ctl->probeProtseq, nullptr, nullptr, false, 0};
    DWORD start = GetTickCount();
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

// Runs one command with its optional argument; `*consumed` tells whether
// the argument was used.
bool RunOne(Controller* ctl, const wchar_t* command, const wchar_t* argument, bool* consumed,
            bool* usageError) {
    *consumed = false;
    long ms = static_cast<long>(kDefaultWaitMs);
    if (argument && ParseLong(argument, &ms) && ms >= 0) *consumed = true;
    else ms = static_cast<long>(kDefaultWaitMs);

    if (lstrcmpW(command, L"events") == 0) return CreateEvents(ctl) && (PrintOut(L"events ready\n"), true);
    if (lstrcmpW(command, L"launch") == 0) return Launch(ctl);
    if (lstrcmpW(command, L"start") == 0) return Signal(ctl, SLOT_START);
    if (lstrcmpW(command, L"stop") == 0) return Signal(ctl, SLOT_STOP);
    if (lstrcmpW(command, L"terminate") == 0) return Signal(ctl, SLOT_TERMINATE);
    if (lstrcmpW(command, L"wait-listening") == 0) return WaitAnswering(ctl, true, DWORD(ms));
    if (lstrcmpW(command, L"wait-stopped") == 0) return WaitAnswering(ctl, false, DWORD(ms));
    if (lstrcmpW(command, L"wait-exit") == 0) return WaitExit(ctl, DWORD(ms));
    if (lstrcmpW(command, L"sleep") == 0) {
        if (!*consumed) {
            *usageError = true;
            return false;
        }
        Sleep(DWORD(ms));
        PrintOut(L"slept %ld ms\n", ms);
        return true;
    }
    PrintErr(L"DeviceRpcCtl: unknown command '%ls'\n", command);
    *usageError = true;
    return false;
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
// optional number.
bool RunStdin(Controller* ctl, bool* usageError) {
    char line[256];
    while (fgets(line, sizeof(line), stdin)) {
        wchar_t wide[256];
        MultiByteToWideChar(CP_UTF8, 0, line, -1, wide, 256);
        wchar_t* cursor = wide;
        wchar_t* command = NextToken(&cursor);
        if (!command) continue;
        wchar_t* argument = NextToken(&cursor);
        bool consumed = false;
        bool usage = false;
        if (!RunOne(ctl, command, argument, &consumed, &usage)) {
            PrintOut(L"failed %ls\n", command);
            if (usage) *usageError = true;
        }
    }
    return !*usageError;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    // Static: the supervisor thread uses it until the process ends.
    static Controller ctl;
    if (!InitController(&ctl)) {
        PrintErr(L"DeviceRpcCtl: cannot create its events: error %lu\n", GetLastError());
        return EXIT_FAILED;
    }

    int i = 1;
    for (; i < argc && argv[i][0] == L'-' && argv[i][1] == L'-'; ++i) {
        bool hasValue = i + 1 < argc;
        if (lstrcmpW(argv[i], L"--help") == 0) {
            PrintOut(L"%ls", kUsage);
            return EXIT_OK;
        } else if (lstrcmpW(argv[i], L"--version") == 0) {
            PrintOut(L"DeviceRpcCtl %ls\n", DEVICERPC_VERSION);
            return EXIT_OK;
        } else if (lstrcmpW(argv[i], L"--server") == 0 && hasValue) {
            lstrcpynW(ctl.serverPath, argv[++i], MAX_PATH);
        } else if (lstrcmpW(argv[i], L"--manual-reset") == 0) {
            ctl.manualReset = true;
        } else if (lstrcmpW(argv[i], L"--pulse-ms") == 0 && hasValue) {
            long ms = 0;
            if (!ParseLong(argv[++i], &ms) || ms < 0) {
                PrintErr(L"DeviceRpcCtl: --pulse-ms takes milliseconds\n%ls", kUsage);
                return EXIT_USAGE;
            }
            ctl.pulseMs = DWORD(ms);
        } else if (lstrcmpW(argv[i], L"--protseq") == 0 && hasValue) {
            ctl.probeProtseq = argv[++i];
        } else if (lstrcmpW(argv[i], L"--supervise") == 0) {
            ctl.supervise = true;
        } else {
            PrintErr(L"DeviceRpcCtl: unknown option '%ls'\n%ls", argv[i], kUsage);
            return EXIT_USAGE;
        }
    }
    if (i >= argc) {
        PrintErr(L"DeviceRpcCtl: no command given\n%ls", kUsage);
        return EXIT_USAGE;
    }

    for (; i < argc; ++i) {
        bool usageError = false;
        if (lstrcmpW(argv[i], L"-") == 0) {
            if (!RunStdin(&ctl, &usageError)) return usageError ? EXIT_USAGE : EXIT_FAILED;
            continue;
        }
        bool consumed = false;
        if (!RunOne(&ctl, argv[i], i + 1 < argc ? argv[i + 1] : nullptr, &consumed, &usageError)) {
            if (usageError) PrintErr(L"%ls", kUsage);
            return usageError ? EXIT_USAGE : EXIT_FAILED;
        }
        if (consumed) ++i;
    }
    return EXIT_OK;
}
