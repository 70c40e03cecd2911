// Counts the registry calls that code linked into this executable makes,
// the server's own store and bridge code included, by routing this
// module's imports of the registry functions through counters for a while.
// For the benchmarks' operation counts of one call; nothing is counted
// outside a counting span, and no timed call is ever counted.
#pragma once

struct RegistryCounts {
    long opens;    // RegOpenKeyExW and RegCreateKeyExW
    long queries;  // RegQueryValueExW
    long sets;     // RegSetValueExW
    long closes;   // RegCloseKey
    long enums;    // RegEnumKeyExW
    long infos;    // RegQueryInfoKeyW
};

// Zeroes the counts and starts counting. Only one thread may make registry
// calls while counting. False when the imports could not be rerouted (then
// nothing is counted).
bool StartRegistryCounting();

// Stops counting and returns the counts since the start.
RegistryCounts StopRegistryCounting();
