// Filler printers in the spooler's registry layout, so that name
// resolution has more printers to walk.
#include <cwchar>
#include <string>
#include <vector>

#include "bench_direct.h"
#include "devicerpc_contract.h"
#include "tool_common.h"

namespace {

#define FILLER_PREFIX L"Bench Filler "

// Sets a REG_SZ value.
LONG SetText(HKEY key, const wchar_t* name, const wchar_t* text) {
    return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                          static_cast<DWORD>((lstrlenW(text) + 1) * sizeof(wchar_t)));
}

// Sets a REG_DWORD value.
LONG SetNumber(HKEY key, const wchar_t* name, DWORD value) {
    return RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), 4);
}

// Creates or opens a key below HKEY_LOCAL_MACHINE for writing.
LONG CreateMachineKey(const wchar_t* path, HKEY* key) {
    return RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_WRITE, nullptr, key,
                           nullptr);
}

// One shared filler printer, number `index`, of driver `driver`.
bool AddFiller(long index, const wchar_t* driver) {
    wchar_t name[64], share[64], path[300];
    wsprintfW(name, FILLER_PREFIX L"%04ld", index);
    wsprintfW(share, L"BFILL%04ld", index);
    wsprintfW(path, PRINTERS_KEY L"\\%ls", name);
    HKEY key = nullptr;
    if (CreateMachineKey(path, &key) != ERROR_SUCCESS) {
        PrintErr(L"BenchDirect: cannot create %ls\n", path);
        return false;
    }
    SetText(key, SPOOLER_NAME_VALUE, name);
    SetText(key, SPOOLER_SHARE_NAME_VALUE, share);
    SetNumber(key, SPOOLER_ATTRIBUTES_VALUE, PRINTER_ATTRIBUTE_SHARED);
    SetNumber(key, SPOOLER_STATUS_VALUE, 0);
    SetText(key, SPOOLER_DRIVER_VALUE, driver);
    RegCloseKey(key);
    return true;
}

}  // namespace

int SpoolerFill(const BenchOptions* options) {
    wchar_t path[300];
    if (lstrlenW(DRIVERS_KEY_PREFIX) + lstrlenW(options->driver) >= 300)
        return DirectUsage(L"--driver is too long");
    lstrcpyW(path, DRIVERS_KEY_PREFIX);
    lstrcatW(path, options->driver);
    HKEY key = nullptr;
    if (CreateMachineKey(path, &key) != ERROR_SUCCESS) {
        PrintErr(L"BenchDirect: cannot create the driver key\n");
        return EXIT_FAILED;
    }
    SetText(key, DRIVER_MONITOR_VALUE, MONITOR_NAME);
    RegCloseKey(key);
    for (DWORD i = 0; i < options->count; ++i)
        if (!AddFiller(static_cast<long>(i), options->driver)) return EXIT_FAILED;
    PrintOut(L"filled %lu\n", options->count);
    return EXIT_OK;
}

int SpoolerClear() {
    HKEY printers = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, PRINTERS_KEY, 0, KEY_READ | KEY_WRITE, &printers) !=
        ERROR_SUCCESS)
        return EXIT_OK;
    std::vector<std::wstring> names;
    for (DWORD index = 0;; ++index) {
        wchar_t name[260];
        DWORD chars = 260;
        if (RegEnumKeyExW(printers, index, name, &chars, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS)
            break;
        if (wcsncmp(name, FILLER_PREFIX, lstrlenW(FILLER_PREFIX)) == 0) names.push_back(name);
    }
    long removed = 0;
    for (const std::wstring& name : names)
        if (RegDeleteKeyW(printers, name.c_str()) == ERROR_SUCCESS) ++removed;
    RegCloseKey(printers);
    PrintOut(L"cleared %ld\n", removed);
    return EXIT_OK;
}

DWORD CountSpoolerPrinters() {
    DWORD printers = 0;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, PRINTERS_KEY, 0, KEY_READ, &key) == ERROR_SUCCESS) {
        RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &printers, nullptr, nullptr, nullptr,
                         nullptr, nullptr, nullptr, nullptr);
        RegCloseKey(key);
    }
    return printers;
}
