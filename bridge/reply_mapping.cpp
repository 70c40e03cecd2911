// The device request mutex and the reply mapping.
#include "reply_mapping.h"

#include "devicerpc_contract.h"
#include "object_names.h"
#include "world_security.h"

HANDLE CreateReplyMutex() {
    WorldSecurity security;
    wchar_t name[OBJECT_NAME_CHARS];
    MachineWideObjectName(REPLY_MUTEX_NAME, name);
    return CreateMutexW(WorldAttributes(&security, MUTEX_ALL_ACCESS), FALSE, name);
}

HANDLE CreateReplyMapping(BYTE** view) {
    *view = nullptr;
    WorldSecurity security;
    wchar_t name[OBJECT_NAME_CHARS];
    MachineWideObjectName(REPLY_MAPPING_NAME, name);
    HANDLE mapping = CreateFileMappingW(INVALID_HANDLE_VALUE,
                                        WorldAttributes(&security, SECTION_ALL_ACCESS),
                                        PAGE_READWRITE, 0, MAPPED_REPLY_SIZE, name);
    if (!mapping) return nullptr;
    *view = static_cast<BYTE*>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, MAPPED_REPLY_SIZE));
    if (*view) return mapping;
    // The view's error is the one to report, not that of the close.
    DWORD error = GetLastError();
    CloseHandle(mapping);
    SetLastError(error);
    return nullptr;
}

void CloseReplyMapping(HANDLE mapping, BYTE* view) {
    if (view) UnmapViewOfFile(view);
    if (mapping) CloseHandle(mapping);
}
