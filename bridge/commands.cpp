// RpcSendCommand and RpcSendCommand2: a command for one printer goes to the
// language monitor, whose verdict comes back in the printer failure flag.
#include "DeviceRpc.h"
#include "bridge_routines.h"
#include "monitor_link.h"
#include "payload_layout.h"
#include "registry_layout.h"

namespace {

// Sends one CommandBlock and reads the verdict; FALSE when the language
// monitor has no window, the name is too long, the block cannot be built,
// or the message was not handled (a stale window handle must not report an
// old verdict).
boolean SendCommandToMonitor(bool withArgument, long dwCommand, long dwParam,
                             const wchar_t* pszPrinterName, const wchar_t* pszArgument) {
    HWND window = GetMonitorWindow();
    // A name the monitor cannot hold would leave no failure flag, which
    // reads as success.
    if (!window || !PrinterNameFits(pszPrinterName)) return FALSE;
    DWORD length = 0;
    void* block = BuildCommandBlock(withArgument, dwCommand, dwParam, pszPrinterName,
                                    pszArgument, &length);
    if (!block) return FALSE;
    DWORD verdict = 0;
    if (SendToMonitor(window, withArgument ? MONMSG_COMMAND2 : MONMSG_COMMAND, block, length))
        verdict = ReadPrinterFailureFlag(pszPrinterName);
    FreeBlock(block);
    return verdict ? TRUE : FALSE;
}

}  // namespace

DWORD ReadPrinterFailureFlag(const wchar_t* printerName) {
    HKEY key = nullptr;
    // KEY_QUERY_VALUE, as for the window handle: a key that grants only
    // that must not hide a failure flag and so report a failed command done.
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, MONITORS_KEY, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return 1;
    DWORD flag = 0;
    DWORD size = sizeof(flag);
    LONG status = RegQueryValueExW(key, printerName, nullptr, nullptr,
                                   reinterpret_cast<BYTE*>(&flag), &size);
    RegCloseKey(key);
    return status == ERROR_SUCCESS && flag != 0 ? 0 : 1;
}

boolean RpcSendCommand(handle_t, long dwCommand, long dwParam, wchar_t* pszPrinterName,
                       wchar_t*) {
    // The argument is received but not part of MONMSG_COMMAND.
    return SendCommandToMonitor(false, dwCommand, dwParam, pszPrinterName, nullptr);
}

boolean RpcSendCommand2(handle_t, long dwCommand, long dwParam, wchar_t* pszPrinterName,
                        wchar_t* pszArgument) {
    return SendCommandToMonitor(true, dwCommand, dwParam, pszPrinterName, pszArgument);
}
