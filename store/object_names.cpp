// Machine-wide kernel object names.
#include "object_names.h"

#include "devicerpc_contract.h"

int MakeGlobalObjectName(wchar_t* dest, const wchar_t* baseName, DWORD capacity) {
    if (!dest || !baseName) return 0;
    OSVERSIONINFOW version = {};
    version.dwOSVersionInfoSize = sizeof(OSVERSIONINFOW);
    // Deprecated, but the reported version is what decides: the language
    // monitor asks the same question through this function.
#ifdef _MSC_VER
#pragma warning(suppress : 4996)
#endif
    if (!GetVersionExW(&version)) return 0;
    DWORD length = static_cast<DWORD>(lstrlenW(baseName));
    if (version.dwPlatformId == VER_PLATFORM_WIN32_NT && version.dwMajorVersion >= 5) {
        if (length + static_cast<DWORD>(lstrlenW(GLOBAL_OBJECT_PREFIX)) >= capacity) return 0;
        lstrcpyW(dest, GLOBAL_OBJECT_PREFIX);
        lstrcatW(dest, baseName);
        return 1;
    }
    if (length >= capacity) return 0;
    lstrcpyW(dest, baseName);
    return 1;
}

void MachineWideObjectName(const wchar_t* baseName, wchar_t* name) {
    ZeroMemory(name, OBJECT_NAME_CHARS * sizeof(wchar_t));
    if (!MakeGlobalObjectName(name, baseName, OBJECT_NAME_CHARS))
        lstrcpynW(name, baseName, static_cast<int>(OBJECT_NAME_CHARS));
}
