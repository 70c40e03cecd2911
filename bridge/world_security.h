// Security attributes whose DACL grants one access mask to everyone, for
// the named objects that the server and the language monitor share (the
// device request mutex and the reply mapping).
#pragma once

#include <windows.h>

// Buffers of one security descriptor. They may be reused for several
// objects in turn: each WorldAttributes call fills them again.
struct WorldSecurity {
    SECURITY_DESCRIPTOR descriptor;
    BYTE acl[1024];
    BYTE sid[100];
    SECURITY_ATTRIBUTES attributes;
};

// Fills `security` for `mask` and returns its attributes; null when a step
// fails, and the object is then created with the default security.
SECURITY_ATTRIBUTES* WorldAttributes(WorldSecurity* security, DWORD mask);
