// The kernel objects of RpcDeviceRequestMapped: the device request mutex,
// which serialises the requests machine-wide, and the reply mapping that
// holds one MappedReplyBlock. Both are created (or opened, when someone
// created them first) under their machine-wide names, open to everyone.
#pragma once

#include <windows.h>

// The device request mutex, not taken; null on failure (GetLastError says
// why).
HANDLE CreateReplyMutex();

// The reply mapping with a view of the whole MappedReplyBlock in `*view`.
// A mapping that someone else created smaller cannot be viewed whole: it
// fails here, before anything could read past its end. Null on failure,
// with GetLastError saying why and nothing left open.
HANDLE CreateReplyMapping(BYTE** view);

// Closes the view and the mapping of CreateReplyMapping.
void CloseReplyMapping(HANDLE mapping, BYTE* view);
