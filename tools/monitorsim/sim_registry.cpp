// MonitorSim's registry writes.
#include "sim_registry.h"

#include "devicerpc_contract.h"
#include "printer_store.h"

namespace {

// Creates or opens a key below HKEY_LOCAL_MACHINE for writing.
LONG CreateMachineKey(const wchar_t* path, REGSAM access, HKEY* key) {
    return RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, REG_OPTION_NON_VOLATILE, access,
                           nullptr, key, nullptr);
}

LONG SetString(HKEY key, const wchar_t* name, const wchar_t* text) {
    DWORD bytes = static_cast<DWORD>((lstrlenW(text) + 1) * sizeof(wchar_t));
    return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text), bytes);
}

LONG SetDword(HKEY key, const wchar_t* name, DWORD value) {
    return RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
}

// Writes one device data value, resized when a fault asks for it.
bool StoreValue(const wchar_t* localName, const wchar_t* subkey, const wchar_t* valueName,
                DWORD type, const void* data, DWORD size, const StoreFaults* faults) {
    for (int i = 0; i < faults->sizeCount; ++i) {
        if (lstrcmpiW(faults->sizes[i].valueName, valueName) != 0) continue;
        BYTE resized[VALUE_SIZE_MAX] = {};
        DWORD wanted = faults->sizes[i].size;
        CopyMemory(resized, data, wanted < size ? wanted : size);
        return WritePrinterValue(HKEY_LOCAL_MACHINE, localName, subkey, valueName, type, resized, wanted);
    }
    return WritePrinterValue(HKEY_LOCAL_MACHINE, localName, subkey, valueName, type, data, size);
}

bool StoreNumber(const wchar_t* localName, const wchar_t* subkey, const wchar_t* valueName,
                 DWORD type, DWORD value, const StoreFaults* faults) {
    BYTE bytes[4];
    PutLittleEndian32(bytes, value);
    return StoreValue(localName, subkey, valueName, type, bytes, 4, faults);
}

// The three configuration values.
bool StoreConfig(const VirtualPrinter* printer, const wchar_t* localName, const StoreFaults* faults) {
    return StoreNumber(localName, SUBKEY_CONFIG, VALUE_DUPLEX, REG_DWORD, printer->dwDuplex, faults) &&
           StoreNumber(localName, SUBKEY_CONFIG, VALUE_CASSETTES, REG_DWORD, printer->dwNumCassette,
                       faults) &&
           StoreNumber(localName, SUBKEY_CONFIG, VALUE_FIRMWARE, REG_DWORD, printer->dwFirmVersion,
                       faults);
}

// The five values of every bin, each bin in its own key.
bool StoreBins(const VirtualPrinter* printer, const wchar_t* localName, const StoreFaults* faults) {
    for (uint32_t i = 0; i < REPLY_BIN_COUNT; ++i) {
        wchar_t subkey[NAME_BUFFER_CHARS];
        wsprintfW(subkey, SUBKEY_BIN_FORMAT, static_cast<int>(i));
        const BinRecord* bin = &printer->bins[i];
        const struct {
            const wchar_t* name;
            DWORD value;
        } values[] = {{VALUE_PAPER_SOURCE, bin->dwPaperSource}, {VALUE_PAPER_SIZE, bin->dwPaperSize},
                      {VALUE_PAPER_WIDTH, bin->dwPaperWidth},   {VALUE_PAPER_HEIGHT, bin->dwPaperHeight},
                      {VALUE_PAPER_LEVEL, bin->dwPaperLevel}};
        for (const auto& v : values)
            if (!StoreNumber(localName, subkey, v.name, REG_DWORD, v.value, faults)) return false;
    }
    return true;
}

// The service settings for their selector, else the selector's flash item.
bool StoreFlash(const VirtualPrinter* printer, DWORD selector, const wchar_t* localName,
                const StoreFaults* faults) {
    if (selector == SELECTOR_SERVICE_SETTINGS)
        return StoreValue(localName, SUBKEY_SERVICE_SETTINGS, VALUE_SERVICE_SETTINGS, REG_BINARY,
                          printer->serviceSettings, SERVICE_SETTINGS_SIZE, faults);
    const FlashItem* item = FindFlashItem(printer, selector);
    if (!item) return false;
    DWORD size = faults->hasFlashSize ? faults->flashSize : item->dwSize;
    return StoreNumber(localName, SUBKEY_FLASH_DATA, VALUE_FLASH_ID, REG_BINARY, item->dwID, faults) &&
           StoreNumber(localName, SUBKEY_FLASH_DATA, VALUE_FLASH_SIZE, REG_BINARY, size, faults) &&
           StoreValue(localName, SUBKEY_FLASH_DATA, VALUE_FLASH_DATA, REG_BINARY, item->data,
                      item->dwSize, faults);
}

// Stores the values of one request; false as soon as one store fails.
bool StoreRequestValues(const VirtualPrinter* printer, LONG request, DWORD selector,
                        const wchar_t* localName, const StoreFaults* faults) {
    switch (request) {
    case DEVREQ_CONFIG:
        return StoreConfig(printer, localName, faults);
    case DEVREQ_BIN_INFO:
        return StoreBins(printer, localName, faults);
    case DEVREQ_CALIBRATION:
        return StoreValue(localName, SUBKEY_CALIBRATION, VALUE_CALIBRATION, REG_BINARY,
                          printer->calibration, CALIBRATION_SIZE, faults);
    case DEVREQ_COUNTER:
        // All seven are stored, whichever the selector picks.
        for (uint32_t i = 0; i < COUNTER_COUNT; ++i)
            if (!StoreNumber(localName, SUBKEY_COUNTER, COUNTER_SELECTORS[i].value, REG_BINARY,
                             printer->counters[i], faults))
                return false;
        return true;
    case DEVREQ_FLASH_DATA:
        return StoreFlash(printer, selector, localName, faults);
    default:
        return false;
    }
}

}  // namespace

