// A message-only window on its own thread that records the WM_COPYDATA
// messages it receives and can play the language monitor's part of the
// command handshake: storing a failure flag before it returns.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

struct ReceivedMessage {
    ULONG_PTR code;
    std::vector<BYTE> block;
};

struct TestWindow {
    HWND window;
    HANDLE thread;
    HANDLE ready;
    // When set, the window stores this value as the failure flag named by
    // `flagName` in the Monitors key while handling each message.
    bool storeFlag;
    std::wstring flagName;
    std::vector<BYTE> flagData;
    std::vector<ReceivedMessage> received;
    // When set, the window procedure answers WM_COPYDATA with 0 (FALSE).
    bool answerZero;
    // Called on the window's thread for each message, after recording it.
    std::function<void(ULONG_PTR code, const std::vector<BYTE>& block)> handler;
};

// Creates the window and its thread; the handle is in `window->window`.
void StartTestWindow(TestWindow* window);

// Destroys the window and ends its thread.
void StopTestWindow(TestWindow* window);

// Stores `window` as "LP Window handle" in `size` bytes (4 or 8).
void PublishWindowHandle(HWND window, DWORD size);
