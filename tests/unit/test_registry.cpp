// Registry helpers for tests.
#include "test_registry.h"

void SetMachineValue(const std::wstring& key, const wchar_t* name, DWORD type,
                     const std::vector<BYTE>& data) {
    HKEY handle = nullptr;
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &handle,
                    nullptr);
    RegSetValueExW(handle, name, 0, type, data.data(), DWORD(data.size()));
    RegCloseKey(handle);
}

bool GetMachineValue(const std::wstring& key, const wchar_t* name, std::vector<BYTE>* data) {
    HKEY handle = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_QUERY_VALUE, &handle) != ERROR_SUCCESS)
        return false;
    DWORD size = 0;
    LONG status = RegQueryValueExW(handle, name, nullptr, nullptr, nullptr, &size);
    if (status == ERROR_SUCCESS) {
        data->assign(size, 0);
        status = RegQueryValueExW(handle, name, nullptr, nullptr, data->data(), &size);
    }
    RegCloseKey(handle);
    return status == ERROR_SUCCESS;
}

bool MachineKeyExists(const std::wstring& key) {
    HKEY handle = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_QUERY_VALUE, &handle) != ERROR_SUCCESS)
        return false;
    RegCloseKey(handle);
    return true;
}

void DeleteMachineTree(const std::wstring& key) {
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, key.c_str());
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, key.c_str());
}

std::vector<BYTE> Le32(DWORD value) {
    return {BYTE(value), BYTE(value >> 8), BYTE(value >> 16), BYTE(value >> 24)};
}
