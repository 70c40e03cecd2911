// RpcDeviceRequestMapped: a device request answered through shared memory.
#include "DeviceRpc.h"
#include "monitor_link.h"

long RpcDeviceRequestMapped(handle_t, long dwRequest, unsigned char* pInData, long cbInData,
                            unsigned char* pOutData, long* pcbOutData, wchar_t* pszPrinterName,
                            wchar_t*) {
    HWND window = GetMonitorWindow();
    if (!window) {
        if (pcbOutData) *pcbOutData = 0;
        return ERROR_INVALID_HANDLE;
    }
    DWORD length = 0;
    void* block = BuildRequestBlock(dwRequest, pInData, cbInData, pOutData,
                                    pcbOutData ? *pcbOutData : 0, pszPrinterName, &length);
    if (!block) return ERROR_NOT_ENOUGH_MEMORY;
    // UNFINISHED: the device request mutex, the reply mapping and the echo.
    FreeBlock(block);
    return ERROR_CALL_NOT_IMPLEMENTED;
}
