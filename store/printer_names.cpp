// Printer name resolution over the spooler's registry layout.
#include "printer_names.h"

#include "devicerpc_contract.h"

namespace {

// Reads a value of at most `size` bytes into a zero-filled `dest`. A string
// that fills its buffer exactly has no room for a terminator and is
// refused, so every string read this way is terminated.
bool ReadValue(HKEY key, const wchar_t* name, void* dest, DWORD size, bool isString) {
    ZeroMemory(dest, size);
    DWORD length = size;
    if (RegQueryValueExW(key, name, nullptr, nullptr, static_cast<BYTE*>(dest), &length) !=
        ERROR_SUCCESS)
        return false;
    if (!isString) return true;
    const wchar_t* text = static_cast<const wchar_t*>(dest);
    DWORD chars = size / sizeof(wchar_t);
    return text[chars - 1] == 0;
}

// True when the printer's driver names the language monitor, compared
// with regard to case. A driver name too long for the driver key path
// buffer never qualifies.
bool DriverUsesMonitor(const wchar_t* driverName) {
    wchar_t path[NAME_BUFFER_CHARS] = {};
    if (lstrlenW(DRIVERS_KEY_PREFIX) + lstrlenW(driverName) >= int(NAME_BUFFER_CHARS)) return false;
    lstrcpyW(path, DRIVERS_KEY_PREFIX);
    lstrcatW(path, driverName);
    HKEY driverKey = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_QUERY_VALUE, &driverKey) != ERROR_SUCCESS)
        return false;
    wchar_t monitor[NAME_BUFFER_CHARS] = {};
    bool read = ReadValue(driverKey, DRIVER_MONITOR_VALUE, monitor, sizeof(monitor), true);
    RegCloseKey(driverKey);
    return read && lstrcmpW(monitor, MONITOR_NAME) == 0;
}

// Decides whether the printer behind `printerKey` matches `clientName`;
// on a match its "Name" is in `name` (260 chars, terminated).
bool PrinterMatches(HKEY printerKey, const wchar_t* clientName, wchar_t* name) {
    const DWORD nameBytes = NAME_BUFFER_CHARS * sizeof(wchar_t);
    DWORD status = 0;
    if (!ReadValue(printerKey, SPOOLER_STATUS_VALUE, &status, sizeof(status), false)) return false;
    if (status & PRINTER_STATUS_PENDING_DELETION) return false;

    wchar_t driver[NAME_BUFFER_CHARS];
    if (!ReadValue(printerKey, SPOOLER_DRIVER_VALUE, driver, sizeof(driver), true)) return false;
    if (!DriverUsesMonitor(driver)) return false;

    DWORD attributes = 0;
    if (!ReadValue(printerKey, SPOOLER_ATTRIBUTES_VALUE, &attributes, sizeof(attributes), false))
        return false;
    if (attributes & PRINTER_ATTRIBUTE_SHARED) {
        wchar_t share[NAME_BUFFER_CHARS];
        if (!ReadValue(printerKey, SPOOLER_SHARE_NAME_VALUE, share, sizeof(share), true))
            return false;
        if (share[0] && lstrcmpiW(share, clientName) == 0)
            return ReadValue(printerKey, SPOOLER_NAME_VALUE, name, nameBytes, true);
    }
    if (!ReadValue(printerKey, SPOOLER_NAME_VALUE, name, nameBytes, true)) return false;
    return lstrcmpiW(name, clientName) == 0;
}

}  // namespace

bool ResolveLocalPrinterName(const wchar_t* clientName, wchar_t* localName) {
    HKEY printers = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, PRINTERS_KEY, 0, KEY_READ, &printers) != ERROR_SUCCESS)
        return false;
    DWORD count = 0;
    RegQueryInfoKeyW(printers, nullptr, nullptr, nullptr, &count, nullptr, nullptr, nullptr,
                     nullptr, nullptr, nullptr, nullptr);

    bool found = false;
    for (DWORD index = 0; index < count && !found; ++index) {
        wchar_t subkey[PRINTER_KEY_PATH_CHARS] = {};
        DWORD subkeyChars = PRINTER_KEY_PATH_CHARS;
        if (RegEnumKeyExW(printers, index, subkey, &subkeyChars, nullptr, nullptr, nullptr,
                          nullptr) != ERROR_SUCCESS)
            continue;
        HKEY printerKey = nullptr;
        if (RegOpenKeyExW(printers, subkey, 0, KEY_READ, &printerKey) != ERROR_SUCCESS) continue;
        // "Name" may be read into a buffer of 1040 bytes; 259 characters and
        // the terminator are all a local printer name may have, so a longer
        // name never matches.
        wchar_t name[NAME_BUFFER_CHARS];
        if (PrinterMatches(printerKey, clientName, name)) {
            lstrcpyW(localName, name);
            found = true;
        }
        RegCloseKey(printerKey);
    }
    RegCloseKey(printers);
    return found;
}
