// Names of the kernel objects that the server and the language monitor
// share across sessions: the device request mutex and the reply mapping.
#pragma once

#include <windows.h>

// Writes GLOBAL_OBJECT_PREFIX + `baseName` into `dest` (`capacity` units) on
// Windows NT 5.0 and later, the bare name on older platforms; 1 when it
// wrote a name, 0 when the version query failed or the name would not fit.
int MakeGlobalObjectName(wchar_t* dest, const wchar_t* baseName, DWORD capacity);

// The name both sides open `baseName` by, into `name` (OBJECT_NAME_CHARS
// units, zero-filled first): the machine-wide name, or the bare base name
// when that cannot be made.
void MachineWideObjectName(const wchar_t* baseName, wchar_t* name);
