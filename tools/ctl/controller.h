// DeviceRpcCtl's state and the primitives its commands and its supervisor
// share: the control events, signalling them, starting the server.
#pragma once

#include <windows.h>

// Slots of the control events, in the server's wait order.
enum ControlSlot { SLOT_START = 0, SLOT_STOP = 1, SLOT_TERMINATE = 2 };

extern const wchar_t* const kEventNames[3];

struct Controller {
    HANDLE events[3];
    bool manualReset;
    DWORD pulseMs;
    wchar_t serverPath[MAX_PATH];
    const wchar_t* probeProtseq;
    bool supervise;             // --supervise: restart the server when it dies
    // Shared with the supervisor thread; the fields below `lock` are read
    // and written only while holding it.
    CRITICAL_SECTION lock;
    HANDLE server;              // the server process launched last
    DWORD serverPid;
    bool stopWanted;            // the last START/STOP this controller sent was STOP
    // Manual-reset, unnamed: set once this controller has sent TERMINATE.
    HANDLE terminateSent;
    // Manual-reset, unnamed: set when the supervisor has ended.
    HANDLE supervisionOver;
    bool supervising;           // a supervisor thread was started
};

// Fills `ctl` with its defaults; false when a kernel object cannot be made.
bool InitController(Controller* ctl);

// Creates the three events that do not exist yet in this process.
bool CreateEvents(Controller* ctl);

// Sets the event of `slot` (opened by name when this process did not
// create it), reset again after the pulse for manual-reset events.
// Returns 0 or the Windows error code; prints nothing.
DWORD SetControlEvent(Controller* ctl, int slot);

// Starts the server executable; its process handle and id on success,
// else false with the Windows error code in `*error`.
bool StartServerProcess(const Controller* ctl, HANDLE* process, DWORD* pid, DWORD* error);

// The server handle under the lock (null before launch).
HANDLE CurrentServer(Controller* ctl);
