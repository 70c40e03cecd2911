// Registry helpers for tests that run under Wine in a private prefix.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// Sets a value below HKEY_LOCAL_MACHINE, creating the key.
void SetMachineValue(const std::wstring& key, const wchar_t* name, DWORD type,
                     const std::vector<BYTE>& data);

// The raw bytes of a value below HKEY_LOCAL_MACHINE; false when absent.
bool GetMachineValue(const std::wstring& key, const wchar_t* name, std::vector<BYTE>* data);

bool MachineKeyExists(const std::wstring& key);

// Deletes a key below HKEY_LOCAL_MACHINE with everything under it.
void DeleteMachineTree(const std::wstring& key);

std::vector<BYTE> Le32(DWORD value);
