// The hand-over to the language monitor.
#include "monitor_link.h"

#include "payload_layout.h"
#include "devicerpc_contract.h"

namespace {

const uint16_t* AsUnits(const wchar_t* text) {
    return reinterpret_cast<const uint16_t*>(text);
}

}  // namespace

HWND ReadMonitorWindowHandle() {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, MONITORS_KEY, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return nullptr;
    unsigned char field[MONITOR_WINDOW_VALUE_SIZE] = {};
    DWORD size = sizeof(field);
    LONG status = RegQueryValueExW(key, MONITOR_WINDOW_VALUE, nullptr, nullptr, field, &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS) return nullptr;
    return reinterpret_cast<HWND>(static_cast<ULONG_PTR>(GetLittleEndian64(field)));
}

HWND GetMonitorWindow() {
    HWND window = ReadMonitorWindowHandle();
    // Reserved values such as HWND_BROADCAST and HWND_TOPMOST would make
    // SendMessageW hand the block to every top-level window and report it
    // delivered; only a live window can be the monitor's.
    return IsWindow(window) ? window : nullptr;
}

void* AllocZeroed(DWORD size) {
    return HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, size);
}

void FreeBlock(void* block) {
    if (block) HeapFree(GetProcessHeap(), 0, block);
}

bool SendToMonitor(HWND window, ULONG_PTR code, void* block, DWORD length) {
    COPYDATASTRUCT envelope;
    envelope.dwData = code;
    envelope.cbData = length;
    envelope.lpData = block;
    // SendMessageW reports an undelivered message only through the last
    // error; a window procedure in another process that returns 0 leaves it
    // untouched. A window that has gone gives 1400, a monitor that dies
    // while handling the message gives another code (5 under Wine), so any
    // error counts as not delivered.
    SetLastError(ERROR_SUCCESS);
    LRESULT result = SendMessageW(window, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&envelope));
    return result != 0 || GetLastError() == ERROR_SUCCESS;
}

void* BuildCommandBlock(bool withArgument, long dwCommand, long dwParam,
                        const wchar_t* pszPrinterName, const wchar_t* pszArgument,
                        DWORD* length) {
    uint32_t nameLength = static_cast<uint32_t>(lstrlenW(pszPrinterName));
    uint32_t argumentLength = withArgument ? static_cast<uint32_t>(lstrlenW(pszArgument)) : 0;
    uint32_t total = 0;
    if (!CommandBlockLength(withArgument, nameLength, argumentLength, &total)) return nullptr;
    void* block = AllocZeroed(total);
    if (!block) return nullptr;
    FillCommandBlock(static_cast<uint8_t*>(block), withArgument, dwCommand, dwParam,
                     AsUnits(pszPrinterName), nameLength, AsUnits(pszArgument), argumentLength);
    *length = total;
    return block;
}

void* BuildRequestBlock(long dwRequest, const unsigned char* pInData, long cbInData,
                        const unsigned char* pOutData, long outputSize,
                        const wchar_t* pszPrinterName, DWORD* length) {
    // Sizes beyond the arrays would make the copy below read past pInData.
    if (cbInData < 0 || outputSize < 0) return nullptr;
    uint32_t nameLength = static_cast<uint32_t>(lstrlenW(pszPrinterName));
    uint32_t total = 0;
    if (!RequestBlockLength(nameLength, static_cast<uint32_t>(cbInData),
                            static_cast<uint32_t>(outputSize), &total))
        return nullptr;
    void* block = AllocZeroed(total);
    if (!block) return nullptr;
    FillRequestBlock(static_cast<uint8_t*>(block), dwRequest, pInData,
                     static_cast<uint32_t>(cbInData), pOutData != nullptr,
                     static_cast<uint32_t>(outputSize), AsUnits(pszPrinterName), nameLength);
    *length = total;
    return block;
}
