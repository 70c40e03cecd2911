// Access to the per-printer data tree below STORE_ROOT.
#include "printer_store.h"

#include "devicerpc_contract.h"

bool ComposePrinterKeyPath(const wchar_t* printerName, const wchar_t* subkey, wchar_t* path) {
    // The whole path must fit, so the escaped copy is bounded first.
    size_t rootLength = static_cast<size_t>(lstrlenW(STORE_ROOT));
    size_t nameLength = static_cast<size_t>(lstrlenW(printerName));
    size_t subkeyLength = static_cast<size_t>(lstrlenW(subkey));
    if (rootLength + nameLength + subkeyLength >= PRINTER_KEY_PATH_CHARS) return false;

    wchar_t escaped[PRINTER_KEY_PATH_CHARS] = {};
    lstrcpyW(escaped, printerName);
    for (wchar_t* p = escaped; *p; p = CharNextW(p))
        if (*p == L'\\') *p = L',';

    ZeroMemory(path, PRINTER_KEY_PATH_CHARS * sizeof(wchar_t));
    lstrcpyW(path, STORE_ROOT);
    lstrcatW(path, escaped);
    lstrcatW(path, subkey);
    return true;
}

bool ReadPrinterValue(HKEY root, const wchar_t* printerName, const wchar_t* subkey,
                      const wchar_t* valueName, DWORD type, void* dest, DWORD destSize) {
    if (!printerName || !subkey || !valueName) return false;
    wchar_t path[PRINTER_KEY_PATH_CHARS];
    if (!ComposePrinterKeyPath(printerName, subkey, path)) return false;

    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return false;
    DWORD storedType = type;
    DWORD size = destSize;
    LONG status = RegQueryValueExW(key, valueName, nullptr, &storedType,
                                   static_cast<BYTE*>(dest), &size);
    RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

bool WritePrinterValue(HKEY root, const wchar_t* printerName, const wchar_t* subkey,
                       const wchar_t* valueName, DWORD type, const void* data, DWORD dataSize) {
    if (!printerName || !subkey || !valueName) return false;
    wchar_t path[PRINTER_KEY_PATH_CHARS];
    if (!ComposePrinterKeyPath(printerName, subkey, path)) return false;

    SECURITY_ATTRIBUTES attributes = {sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};
    wchar_t noClass[] = L"";
    HKEY key = nullptr;
    DWORD disposition = 0;
    if (RegCreateKeyExW(root, path, 0, noClass, REG_OPTION_NON_VOLATILE, KEY_WRITE, &attributes,
                        &key, &disposition) != ERROR_SUCCESS)
        return false;
    LONG status = RegSetValueExW(key, valueName, 0, type, static_cast<const BYTE*>(data), dataSize);
    RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

bool FlagKeyForRequest(LONG request, DWORD selector, wchar_t* subkey) {
    const wchar_t* flagKey = nullptr;
    switch (request) {
    case DEVREQ_CONFIG: flagKey = SUBKEY_CONFIG; break;
    case DEVREQ_BIN_INFO: flagKey = SUBKEY_BIN_INFO; break;
    case DEVREQ_CALIBRATION: flagKey = SUBKEY_CALIBRATION; break;
    case DEVREQ_COUNTER: flagKey = SUBKEY_COUNTER; break;
    case DEVREQ_FLASH_DATA:
        flagKey = selector == SELECTOR_SERVICE_SETTINGS ? SUBKEY_SERVICE_SETTINGS : SUBKEY_FLASH_DATA;
        break;
    default: return false;
    }
    lstrcpyW(subkey, flagKey);
    return true;
}

bool FlagKeyForWriteRequest(LONG request, DWORD selector, wchar_t* subkey) {
    const wchar_t* flagKey = nullptr;
    switch (request) {
    case DEVREQ_BIN_INFO_WRITE: flagKey = SUBKEY_BIN_INFO; break;
    case DEVREQ_FLASH_DATA_WRITE:
        flagKey = selector == SELECTOR_SERVICE_SETTINGS ? SUBKEY_SERVICE_SETTINGS : SUBKEY_FLASH_DATA;
        break;
    default: return false;
    }
    lstrcpyW(subkey, flagKey);
    return true;
}
