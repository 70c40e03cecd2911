// The supervisor thread. Wine's RPC runtime can end the whole server
// process on one malformed request, before any code of the server runs;
// a controlling process is the only place that can bring it back.
#include "supervisor.h"

#include "tool_common.h"

namespace {

// The delay after `delayMs`: doubled, at most the cap.
DWORD NextRestartDelay(DWORD delayMs) {
    return delayMs >= SUPERVISE_MAX_DELAY_MS / 2 ? SUPERVISE_MAX_DELAY_MS : delayMs * 2;
}

bool TerminateWasSent(const Controller* ctl) {
    return WaitForSingleObject(ctl->terminateSent, 0) == WAIT_OBJECT_0;
}

// Starts the server again in place of `dead` and, unless this controller
// last asked it to stop, signals START, as the controller would have done.
// Reports the restart (or its failure) in one line on standard error.
bool RestartServer(Controller* ctl, HANDLE dead, DWORD restart, DWORD delayMs) {
    DWORD code = 0;
    GetExitCodeProcess(dead, &code);
    EnterCriticalSection(&ctl->lock);
    DWORD deadPid = ctl->serverPid;
    LeaveCriticalSection(&ctl->lock);

    HANDLE process = nullptr;
    DWORD pid = 0;
    DWORD error = 0;
    if (!StartServerProcess(ctl, &process, &pid, &error)) {
        PrintErr(L"DeviceRpcCtl: restart %lu: server pid %lu exited with code %lu (0x%08lx); "
                 L"cannot start %ls again: error %lu; supervision ends\n",
                 restart, deadPid, code, code, ctl->serverPath, error);
        return false;
    }
    EnterCriticalSection(&ctl->lock);
    ctl->server = process;
    ctl->serverPid = pid;
    bool stopWanted = ctl->stopWanted;
    LeaveCriticalSection(&ctl->lock);
    CloseHandle(dead);

    DWORD startError = stopWanted ? 0 : SetControlEvent(ctl, SLOT_START);
    PrintErr(L"DeviceRpcCtl: restart %lu: server pid %lu exited with code %lu (0x%08lx); "
             L"started again after %lu ms as pid %lu%ls\n",
             restart, deadPid, code, code, delayMs, pid,
             stopWanted ? L", left stopped" : startError ? L", START failed" : L", START signalled");
    return true;
}

// Waits for the server to end and starts it again, until this controller
// sends TERMINATE or a restart fails; then marks supervision over.
DWORD WINAPI SuperviseServer(void* parameter) {
    Controller* ctl = static_cast<Controller*>(parameter);
    DWORD delayMs = SUPERVISE_FIRST_DELAY_MS;
    for (DWORD restart = 1;; ++restart) {
        HANDLE server = CurrentServer(ctl);
        DWORD startedAt = GetTickCount();
        WaitForSingleObject(server, INFINITE);
        // TERMINATE is noted before it is signalled, so a server that
        // exits on it is never taken for one that died.
        if (TerminateWasSent(ctl)) break;
        if (GetTickCount() - startedAt >= SUPERVISE_STABLE_MS) delayMs = SUPERVISE_FIRST_DELAY_MS;
        // A TERMINATE during the pause ends supervision with no restart.
        if (WaitForSingleObject(ctl->terminateSent, delayMs) == WAIT_OBJECT_0) break;
        if (!RestartServer(ctl, server, restart, delayMs)) break;
        delayMs = NextRestartDelay(delayMs);
    }
    SetEvent(ctl->supervisionOver);
    return 0;
}

}  // namespace

bool StartSupervision(Controller* ctl) {
    HANDLE thread = CreateThread(nullptr, 0, SuperviseServer, ctl, 0, nullptr);
    if (!thread) return false;
    CloseHandle(thread);
    ctl->supervising = true;
    return true;
}
