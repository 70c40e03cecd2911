// Observing a deployment: registry, window and kernel objects, read only.
#include "doctor_state.h"

#include "printer_names.h"
#include "printer_store.h"
#include "devicerpc_contract.h"

namespace {

// Reads a string value of at most DOCTOR_NAME_CHARS - 1 characters into
// `text` (DOCTOR_NAME_CHARS, zero-filled first). False when missing;
// `*tooLong` is set when the value is there but does not fit, which the
// server's resolution treats as unreadable.
bool ReadText(HKEY key, const wchar_t* name, wchar_t* text, bool* tooLong) {
    ZeroMemory(text, DOCTOR_NAME_CHARS * sizeof(wchar_t));
    *tooLong = false;
    DWORD size = DOCTOR_NAME_CHARS * sizeof(wchar_t);
    LONG status = RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(text), &size);
    if (status == ERROR_MORE_DATA || (status == ERROR_SUCCESS && text[DOCTOR_NAME_CHARS - 1])) {
        ZeroMemory(text, DOCTOR_NAME_CHARS * sizeof(wchar_t));
        *tooLong = true;
        return false;
    }
    return status == ERROR_SUCCESS;
}

// Reads a 4-byte value; false when missing or longer.
bool ReadNumber(HKEY key, const wchar_t* name, DWORD* number) {
    *number = 0;
    DWORD size = sizeof(*number);
    return RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(number), &size) ==
           ERROR_SUCCESS;
}

// The "Monitor" its driver names, as the server looks it up.
void ObserveDriver(PrinterObservation* p) {
    wchar_t path[NAME_BUFFER_CHARS] = {};
    if (lstrlenW(DRIVERS_KEY_PREFIX) + lstrlenW(p->driver) >= int(NAME_BUFFER_CHARS)) return;
    lstrcpyW(path, DRIVERS_KEY_PREFIX);
    lstrcatW(path, p->driver);
    HKEY driverKey = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_QUERY_VALUE, &driverKey) != ERROR_SUCCESS)
        return;
    p->driverKeyFound = true;
    bool tooLong = false;
    p->hasMonitor = ReadText(driverKey, DRIVER_MONITOR_VALUE, p->monitor, &tooLong);
    RegCloseKey(driverKey);
}

// The printer data key of `p` and every device value below it.
void ObserveDataKey(PrinterObservation* p) {
    PrinterKeyNameFor(p->name, p->keyName);
    wchar_t path[PRINTER_KEY_PATH_CHARS] = {};
    if (!ComposePrinterKeyPath(p->name, L"", path)) return;
    HKEY dataKey = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_QUERY_VALUE, &dataKey) != ERROR_SUCCESS)
        return;
    RegCloseKey(dataKey);
    p->dataKeyPresent = true;
    for (int v = 0; v < DATA_VALUE_COUNT; ++v) {
        const DataValueRule& rule = DataValueRuleFor(v);
        if (!ComposePrinterKeyPath(p->name, rule.subkey, path)) continue;
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
            continue;
        ObserveValue(key, rule.name, &p->values[v]);
        RegCloseKey(key);
    }
}

// Everything about the printer under `printerKey`.
void ObservePrinter(HKEY printerKey, PrinterObservation* p) {
    bool tooLong = false;
    p->hasStatus = ReadNumber(printerKey, SPOOLER_STATUS_VALUE, &p->status);
    p->hasAttributes = ReadNumber(printerKey, SPOOLER_ATTRIBUTES_VALUE, &p->attributes);
    p->hasName = ReadText(printerKey, SPOOLER_NAME_VALUE, p->name, &p->nameTooLong) || p->nameTooLong;
    p->hasShareName = ReadText(printerKey, SPOOLER_SHARE_NAME_VALUE, p->shareName, &tooLong);
    p->hasDriver = ReadText(printerKey, SPOOLER_DRIVER_VALUE, p->driver, &tooLong);
    if (p->hasDriver) ObserveDriver(p);
    if (!p->hasName || p->nameTooLong) return;
    ResolveLocalPrinterName(p->name, p->resolvedByName);
    if (p->hasShareName && p->shareName[0]) ResolveLocalPrinterName(p->shareName, p->resolvedByShare);
    if (PrinterServed(*p)) ObserveDataKey(p);
}

