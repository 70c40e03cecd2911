// In-process serialisation of device requests by printer and flag key.
//
// The handshake of one request (clear the flag, send, read the flag and the
// values back) must not interleave with another request for the same key:
// a second client's clear between the language monitor's set and the first
// client's read-back would turn a correct answer into a failure. Locks are
// kept in a list while some request uses them and freed afterwards.
#include "request_locks.h"

#include "monitor_link.h"
#include "printer_store.h"
#include "devicerpc_contract.h"

struct RequestLock {
    RequestLock* next;
    LONG users;
    CRITICAL_SECTION section;
    wchar_t key[PRINTER_KEY_PATH_CHARS];
};

namespace {

CRITICAL_SECTION g_tableLock;
volatile LONG g_tableState = 0;  // 0 uninitialised, 1 initialising, 2 ready
RequestLock* g_locks = nullptr;

// Initialises the table lock once, without depending on a platform
// one-time-initialisation facility.
void EnsureTable() {
    if (InterlockedCompareExchange(&g_tableState, 0, 0) == 2) return;
    if (InterlockedCompareExchange(&g_tableState, 1, 0) == 0) {
        InitializeCriticalSection(&g_tableLock);
        InterlockedExchange(&g_tableState, 2);
        return;
    }
    while (InterlockedCompareExchange(&g_tableState, 0, 0) != 2) Sleep(0);
}

// The key that names the lock: the composed path in upper case (registry
// names match without regard to case) without a trailing backslash, which
// names the same key.
bool LockKey(const wchar_t* printerName, const wchar_t* subkey, wchar_t* key) {
    if (!ComposePrinterKeyPath(printerName, subkey, key)) return false;
    int length = lstrlenW(key);
    while (length > 0 && key[length - 1] == L'\\') key[--length] = 0;
    CharUpperBuffW(key, static_cast<DWORD>(length));
    return true;
}

}  // namespace

RequestLock* LockFlagKey(const wchar_t* printerName, const wchar_t* subkey) {
    wchar_t key[PRINTER_KEY_PATH_CHARS];
    if (!LockKey(printerName, subkey, key)) return nullptr;
    EnsureTable();
    EnterCriticalSection(&g_tableLock);
    RequestLock* lock = g_locks;
    while (lock && lstrcmpW(lock->key, key) != 0) lock = lock->next;
    if (!lock) {
        lock = static_cast<RequestLock*>(AllocZeroed(sizeof(RequestLock)));
        if (lock) {
            InitializeCriticalSection(&lock->section);
            lstrcpyW(lock->key, key);
            lock->next = g_locks;
            g_locks = lock;
        }
    }
    if (lock) ++lock->users;
    LeaveCriticalSection(&g_tableLock);
    if (lock) EnterCriticalSection(&lock->section);
    return lock;
}

void UnlockFlagKey(RequestLock* lock) {
    if (!lock) return;
    LeaveCriticalSection(&lock->section);
    EnterCriticalSection(&g_tableLock);
    if (--lock->users == 0) {
        RequestLock** link = &g_locks;
        while (*link != lock) link = &(*link)->next;
        *link = lock->next;
        DeleteCriticalSection(&lock->section);
        FreeBlock(lock);
    }
    LeaveCriticalSection(&g_tableLock);
}
