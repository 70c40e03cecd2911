// Serialisation of device requests by printer data key and flag key: the
// same key (in any case, with or without a trailing backslash) waits, any
// other printer or flag key goes on at once.
#include <gtest/gtest.h>

#include <windows.h>

#include "request_locks.h"

namespace {

struct Taker {
    const wchar_t* printer;
    const wchar_t* subkey;
    HANDLE taken;     // set once the lock is held
    HANDLE release;   // the taker lets go when this is set
};

DWORD WINAPI TakeAndHold(void* parameter) {
    Taker* taker = static_cast<Taker*>(parameter);
    RequestLock* lock = LockFlagKey(taker->printer, taker->subkey);
    SetEvent(taker->taken);
    WaitForSingleObject(taker->release, INFINITE);
    UnlockFlagKey(lock);
    return lock ? 0 : 1;
}

struct HeldLock {
    Taker taker;
    HANDLE thread;
};

void Start(HeldLock* held, const wchar_t* printer, const wchar_t* subkey) {
    held->taker = {printer, subkey, CreateEventW(nullptr, TRUE, FALSE, nullptr),
                   CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    held->thread = CreateThread(nullptr, 0, TakeAndHold, &held->taker, 0, nullptr);
}

bool Taken(const HeldLock& held, DWORD waitMs) {
    return WaitForSingleObject(held.taker.taken, waitMs) == WAIT_OBJECT_0;
}

DWORD Finish(HeldLock* held) {
    SetEvent(held->taker.release);
    WaitForSingleObject(held->thread, INFINITE);
    DWORD code = 1;
    GetExitCodeThread(held->thread, &code);
    CloseHandle(held->thread);
    CloseHandle(held->taker.taken);
    CloseHandle(held->taker.release);
    return code;
}

}  // namespace

TEST(RequestLocks, OnlyTheSameKeyWaits) {
    HeldLock first;
    Start(&first, L"Office Color 7", L"Driver\\Config");
    ASSERT_TRUE(Taken(first, 10000));

    // Another printer and another flag key of the same printer go on while
    // the first is held.
    HeldLock otherPrinter, otherKey;
    Start(&otherPrinter, L"Lab Color", L"Driver\\Config");
    Start(&otherKey, L"Office Color 7", L"Counter");
    EXPECT_TRUE(Taken(otherPrinter, 10000));
    EXPECT_TRUE(Taken(otherKey, 10000));

    // The same key named in another case and with a trailing backslash waits
    // until the first lets go, then gets it.
    HeldLock same;
    Start(&same, L"OFFICE COLOR 7", L"Driver\\Config\\");
    EXPECT_FALSE(Taken(same, 300));
    EXPECT_EQ(Finish(&first), 0u);
    EXPECT_TRUE(Taken(same, 10000));

    EXPECT_EQ(Finish(&same), 0u);
    EXPECT_EQ(Finish(&otherPrinter), 0u);
    EXPECT_EQ(Finish(&otherKey), 0u);
}
