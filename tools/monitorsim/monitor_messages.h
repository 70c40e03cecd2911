// MonitorSim's handling of the server's WM_COPYDATA messages: the message
// log, the four message codes and the fault modes that bend the answers.
#pragma once

#include <windows.h>

#include "printer_model.h"
#include "sim_registry.h"

// Command-line settings; all zero means a well-behaved language monitor.
struct SimOptions {
    DWORD delayMs;           // sleep before answering each message
    bool leaveFlag;          // never write a printer failure flag
    bool alwaysFail;         // set the failure flag whatever the verdict
    bool dieInMessage;       // ExitProcess while handling a message ...
    bool dieCodeGiven;       // ... only one with this code
    DWORD dieCode;
    bool dieHoldingMutex;    // take the device request mutex, then exit,
    DWORD dieMutexCode;      // on a message with this code (never 11),
    DWORD mutexHoldMs;       // after holding it this long
    StoreFaults store;       // registry path faults
    bool hasEcho;            // mapped reply: this dwRequestCode
    long echo;
    bool mappedFail;         // mapped reply: dwSuccess 0, this dwErrorCode
    DWORD mappedError;
    bool hasMappedSize;      // mapped reply: this dwDataSize
    DWORD mappedSize;
    bool holdMapping;        // keep the reply mapping open between calls
    bool mappedNoReply;      // handle message 11 without writing a reply
};

// The state of the window thread; only that thread touches it.
struct SimState {
    SimOptions options;
    PrinterModel* model;
    HANDLE log;              // INVALID_HANDLE_VALUE without --log
    HANDLE heldMapping;      // with holdMapping, once the first reply is written
    DWORD mappedReplies;     // written into dwReserved, counting from 1
};

// Opens (creating, appending) the message log.
bool OpenMessageLog(SimState* state, const wchar_t* path);

// Handles one WM_COPYDATA message; TRUE when its code was one of the four.
BOOL HandleCopyData(SimState* state, const COPYDATASTRUCT* message);
