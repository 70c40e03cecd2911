// The listener thread: registers the protocol sequences, the endpoints and
// DeviceRpc, then listens until the control loop stops listening.
#pragma once

#include <windows.h>

// Thread routine for CreateThread; the parameter is ignored, the result 0.
DWORD WINAPI ListenerThread(LPVOID parameter);

// True while the listener is inside RpcServerListen. Written by the
// listener thread, read by the control loop.
bool IsListening();
