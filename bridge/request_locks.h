// In-process serialisation of device requests that share a printer data
// key and a handshake flag key. Requests for other printers or other flag
// keys never wait for each other.
#pragma once

#include <windows.h>

struct RequestLock;

// Takes the lock of the flag key `subkey` of the printer `printerName`
// (the local printer name), creating it on first use; waits while another
// request holds it. Null only when no memory is left, in which case the
// request goes on unserialised.
RequestLock* LockFlagKey(const wchar_t* printerName, const wchar_t* subkey);

// Releases a lock from LockFlagKey; null is ignored.
void UnlockFlagKey(RequestLock* lock);
