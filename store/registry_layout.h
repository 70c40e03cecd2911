// The registry tree shared with the language monitor, below
// HKEY_LOCAL_MACHINE, and the spooler keys that name resolution reads.
#pragma once

#include <windows.h>

#include "registry_names.h"

// The language monitor's key: its window handle and one failure flag per
// printer, named by the client printer name.
#define MONITORS_KEY L"SOFTWARE\\Mirel\\ZOLT7\\Monitors\\ZOLT7 Monitor"
#define MONITOR_WINDOW_VALUE L"LP Window handle"

// Printer data keys are the store root followed by the printer key name.
#define STORE_ROOT L"SOFTWARE\\Mirel\\ZOLT7\\"

// The spooler's published layout and the monitor its drivers must name.
#define PRINTERS_KEY L"System\\CurrentControlSet\\Control\\Print\\Printers"
#define DRIVERS_KEY_PREFIX \
    L"System\\CurrentControlSet\\Control\\Print\\Environments\\Windows x64\\Drivers\\Version-3\\"
#define MONITOR_NAME L"ZOLT7 Monitor"

// Buffer sizes in wide characters, terminator included.
constexpr DWORD PRINTER_KEY_PATH_CHARS = 520;
constexpr DWORD NAME_BUFFER_CHARS = 260;

// The longest registry value name, without its terminator.
constexpr int MAX_VALUE_NAME_CHARS = 16383;
