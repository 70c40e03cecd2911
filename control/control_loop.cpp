// The single-instance guard and the control loop.
#include "control_loop.h"

#include <windows.h>

#include "devicerpc_contract.h"
#include "listener.h"

namespace {

enum EventSlot { SLOT_START = 0, SLOT_STOP = 1, SLOT_TERMINATE = 2, SLOT_COUNT = 3 };

const wchar_t* const kEventNames[SLOT_COUNT] = {
    EVENT_RPC_START,
    EVENT_RPC_STOP,
    EVENT_RPC_TERMINATE,
};

// How long to pause before trying again when the events are not there yet
// or a wait fails, so that the loop never spins.
const DWORD kRetryPauseMs = 1000;

// How long TERMINATE lets a listener thread end on its own before ending
// it by force. Ended inside the runtime (registering, or just leaving the
// listen call) it can leave a runtime lock held and hang process exit; a
// stopped or cancelled listener leaves within this time unless calls are
// still in progress, which then end with the process as before.
const DWORD kListenerGraceMs = 2000;

// Opens the three events, which the controlling process creates. Events
// that do not exist yet are tried again after a pause, for as long as it
// takes: without them the server cannot be controlled at all, and waiting
// keeps it idle instead of failing every wait at once.
void OpenControlEvents(HANDLE* events) {
    for (;;) {
        bool allOpen = true;
        for (int slot = 0; slot < SLOT_COUNT; ++slot) {
            if (!events[slot]) events[slot] = OpenEventW(EVENT_ALL_ACCESS, FALSE, kEventNames[slot]);
            if (!events[slot]) allOpen = false;
        }
        if (allOpen) return;
        Sleep(kRetryPauseMs);
    }
}

bool ThreadRunning(HANDLE thread) {
    DWORD code = 0;
    if (!thread) return false;
    GetExitCodeThread(thread, &code);
    return code == STILL_ACTIVE;
}

// Ends a listener thread that is still running on TERMINATE, after the
// stop sequence or the cancel of its start-up has told it to end.
void EndListener(HANDLE listener) {
    if (!ThreadRunning(listener)) return;
    WaitForSingleObject(listener, kListenerGraceMs);
    if (ThreadRunning(listener)) TerminateThread(listener, 0);
}

HANDLE StartListener(HANDLE previous) {
    if (previous) CloseHandle(previous);
    return StartListenerThread();
}

// Handles one event at a time until TERMINATE. A listener thread that is
// still starting up counts as started, so that a second START cannot create
// a second listener that would leave the server unstoppable. A START that
// comes while a stopped listener is still waiting for the runtime to let
// go (calls or, under Wine, open connections) is kept, and carried out when
// that thread ends, instead of being lost.
void ControlLoop(HANDLE* events) {
    HANDLE listener = nullptr;
    bool stopping = false;
    bool startPending = false;
    for (;;) {
        HANDLE waitSet[SLOT_COUNT + 1] = {events[SLOT_START], events[SLOT_STOP],
                                          events[SLOT_TERMINATE], listener};
        DWORD count = startPending ? SLOT_COUNT + 1 : SLOT_COUNT;
        DWORD signalled = WaitForMultipleObjects(count, waitSet, FALSE, INFINITE);
        switch (signalled) {
        case WAIT_OBJECT_0 + SLOT_START:
            if (!ThreadRunning(listener)) {
                listener = StartListener(listener);
                stopping = false;
            } else if (stopping) {
                startPending = true;
            }
            break;
        case WAIT_OBJECT_0 + SLOT_STOP:
            startPending = false;
            if (IsListening()) {
                StopListening();
                stopping = true;
            }
            break;
        case WAIT_OBJECT_0 + SLOT_TERMINATE:
            // A listener still starting is told not to listen; one that
            // listens is stopped. Either way it then ends on its own.
            if (!CancelListenerStart() && IsListening()) StopListening();
            EndListener(listener);
            return;
        case WAIT_OBJECT_0 + SLOT_COUNT:
            listener = StartListener(listener);
            stopping = false;
            startPending = false;
            break;
        default:
            Sleep(kRetryPauseMs);
            break;
        }
    }
}

}  // namespace

int RunServer() {
    SECURITY_ATTRIBUTES attributes = {sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE instance = CreateMutexW(&attributes, TRUE, SERVER_INSTANCE_MUTEX);
    if (!instance) return 0;
    if (GetLastError() == ERROR_ALREADY_EXISTS) return 1;

    // The mutex and the events stay open until the process ends.
    HANDLE events[SLOT_COUNT] = {};
    OpenControlEvents(events);
    ControlLoop(events);
    return 0;
}
