// RpcSendCommand and RpcSendCommand2: a command for one printer goes to the
// language monitor, whose verdict comes back in the printer failure flag.
#include "DeviceRpc.h"
#include "bridge_routines.h"
#include "monitor_link.h"
#include "devicerpc_contract.h"

namespace {

// Sends one CommandBlock and reads the verdict; FALSE when the language
// monitor has no window, the block cannot be built, or the message was not
// handled (a stale window handle must not report an old verdict). No fixed
// buffer is involved, so a printer name of any length goes to the monitor
// whole.
boolean SendCommandToMonitor(bool withArgument, long dwCommand, long dwParam,
                             const wchar_t* pszPrinterName, const wchar_t* pszArgument) {
    HWND window = GetMonitorWindow();
    if (!window) return FALSE;
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
    // No registry value can have a longer name, so there is no flag to
    // read. Such a name is not handed to the registry at all: past 32,767
    // characters the platform's counted strings would cut it short.
    if (DWORD(lstrlenW(printerName)) > MAX_VALUE_NAME_CHARS) return 1;
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
