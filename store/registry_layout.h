// The registry tree shared with the language monitor, below
// HKEY_LOCAL_MACHINE, and the spooler keys that name resolution reads.
#pragma once

#include <windows.h>

// The language monitor's key: its window handle and one failure flag per
// printer, named by the client printer name.
#define MONITORS_KEY L"SOFTWARE\\Mirel\\ZOLT7\\Monitors\\ZOLT7 Monitor"
#define MONITOR_WINDOW_VALUE L"LP Window handle"

// Printer data keys are the store root followed by the printer key name.
#define STORE_ROOT L"SOFTWARE\\Mirel\\ZOLT7\\"

#define SUBKEY_CONFIG L"\\Driver\\Config"
#define SUBKEY_BIN_INFO L"\\Driver\\BinInfo\\"
#define SUBKEY_BIN_FORMAT L"\\Driver\\BinInfo\\%d"
#define SUBKEY_CALIBRATION L"\\Driver\\Calibration"
#define SUBKEY_COUNTER L"\\Driver\\Counter"
#define SUBKEY_FLASH_DATA L"\\Driver\\FlashData"
#define SUBKEY_SERVICE_SETTINGS L"\\Driver\\Service Settings"

// Handshake flags.
#define FLAG_ACQUIRED L"Acquired"
#define FLAG_WRITTEN L"Written"

// The spooler's published layout and the monitor its drivers must name.
#define PRINTERS_KEY L"System\\CurrentControlSet\\Control\\Print\\Printers"
#define DRIVERS_KEY_PREFIX \
    L"System\\CurrentControlSet\\Control\\Print\\Environments\\Windows x64\\Drivers\\Version-3\\"
#define MONITOR_NAME L"ZOLT7 Monitor"

// Buffer sizes in wide characters, terminator included.
constexpr DWORD PRINTER_KEY_PATH_CHARS = 520;
constexpr DWORD NAME_BUFFER_CHARS = 260;

// Device-request codes.
constexpr LONG DEVREQ_CONFIG = 2;
constexpr LONG DEVREQ_BIN_INFO = 3;
constexpr LONG DEVREQ_CALIBRATION = 4;
constexpr LONG DEVREQ_BIN_INFO_WRITE = 5;
constexpr LONG DEVREQ_COUNTER = 9;
constexpr LONG DEVREQ_FLASH_DATA = 11;
constexpr LONG DEVREQ_FLASH_DATA_WRITE = 12;

// The selector byte that sends flash requests to the service settings.
constexpr DWORD SELECTOR_SERVICE_SETTINGS = 12;
