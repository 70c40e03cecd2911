// Everything MonitorSim writes to the registry of the local machine: its
// window handle and the printer failure flags in the Monitors key, the
// device data and handshake flags below the store root, and (on request)
// spooler entries for its printers.
#pragma once

#include <windows.h>

#include "printer_model.h"
#include "reply_records.h"

constexpr int MAX_SIZE_OVERRIDES = 16;
constexpr DWORD VALUE_SIZE_MAX = 1024;

// Stores the named value with exactly `size` bytes instead of its own:
// its bytes cut short, or followed by zero bytes.
struct ValueSizeOverride {
    wchar_t valueName[64];
    DWORD size;
};

// Faults of the registry path.
struct StoreFaults {
    ValueSizeOverride sizes[MAX_SIZE_OVERRIDES];
    int sizeCount;
    bool hasFlashSize;  // store VALUE_FLASH_SIZE as flashSize whatever the item holds
    DWORD flashSize;
    bool noHandshake;   // store the data but never set FLAG_ACQUIRED/FLAG_WRITTEN
};

// Writes `window` into MONITOR_WINDOW_VALUE: `handleBytes` 8 as REG_BINARY,
// 4 as REG_DWORD, 12 as REG_BINARY with four zero bytes behind the
// handle. On failure `*error` is the registry's error code.
bool StoreWindowHandle(HWND window, DWORD handleBytes, LONG* error);

// Deletes MONITOR_WINDOW_VALUE if it still names `window`; a later instance
// that has stored its own handle keeps it.
void ClearWindowHandle(HWND window);

// Writes the printer failure flag named `clientName`: REG_DWORD 0 for
// success, 1 for failure.
bool WriteFailureFlag(const wchar_t* clientName, DWORD flag);

// Stores the values acquire request `request` needs under the printer data
// key of `localName`, then sets its FLAG_ACQUIRED flag. OUTCOME_FAILED, with
// the flag left alone, when the printer lacks the data or a store fails.
RequestOutcome StoreAcquireData(const VirtualPrinter* printer, LONG request, DWORD selector,
                                const wchar_t* localName, const StoreFaults* faults);

// Sets the FLAG_WRITTEN flag of write request `request` to the byte 0x01.
bool SetWrittenFlag(LONG request, DWORD selector, const wchar_t* localName,
                    const StoreFaults* faults);

// Enters the printer in the spooler's registry layout (printer key and
// driver key naming the language monitor) so that name resolution finds
// it. On failure `*error` is the registry's error code.
bool RegisterSpoolerPrinter(const VirtualPrinter* printer, LONG* error);