bool StoreWindowHandle(HWND window, DWORD handleBytes, LONG* error) {
    HKEY key = nullptr;
    *error = CreateMachineKey(MONITORS_KEY, KEY_SET_VALUE, &key);
    if (*error != ERROR_SUCCESS) return false;
    BYTE bytes[MONITOR_WINDOW_VALUE_SIZE + 4] = {};
    PutLittleEndian64(bytes, static_cast<ULONG64>(reinterpret_cast<ULONG_PTR>(window)));
    DWORD type = handleBytes == 4 ? REG_DWORD : REG_BINARY;
    *error = RegSetValueExW(key, MONITOR_WINDOW_VALUE, 0, type, bytes, handleBytes);
    RegCloseKey(key);
    return *error == ERROR_SUCCESS;
}

void ClearWindowHandle(HWND window) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, MONITORS_KEY, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, &key) !=
        ERROR_SUCCESS)
        return;
    BYTE bytes[MONITOR_WINDOW_VALUE_SIZE + 4] = {};
    DWORD size = sizeof(bytes);
    if (RegQueryValueExW(key, MONITOR_WINDOW_VALUE, nullptr, nullptr, bytes, &size) == ERROR_SUCCESS) {
        ULONG64 stored = GetLittleEndian64(bytes);
        if (stored == static_cast<ULONG64>(reinterpret_cast<ULONG_PTR>(window)))
            RegDeleteValueW(key, MONITOR_WINDOW_VALUE);
    }
    RegCloseKey(key);
}

bool WriteFailureFlag(const wchar_t* clientName, DWORD flag) {
    HKEY key = nullptr;
    if (CreateMachineKey(MONITORS_KEY, KEY_SET_VALUE, &key) != ERROR_SUCCESS) return false;
    bool ok = SetDword(key, clientName, flag) == ERROR_SUCCESS;
    RegCloseKey(key);
    return ok;
}

RequestOutcome StoreAcquireData(const VirtualPrinter* printer, LONG request, DWORD selector,
                                const wchar_t* localName, const StoreFaults* faults) {
    wchar_t flagKey[NAME_BUFFER_CHARS] = {};
    if (!FlagKeyForRequest(request, selector, flagKey)) return OUTCOME_UNKNOWN_CODE;
    if (!StoreRequestValues(printer, request, selector, localName, faults)) return OUTCOME_FAILED;
    if (faults->noHandshake) return OUTCOME_DONE;
    // The flag goes last: the server reads the values only once it is set.
    const BYTE acquired[4] = {1, 0, 0, 0};
    if (!StoreValue(localName, flagKey, FLAG_ACQUIRED, REG_BINARY, acquired, 4, faults))
        return OUTCOME_FAILED;
    return OUTCOME_DONE;
}

bool SetWrittenFlag(LONG request, DWORD selector, const wchar_t* localName,
                    const StoreFaults* faults) {
    if (faults->noHandshake) return true;
    wchar_t flagKey[NAME_BUFFER_CHARS] = {};
    if (!FlagKeyForWriteRequest(request, selector, flagKey)) return false;
    const BYTE written = 0x01;
    return StoreValue(localName, flagKey, FLAG_WRITTEN, REG_BINARY, &written, 1, faults);
}

bool RegisterSpoolerPrinter(const VirtualPrinter* printer, LONG* error) {
    // Spooler printer keys cannot hold backslashes; connections use commas.
    wchar_t path[PRINTER_KEY_PATH_CHARS] = {};
    lstrcpyW(path, PRINTERS_KEY L"\\");
    wchar_t* name = path + lstrlenW(path);
    lstrcpyW(name, printer->name);
    for (wchar_t* p = name; *p; p = CharNextW(p))
        if (*p == L'\\') *p = L',';

    HKEY key = nullptr;
    *error = CreateMachineKey(path, KEY_SET_VALUE, &key);
    if (*error != ERROR_SUCCESS) return false;
    DWORD attributes = printer->share[0] ? PRINTER_ATTRIBUTE_SHARED : 0;
    *error = SetString(key, SPOOLER_NAME_VALUE, printer->name);
    if (*error == ERROR_SUCCESS) *error = SetString(key, SPOOLER_SHARE_NAME_VALUE, printer->share);
    if (*error == ERROR_SUCCESS) *error = SetString(key, SPOOLER_DRIVER_VALUE, printer->driver);
    if (*error == ERROR_SUCCESS) *error = SetDword(key, SPOOLER_ATTRIBUTES_VALUE, attributes);
    if (*error == ERROR_SUCCESS) *error = SetDword(key, SPOOLER_STATUS_VALUE, 0);
    RegCloseKey(key);
    if (*error != ERROR_SUCCESS) return false;

    wchar_t driverPath[NAME_BUFFER_CHARS] = {};
    lstrcpyW(driverPath, DRIVERS_KEY_PREFIX);
    lstrcatW(driverPath, printer->driver);
    *error = CreateMachineKey(driverPath, KEY_SET_VALUE, &key);
    if (*error != ERROR_SUCCESS) return false;
    *error = SetString(key, DRIVER_MONITOR_VALUE, MONITOR_NAME);
    RegCloseKey(key);
    return *error == ERROR_SUCCESS;
}
