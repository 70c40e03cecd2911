// RpcDeviceRequest: a device request answered through the registry.
#include "DeviceRpc.h"
#include "monitor_link.h"

boolean RpcDeviceRequest(handle_t, long dwRequest, unsigned char* pInData, long cbInData,
                         unsigned char* pOutData, long* pcbOutData, wchar_t* pszPrinterName,
                         wchar_t*) {
    HWND window = GetMonitorWindow();
    if (!window) {
        if (pcbOutData) *pcbOutData = 0;
        return FALSE;
    }
    DWORD length = 0;
    void* block = BuildRequestBlock(dwRequest, pInData, cbInData, pOutData,
                                    pcbOutData ? *pcbOutData : 0, pszPrinterName, &length);
    if (!block) return FALSE;
    // UNFINISHED: name resolution, the handshake and the reply records.
    FreeBlock(block);
    return FALSE;
}
