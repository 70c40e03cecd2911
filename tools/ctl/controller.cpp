// The control events and the server process, for the commands and the
// supervisor alike.
#include "controller.h"

#include <cwchar>

#include "devicerpc_contract.h"
#include "tool_common.h"

const wchar_t* const kEventNames[3] = {EVENT_RPC_START, EVENT_RPC_STOP, EVENT_RPC_TERMINATE};

bool InitController(Controller* ctl) {
    ZeroMemory(ctl, sizeof(*ctl));
    ctl->pulseMs = 300;
    ctl->probeProtseq = SERVER_PROTSEQ_PIPE;
    GetModuleFileNameW(nullptr, ctl->serverPath, MAX_PATH);
    wchar_t* slash = wcsrchr(ctl->serverPath, L'\\');
    if (slash) lstrcpyW(slash + 1, L"DeviceRpcServer.exe");
    InitializeCriticalSection(&ctl->lock);
    ctl->terminateSent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ctl->supervisionOver = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    return ctl->terminateSent && ctl->supervisionOver;
}

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

DWORD SetControlEvent(Controller* ctl, int slot) {
    HANDLE event = ctl->events[slot];
    bool opened = false;
    if (!event) {
        event = OpenEventW(EVENT_MODIFY_STATE, FALSE, kEventNames[slot]);
        if (!event) return GetLastError() ? GetLastError() : ERROR_FILE_NOT_FOUND;
        opened = true;
    }
    DWORD error = SetEvent(event) ? 0 : GetLastError();
    // A manual-reset event stays set until reset; the server handles it
    // again on every pass of its loop until then.
    if (error == 0 && ctl->manualReset) {
        Sleep(ctl->pulseMs);
        ResetEvent(event);
    }
    if (opened) CloseHandle(event);
    return error;
}

namespace {

// An inheritable handle for the server's standard handles: the server
// writes nothing, but the platform's report of a crash would otherwise
// land in our standard output and break its one line per command.
HANDLE OpenInheritableNul() {
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    return CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       &inherit, OPEN_EXISTING, 0, nullptr);
}

}  // namespace

bool StartServerProcess(const Controller* ctl, HANDLE* process, DWORD* pid, DWORD* error) {
    wchar_t commandLine[MAX_PATH + 2];
    _snwprintf(commandLine, MAX_PATH + 2, L"\"%ls\"", ctl->serverPath);
    commandLine[MAX_PATH + 1] = 0;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    HANDLE nul = OpenInheritableNul();
    bool redirect = nul != INVALID_HANDLE_VALUE;
    if (redirect) {
        // Our own standard handles must not go along: a server holding our
        // output pipes open would keep a reader of them waiting for their end.
        SetHandleInformation(GetStdHandle(STD_INPUT_HANDLE), HANDLE_FLAG_INHERIT, 0);
        SetHandleInformation(GetStdHandle(STD_OUTPUT_HANDLE), HANDLE_FLAG_INHERIT, 0);
        SetHandleInformation(GetStdHandle(STD_ERROR_HANDLE), HANDLE_FLAG_INHERIT, 0);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = nul;
        startup.hStdOutput = nul;
        startup.hStdError = nul;
    }
    PROCESS_INFORMATION info = {};
    BOOL started = CreateProcessW(ctl->serverPath, commandLine, nullptr, nullptr, redirect, 0,
                                  nullptr, nullptr, &startup, &info);
    *error = started ? 0 : GetLastError();
    if (redirect) CloseHandle(nul);
    if (!started) return false;
    CloseHandle(info.hThread);
    *process = info.hProcess;
    *pid = info.dwProcessId;
    return true;
}

HANDLE CurrentServer(Controller* ctl) {
    EnterCriticalSection(&ctl->lock);
    HANDLE server = ctl->server;
    LeaveCriticalSection(&ctl->lock);
    return server;
}
