// Names and codes of the printer data tree that need no platform headers:
// the subkeys and flags below a printer key, and the device-request codes.
// Shared by the server's registry code and its portable reply assembly.
#pragma once

#include <cstdint>

// Subkeys below a printer data key.
#define SUBKEY_CONFIG L"\\Driver\\Config"
#define SUBKEY_BIN_INFO L"\\Driver\\BinInfo\\"
#define SUBKEY_BIN_FORMAT L"\\Driver\\BinInfo\\%d"
#define SUBKEY_CALIBRATION L"\\Driver\\Calibration"
#define SUBKEY_COUNTER L"\\Driver\\Counter"
#define SUBKEY_FLASH_DATA L"\\Driver\\FlashData"
#define SUBKEY_SERVICE_SETTINGS L"\\Driver\\Service Settings"

// Handshake flags.
#define FLAG_ACQUIRED L"Acquired"
#define FLAG_WRITTEN L"Written"

// Device-request codes.
constexpr int32_t DEVREQ_CONFIG = 2;
constexpr int32_t DEVREQ_BIN_INFO = 3;
constexpr int32_t DEVREQ_CALIBRATION = 4;
constexpr int32_t DEVREQ_BIN_INFO_WRITE = 5;
constexpr int32_t DEVREQ_COUNTER = 9;
constexpr int32_t DEVREQ_FLASH_DATA = 11;
constexpr int32_t DEVREQ_FLASH_DATA_WRITE = 12;

// The selector byte that sends flash requests to the service settings.
constexpr uint32_t SELECTOR_SERVICE_SETTINGS = 12;
