// MonitorSim's registry writes.
#include "sim_registry.h"

#include "payload_layout.h"
#include "printer_store.h"
#include "devicerpc_contract.h"

namespace {

const wchar_t* const kCounterValues[COUNTER_COUNT] = {
    L"dwMonoCounter", L"dwColorCounter", L"dwBlackCounter", L"dwCyanCounter",
    L"dwMagentaCounter", L"dwYellowCounter", L"dwIOCounter",
};

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

// Stores the values of one request; false as soon as one store fails.
bool StoreRequestValues(const VirtualPrinter* printer, LONG request, DWORD selector,
                        const wchar_t* localName, const StoreFaults* faults) {
    switch (request) {
    case DEVREQ_CONFIG:
        return StoreNumber(localName, SUBKEY_CONFIG, L"dwDuplex", REG_DWORD, printer->dwDuplex, faults) &&
               StoreNumber(localName, SUBKEY_CONFIG, L"dwNumCassette", REG_DWORD, printer->dwNumCassette, faults) &&
               StoreNumber(localName, SUBKEY_CONFIG, L"dwFirmVersion", REG_DWORD, printer->dwFirmVersion, faults);
    case DEVREQ_BIN_INFO:
        for (int i = 0; i < PAPER_BIN_COUNT; ++i) {
            wchar_t subkey[NAME_BUFFER_CHARS];
            wsprintfW(subkey, SUBKEY_BIN_FORMAT, i);
            const BinRecord* bin = &printer->bins[i];
            if (!StoreNumber(localName, subkey, L"dwPaperSource", REG_DWORD, bin->dwPaperSource, faults) ||
                !StoreNumber(localName, subkey, L"dwPaperSize", REG_DWORD, bin->dwPaperSize, faults) ||
                !StoreNumber(localName, subkey, L"dwPaperWidth", REG_DWORD, bin->dwPaperWidth, faults) ||
                !StoreNumber(localName, subkey, L"dwPaperHeight", REG_DWORD, bin->dwPaperHeight, faults) ||
                !StoreNumber(localName, subkey, L"dwPaperLevel", REG_DWORD, bin->dwPaperLevel, faults))
                return false;
        }
        return true;
    case DEVREQ_CALIBRATION:
        return StoreValue(localName, SUBKEY_CALIBRATION, L"CalibrationData", REG_BINARY,
                          printer->calibration, CALIBRATION_BYTES, faults);
    case DEVREQ_COUNTER:
        // All seven are stored, whichever the selector picks.
        for (uint32_t i = 0; i < COUNTER_COUNT; ++i)
            if (!StoreNumber(localName, SUBKEY_COUNTER, kCounterValues[i], REG_BINARY,
                             printer->counters[i], faults))
                return false;
        return true;
    case DEVREQ_FLASH_DATA: {
        if (selector == SELECTOR_SERVICE_SETTINGS)
            return StoreValue(localName, SUBKEY_SERVICE_SETTINGS, L"Setting Value", REG_BINARY,
                              printer->serviceSettings, SERVICE_SETTINGS_BYTES, faults);
        const FlashItem* item = FindFlashItem(printer, selector);
        if (!item) return false;
        DWORD size = faults->hasFlashSize ? faults->flashSize : item->dwSize;
        return StoreNumber(localName, SUBKEY_FLASH_DATA, L"dwID", REG_BINARY, item->dwID, faults) &&
               StoreNumber(localName, SUBKEY_FLASH_DATA, L"dwSize", REG_BINARY, size, faults) &&
               StoreValue(localName, SUBKEY_FLASH_DATA, L"ReturnValue", REG_BINARY, item->data,
                          item->dwSize, faults);
    }
    default:
        return false;
    }
}

}  // namespace

bool StoreWindowHandle(HWND window, DWORD handleBytes, LONG* error) {
    HKEY key = nullptr;
    *error = CreateMachineKey(MONITORS_KEY, KEY_SET_VALUE, &key);
    if (*error != ERROR_SUCCESS) return false;
    ULONG64 handle = static_cast<ULONG64>(reinterpret_cast<ULONG_PTR>(window));
    BYTE bytes[12] = {};
    for (int i = 0; i < 8; ++i) bytes[i] = static_cast<BYTE>(handle >> (8 * i));
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
    BYTE bytes[12] = {};
    DWORD size = sizeof(bytes);
    if (RegQueryValueExW(key, MONITOR_WINDOW_VALUE, nullptr, nullptr, bytes, &size) == ERROR_SUCCESS) {
        ULONG64 stored = 0;
        for (int i = 7; i >= 0; --i) stored = (stored << 8) | bytes[i];
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
    const wchar_t* flagKey = SUBKEY_BIN_INFO;
    if (request == DEVREQ_FLASH_DATA_WRITE)
        flagKey = selector == SELECTOR_SERVICE_SETTINGS ? SUBKEY_SERVICE_SETTINGS : SUBKEY_FLASH_DATA;
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
    *error = SetString(key, L"Name", printer->name);
    if (*error == ERROR_SUCCESS) *error = SetString(key, L"Share Name", printer->share);
    if (*error == ERROR_SUCCESS) *error = SetString(key, L"Printer Driver", printer->driver);
    if (*error == ERROR_SUCCESS) *error = SetDword(key, L"Attributes", attributes);
    if (*error == ERROR_SUCCESS) *error = SetDword(key, L"Status", 0);
    RegCloseKey(key);
    if (*error != ERROR_SUCCESS) return false;

    wchar_t driverPath[NAME_BUFFER_CHARS] = {};
    lstrcpyW(driverPath, DRIVERS_KEY_PREFIX);
    lstrcatW(driverPath, printer->driver);
    *error = CreateMachineKey(driverPath, KEY_SET_VALUE, &key);
    if (*error != ERROR_SUCCESS) return false;
    *error = SetString(key, L"Monitor", MONITOR_NAME);
    RegCloseKey(key);
    return *error == ERROR_SUCCESS;
}
