// Access to the per-printer data tree: path composition, one value read,
// one value write, and the flag keys of acquire and write requests.
#pragma once

#include <windows.h>

// Builds STORE_ROOT + printer key name + subkey into `path` (520 chars),
// the printer key name being `printerName` with every backslash replaced
// by a comma. False, with `path` unspecified, when the result would not
// fit the buffer.
bool ComposePrinterKeyPath(const wchar_t* printerName, const wchar_t* subkey, wchar_t* path);

// Reads `valueName` of the printer's `subkey` into `dest`, at most
// `destSize` bytes. True when the value was read; a shorter value leaves
// the rest of `dest` as the caller preset it. `type` is passed to the
// query and not enforced.
bool ReadPrinterValue(HKEY root, const wchar_t* printerName, const wchar_t* subkey,
                      const wchar_t* valueName, DWORD type, void* dest, DWORD destSize);

// Sets `valueName` of the printer's `subkey`, creating missing keys.
bool WritePrinterValue(HKEY root, const wchar_t* printerName, const wchar_t* subkey,
                       const wchar_t* valueName, DWORD type, const void* data, DWORD dataSize);

// Copies the flag key of acquire request `request` (selector byte
// `selector`) into `subkey` (260 chars) and returns true; false, leaving
// `subkey` untouched, for every other request code.
bool FlagKeyForRequest(LONG request, DWORD selector, wchar_t* subkey);

// Copies the flag key of write request `request` (selector byte
// `selector`) into `subkey` (260 chars) and returns true; false, leaving
// `subkey` untouched, for every other request code.
bool FlagKeyForWriteRequest(LONG request, DWORD selector, wchar_t* subkey);
