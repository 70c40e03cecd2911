// The reader: one worker thread that reads every printer through the
// client library, a round at a time, and posts each printer's reading to
// the window. The window's thread never calls the server: every call is
// here, bounded by the session's call time-out.
#pragma once

#include <windows.h>

#include "monitor_state.h"

// Posted to the window for each printer read: lParam is a PrinterReading*
// that the window frees with FreeReading.
constexpr UINT WM_MONITOR_READING = WM_APP + 1;

// How and what to read; fixed before the thread starts.
struct ReaderSettings {
    const wchar_t* printers[MAX_PRINTERS];
    int printerCount;
    const wchar_t* host;     // --server: TCP to HOST, endpoint from its map
    const wchar_t* binding;  // --binding: a string binding
    DWORD intervalMs;        // between the end of a round and the next
    DWORD timeoutMs;         // the session's call time-out
};

struct Reader {
    ReaderSettings settings;
    HWND window;
    HANDLE stop;     // manual-reset: the application is closing
    HANDLE refresh;  // auto-reset: start a round now
    HANDLE thread;
};

// Starts the thread; its first round begins at once. False when the
// thread or its events cannot be made.
bool StartReader(Reader* reader, const ReaderSettings& settings, HWND window);

// Ends the wait between rounds: a new round starts now, or right after
// the one under way.
void RefreshNow(Reader* reader);

// Tells the thread to stop and waits for it at most `waitMs`. A thread
// still inside a call then is left to the process's exit: the call
// cannot outlast the time-out, and nothing of it is posted.
void StopReader(Reader* reader, DWORD waitMs);

// Frees a reading the window received.
void FreeReading(PrinterReading* reading);
