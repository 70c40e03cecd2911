// A recording message-only window for tests.
#include "test_window.h"

#include "expected_values.h"
#include "test_registry.h"

namespace {

LRESULT CALLBACK TestWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    TestWindow* self = reinterpret_cast<TestWindow*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (message == WM_COPYDATA && self) {
        const COPYDATASTRUCT* data = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
        const BYTE* bytes = static_cast<const BYTE*>(data->lpData);
        self->received.push_back({data->dwData, std::vector<BYTE>(bytes, bytes + data->cbData)});
        if (self->storeFlag)
            SetMachineValue(kMonitorsKey, self->flagName.c_str(), REG_BINARY, self->flagData);
        if (self->handler) self->handler(data->dwData, self->received.back().block);
        return self->answerZero ? 0 : TRUE;
    }
    if (message == WM_CLOSE) {
        DestroyWindow(hwnd);
        return 0;
    }
    if (message == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(hwnd, message, wParam, lParam);
}

DWORD WINAPI TestWindowThread(LPVOID parameter) {
    TestWindow* self = static_cast<TestWindow*>(parameter);
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = TestWindowProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"DeviceRpcTestWindow";
    RegisterClassW(&windowClass);
    self->window = CreateWindowExW(0, L"DeviceRpcTestWindow", L"", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                   nullptr, windowClass.hInstance, nullptr);
    SetWindowLongPtrW(self->window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    SetEvent(self->ready);
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
    return 0;
}

}  // namespace

void StartTestWindow(TestWindow* window) {
    window->ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    window->thread = CreateThread(nullptr, 0, TestWindowThread, window, 0, nullptr);
    WaitForSingleObject(window->ready, INFINITE);
}

void StopTestWindow(TestWindow* window) {
    SendMessageW(window->window, WM_CLOSE, 0, 0);
    WaitForSingleObject(window->thread, INFINITE);
    CloseHandle(window->thread);
    CloseHandle(window->ready);
}

void PublishWindowHandle(HWND window, DWORD size) {
    ULONG64 value = reinterpret_cast<ULONG_PTR>(window);
    std::vector<BYTE> bytes;
    for (DWORD i = 0; i < size; ++i) bytes.push_back(BYTE(value >> (8 * i)));
    SetMachineValue(kMonitorsKey, kWindowValue, REG_BINARY, bytes);
}
