// DeviceRpcCtl: the controlling process of the device RPC server. It
// creates the three control events, starts the server, signals START, STOP
// and TERMINATE, waits until the server answers or exits, and reports the
// exit code. Commands run in the order given; "-" reads more from stdin.
#include <windows.h>

#include <cstdio>
#include <cwchar>

#include "devicerpc_version.h"
#include "rpc_binding.h"
#include "tool_common.h"

namespace {

const int EXIT_OK = 0;
const int EXIT_FAILED = 1;
const int EXIT_USAGE = 2;

const wchar_t* const kEventNames[3] = {
    L"ZOLT7SM_EVENT_RPC_START",
    L"ZOLT7SM_EVENT_RPC_STOP",
    L"ZOLT7SM_EVENT_RPC_TERMINATE",
};

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
    L"  sleep MS          pause\n"
    L"\n"
    L"Waits default to 15000 ms. Exit status: 0 when every command succeeded,\n"
    L"1 when one failed (the rest are not run), 2 usage error.\n";

struct Controller {
    HANDLE events[3];
    bool manualReset;
    DWORD pulseMs;
    wchar_t serverPath[MAX_PATH];
    const wchar_t* probeProtseq;
    HANDLE server;
};

bool CreateEvents(Controller* ctl) {
    for (int i = 0; i < 3; ++i) {
        if (ctl->events[i]) continue;
        ctl->events[i] = CreateEventW(nullptr, ctl->manualReset ? TRUE : FALSE, FALSE, kEventNames[i]);
        if (!ctl->events[i]) {
            PrintErr(L"DeviceRpcCtl: cannot create event %ls: error %lu\n", kEventNames[i],
                     GetLastError());
            return false;
        }
    }
    return true;
}

bool Launch(Controller* ctl) {
    if (!CreateEvents(ctl)) return false;
    if (ctl->server) {
        PrintErr(L"DeviceRpcCtl: the server was already launched\n");
        return false;
    }
    wchar_t commandLine[MAX_PATH + 2];
    _snwprintf(commandLine, MAX_PATH + 2, L"\"%ls\"", ctl->serverPath);
    commandLine[MAX_PATH + 1] = 0;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(ctl->serverPath, commandLine, nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        PrintErr(L"DeviceRpcCtl: cannot start %ls: error %lu\n", ctl->serverPath, GetLastError());
        return false;
    }
    CloseHandle(process.hThread);
    ctl->server = process.hProcess;
    PrintOut(L"launched pid %lu\n", process.dwProcessId);
    return true;
}

bool Signal(Controller* ctl, int slot) {
    HANDLE event = ctl->events[slot];
    bool opened = false;
    if (!event) {
        event = OpenEventW(EVENT_MODIFY_STATE, FALSE, kEventNames[slot]);
        opened = true;
    }
    if (!event) {
        PrintErr(L"DeviceRpcCtl: event %ls does not exist (is a controller running?)\n",
                 kEventNames[slot]);
        return false;
    }
    bool ok = SetEvent(event) != FALSE;
    // A manual-reset event stays set until reset; the server handles it
    // again on every pass of its loop until then.
    if (ok && ctl->manualReset) {
        Sleep(ctl->pulseMs);
        ResetEvent(event);
    }
    if (opened) CloseHandle(event);
    if (!ok) {
        PrintErr(L"DeviceRpcCtl: cannot signal %ls: error %lu\n", kEventNames[slot], GetLastError());
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

bool WaitExit(Controller* ctl, DWORD timeoutMs) {
    if (!ctl->server) {
        PrintErr(L"DeviceRpcCtl: wait-exit needs a server started with launch\n");
        return false;
    }
    if (WaitForSingleObject(ctl->server, timeoutMs) != WAIT_OBJECT_0) {
        PrintErr(L"DeviceRpcCtl: the server did not exit within %lu ms\n", timeoutMs);
        return false;
    }
    DWORD code = 0;
    GetExitCodeProcess(ctl->server, &code);
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
    if (lstrcmpW(command, L"start") == 0) return Signal(ctl, 0);
    if (lstrcmpW(command, L"stop") == 0) return Signal(ctl, 1);
    if (lstrcmpW(command, L"terminate") == 0) return Signal(ctl, 2);
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
    Controller ctl = {};
    ctl.pulseMs = 300;
    ctl.probeProtseq = L"ncacn_np";
    GetModuleFileNameW(nullptr, ctl.serverPath, MAX_PATH);
    wchar_t* slash = wcsrchr(ctl.serverPath, L'\\');
    if (slash) lstrcpyW(slash + 1, L"DeviceRpcServer.exe");

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
