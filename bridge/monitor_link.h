// The hand-over to the language monitor: finding its window, the
// zero-filled payload blocks on the process heap, and the WM_COPYDATA send.
#pragma once

#include <windows.h>

// Reads MONITOR_WINDOW_VALUE (at most 8 bytes, little-endian,
// zero-extended) from the Monitors key, unchecked. Null when the key or
// value is missing or the value is longer than 8 bytes.
HWND ReadMonitorWindowHandle();

// The window of ReadMonitorWindowHandle when it is a live window; null
// when it is 0, a reserved value such as HWND_BROADCAST, or a window that
// has gone.
HWND GetMonitorWindow();

// A zero-filled block of `size` bytes from the process heap, or null.
void* AllocZeroed(DWORD size);

// Returns a block from AllocZeroed to the process heap; null is ignored.
void FreeBlock(void* block);

// Sends `block` to `window` as one WM_COPYDATA message with code `code` and
// returns when the language monitor has handled it. False only when the
// message was not handled: the window no longer exists or its owner ended
// while handling it. The caller then answers as if there were no window.
bool SendToMonitor(HWND window, ULONG_PTR code, void* block, DWORD length);

// Builds a CommandBlock for MONMSG_COMMAND (no argument) or MONMSG_COMMAND2.
// Null when the block cannot be allocated.
void* BuildCommandBlock(bool withArgument, long dwCommand, long dwParam,
                        const wchar_t* pszPrinterName, const wchar_t* pszArgument,
                        DWORD* length);

// Builds a RequestBlock with output size `outputSize` (the long behind
// pcbOutData on entry). Null when the sizes are outside 0 to 32768 or the
// block cannot be allocated.
void* BuildRequestBlock(long dwRequest, const unsigned char* pInData, long cbInData,
                        const unsigned char* pOutData, long outputSize,
                        const wchar_t* pszPrinterName, DWORD* length);