// True when an open of a named object found it; closes the handle.
bool KernelObjectExists(HANDLE handle) {
    if (handle) {
        CloseHandle(handle);
        return true;
    }
    // Another account's object that we may not open still exists.
    return GetLastError() == ERROR_ACCESS_DENIED;
}

}  // namespace

void ObserveValue(HKEY key, const wchar_t* name, ObservedValue* value) {
    ZeroMemory(value, sizeof(*value));
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return;
    value->present = true;
    value->type = type;
    value->size = size;
    if (size > sizeof(value->head)) return;
    DWORD read = sizeof(value->head);
    if (RegQueryValueExW(key, name, nullptr, nullptr, value->head, &read) != ERROR_SUCCESS)
        ZeroMemory(value->head, sizeof(value->head));
}

void ObserveMonitorWindow(DeploymentState* state) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, MONITORS_KEY, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return;
    state->monitorsKeyPresent = true;
    ObserveValue(key, MONITOR_WINDOW_VALUE, &state->windowHandle);
    RegCloseKey(key);
    const ObservedValue& value = state->windowHandle;
    if (!value.present || value.size > MONITOR_WINDOW_VALUE_SIZE) return;
    ULONGLONG handle = GetLittleEndian64(value.head);  // zero-extended: head is zero-filled
    HWND window = reinterpret_cast<HWND>(static_cast<ULONG_PTR>(handle));
    if (window && IsWindow(window)) {
        state->windowAlive = true;
        GetWindowThreadProcessId(window, &state->windowProcessId);
    }
}

void ObservePrinters(DeploymentState* state) {
    if (state->onlyPrinter)
        ResolveLocalPrinterName(state->onlyPrinter, state->onlyPrinterResolved);
    HKEY printers = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, PRINTERS_KEY, 0, KEY_READ, &printers) != ERROR_SUCCESS)
        return;
    state->printersKeyPresent = true;
    DWORD count = 0;
    RegQueryInfoKeyW(printers, nullptr, nullptr, nullptr, &count, nullptr, nullptr, nullptr,
                     nullptr, nullptr, nullptr, nullptr);
    for (DWORD index = 0; index < count; ++index) {
        wchar_t subkey[PRINTER_KEY_PATH_CHARS] = {};
        DWORD subkeyChars = PRINTER_KEY_PATH_CHARS;
        if (RegEnumKeyExW(printers, index, subkey, &subkeyChars, nullptr, nullptr, nullptr,
                          nullptr) != ERROR_SUCCESS)
            continue;
        HKEY printerKey = nullptr;
        if (RegOpenKeyExW(printers, subkey, 0, KEY_READ, &printerKey) != ERROR_SUCCESS) continue;
        if (state->printerCount == DOCTOR_MAX_PRINTERS) {
            state->printersTruncated = true;
            RegCloseKey(printerKey);
            break;
        }
        PrinterObservation* p = &state->printers[state->printerCount];
        ZeroMemory(p, sizeof(*p));
        lstrcpynW(p->subkey, subkey, DOCTOR_NAME_CHARS);
        ObservePrinter(printerKey, p);
        RegCloseKey(printerKey);
        // With one printer asked for, the others are not kept, so that a
        // long printer list cannot crowd it out.
        bool wanted = !state->onlyPrinter ||
                      (p->hasName && lstrcmpW(p->name, state->onlyPrinterResolved) == 0);
        if (wanted) ++state->printerCount;
    }
    RegCloseKey(printers);
}

void ObserveServerObjects(DeploymentState* state) {
    state->serverObjectsChecked = true;
    state->instanceMutexPresent =
        KernelObjectExists(OpenMutexW(SYNCHRONIZE, FALSE, SERVER_INSTANCE_MUTEX));
    for (int e = 0; e < 3; ++e)
        state->controlEventsPresent[e] =
            KernelObjectExists(OpenEventW(SYNCHRONIZE, FALSE, CONTROL_EVENT_NAMES[e]));
}
