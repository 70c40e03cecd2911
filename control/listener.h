// The listener thread: registers the protocol sequences, the endpoints and
// DeviceRpc, then listens until the control loop stops listening.
#pragma once

#include <windows.h>

// Thread routine for CreateThread; the parameter is ignored, the result 0.
DWORD WINAPI ListenerThread(LPVOID parameter);

// Creates a listener thread, marked as starting before it runs. Only the
// control loop calls it, and only when no listener thread is running.
// Returns the thread handle, or null when no thread could be created.
HANDLE StartListenerThread();

// True while the runtime is listening for this server: from the moment
// RpcServerListen has started listening until listening has ended.
// Written by the listener thread, read by the control loop.
bool IsListening();

// Asks a listener that is still starting (sleeping or registering) never
// to listen; it then ends on its own, without the control loop having to
// end it inside the runtime. True when the request was taken; false when
// the listener is not starting (listening already, or ended).
bool CancelListenerStart();

// Withdraws the endpoints from the endpoint map and tells the runtime to
// stop listening; listening ends once the calls in progress have ended.
void StopListening();
