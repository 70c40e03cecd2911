// Registry call counting through this module's import address table.
#include "registry_counter.h"

#include <windows.h>

#include <type_traits>

namespace {

RegistryCounts g_counts;

// The real functions, as the import table held them before counting.
decltype(&RegOpenKeyExW) g_openKey;
decltype(&RegCreateKeyExW) g_createKey;
decltype(&RegQueryValueExW) g_queryValue;
decltype(&RegSetValueExW) g_setValue;
decltype(&RegCloseKey) g_closeKey;
decltype(&RegEnumKeyExW) g_enumKey;
decltype(&RegQueryInfoKeyW) g_queryInfo;

// The counters: each counts its call and hands it to the real function.
LONG WINAPI CountedOpenKey(HKEY key, LPCWSTR subkey, DWORD options, REGSAM access, PHKEY result) {
    ++g_counts.opens;
    return g_openKey(key, subkey, options, access, result);
}

LONG WINAPI CountedCreateKey(HKEY key, LPCWSTR subkey, DWORD reserved, LPWSTR keyClass,
                             DWORD options, REGSAM access,
                             const LPSECURITY_ATTRIBUTES attributes, PHKEY result,
                             LPDWORD disposition) {
    ++g_counts.opens;
    return g_createKey(key, subkey, reserved, keyClass, options, access, attributes, result,
                       disposition);
}

LONG WINAPI CountedQueryValue(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type,
                              LPBYTE data, LPDWORD size) {
    ++g_counts.queries;
    return g_queryValue(key, name, reserved, type, data, size);
}

LONG WINAPI CountedSetValue(HKEY key, LPCWSTR name, DWORD reserved, DWORD type,
                            const BYTE* data, DWORD size) {
    ++g_counts.sets;
    return g_setValue(key, name, reserved, type, data, size);
}

LONG WINAPI CountedCloseKey(HKEY key) {
    ++g_counts.closes;
    return g_closeKey(key);
}

LONG WINAPI CountedEnumKey(HKEY key, DWORD index, LPWSTR name, LPDWORD nameChars,
                           LPDWORD reserved, LPWSTR keyClass, LPDWORD classChars,
                           PFILETIME written) {
    ++g_counts.enums;
    return g_enumKey(key, index, name, nameChars, reserved, keyClass, classChars, written);
}

LONG WINAPI CountedQueryInfo(HKEY key, LPWSTR keyClass, LPDWORD classChars, LPDWORD reserved,
                             LPDWORD subkeys, LPDWORD maxSubkey, LPDWORD maxClass,
                             LPDWORD values, LPDWORD maxValueName, LPDWORD maxValue,
                             LPDWORD security, PFILETIME written) {
    ++g_counts.infos;
    return g_queryInfo(key, keyClass, classChars, reserved, subkeys, maxSubkey, maxClass, values,
                       maxValueName, maxValue, security, written);
}

static_assert(std::is_same<decltype(&CountedOpenKey), decltype(&RegOpenKeyExW)>::value, "");
static_assert(std::is_same<decltype(&CountedCreateKey), decltype(&RegCreateKeyExW)>::value, "");
static_assert(std::is_same<decltype(&CountedQueryValue), decltype(&RegQueryValueExW)>::value, "");
static_assert(std::is_same<decltype(&CountedSetValue), decltype(&RegSetValueExW)>::value, "");
static_assert(std::is_same<decltype(&CountedCloseKey), decltype(&RegCloseKey)>::value, "");
static_assert(std::is_same<decltype(&CountedEnumKey), decltype(&RegEnumKeyExW)>::value, "");
static_assert(std::is_same<decltype(&CountedQueryInfo), decltype(&RegQueryInfoKeyW)>::value, "");

// One rerouted import: its name, where the real function is kept, and the
// counter that stands in for it.
struct Hook {
    const char* name;
    void** real;
    void* counted;
};

// A hook whose function types agree.
template <typename Function>
Hook MakeHook(const char* name, Function* real, Function counted) {
    return Hook{name, reinterpret_cast<void**>(real), reinterpret_cast<void*>(counted)};
}

// Every hooked function, and their number in `*count`.
const Hook* Hooks(size_t* count) {
    static const Hook kHooks[] = {
        MakeHook("RegOpenKeyExW", &g_openKey, &CountedOpenKey),
        MakeHook("RegCreateKeyExW", &g_createKey, &CountedCreateKey),
        MakeHook("RegQueryValueExW", &g_queryValue, &CountedQueryValue),
        MakeHook("RegSetValueExW", &g_setValue, &CountedSetValue),
        MakeHook("RegCloseKey", &g_closeKey, &CountedCloseKey),
        MakeHook("RegEnumKeyExW", &g_enumKey, &CountedEnumKey),
        MakeHook("RegQueryInfoKeyW", &g_queryInfo, &CountedQueryInfo),
    };
    *count = sizeof(kHooks) / sizeof(kHooks[0]);
    return kHooks;
}

// Writes one import address table slot.
void SetSlot(ULONG_PTR* slot, ULONG_PTR value) {
    DWORD old = 0;
    if (!VirtualProtect(slot, sizeof(*slot), PAGE_READWRITE, &old)) return;
    *slot = value;
    VirtualProtect(slot, sizeof(*slot), old, &old);
}

// Sets the import slots of one DLL's descriptor that hold hooked
// functions: the counters when `install`, else the real functions again.
// Returns how many slots were set.
int RerouteDescriptor(BYTE* base, const IMAGE_IMPORT_DESCRIPTOR& descriptor, bool install) {
    size_t hookCount = 0;
    const Hook* hooks = Hooks(&hookCount);
    auto* names = reinterpret_cast<const IMAGE_THUNK_DATA*>(base + descriptor.OriginalFirstThunk);
    auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + descriptor.FirstThunk);
    int set = 0;
    for (; names->u1.AddressOfData; ++names, ++slots) {
        if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
        auto* byName = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
        const char* name = reinterpret_cast<const char*>(byName->Name);
        for (size_t i = 0; i < hookCount; ++i) {
            if (lstrcmpA(name, hooks[i].name) != 0) continue;
            ULONG_PTR* slot = reinterpret_cast<ULONG_PTR*>(&slots->u1.Function);
            if (install) *hooks[i].real = reinterpret_cast<void*>(*slot);
            void* target = install ? hooks[i].counted : *hooks[i].real;
            SetSlot(slot, reinterpret_cast<ULONG_PTR>(target));
            ++set;
        }
    }
    return set;
}

// Walks this module's imports by name; `install` puts the counters into
// the slots of the hooked functions, otherwise the real ones go back.
// Returns how many slots were set.
int RerouteImports(bool install) {
    BYTE* base = reinterpret_cast<BYTE*>(GetModuleHandleW(nullptr));
    const IMAGE_NT_HEADERS* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(
        base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY& directory =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (!directory.VirtualAddress) return 0;
    int set = 0;
    auto* descriptor =
        reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + directory.VirtualAddress);
    for (; descriptor->Name; ++descriptor)
        if (descriptor->OriginalFirstThunk) set += RerouteDescriptor(base, *descriptor, install);
    return set;
}

}  // namespace

bool StartRegistryCounting() {
    g_counts = RegistryCounts{};
    size_t hookCount = 0;
    Hooks(&hookCount);
    if (RerouteImports(true) >= static_cast<int>(hookCount)) return true;
    RerouteImports(false);
    return false;
}

RegistryCounts StopRegistryCounting() {
    RerouteImports(false);
    return g_counts;
}
