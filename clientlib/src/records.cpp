// Reply records: the one place where the bytes of a device request's
// reply become typed fields, at the contract's offsets and sizes. A reply
// of any other length, or whose records do not state their own length,
// is refused whole: the caller never gets a partly filled record.
#include <cstring>

#include "devicerpc_api.h"
#include "devicerpc_contract.h"

// The public records are the reply bytes themselves (the flash item adds
// its size in front of the data).
static_assert(sizeof(DEVICERPC_CONFIG) == CONFIG_REPLY_SIZE, "ConfigReply");
static_assert(sizeof(DEVICERPC_BIN) == BIN_RECORD_SIZE, "BinInfoReply");
static_assert(sizeof(DEVICERPC_BINS) == BIN_INFO_REPLY_SIZE, "three BinInfoReply records");
static_assert(sizeof(DEVICERPC_CALIBRATION) == CALIBRATION_SIZE, "calibration block");
static_assert(sizeof(DEVICERPC_SERVICE_SETTINGS) == SERVICE_SETTINGS_SIZE, "service settings");
static_assert(DEVICERPC_FLASH_DATA_MAX == DEVICE_RPC_ARRAY_SIZE - FLASH_ID_SIZE, "flash item");
static_assert(DEVICERPC_ARRAY_SIZE == DEVICE_RPC_ARRAY_SIZE, "array size");

namespace {

// Every record starts with its own length; the reserved fields follow the
// firmware version (ConfigReply), the size code and the level (each bin).
const uint32_t RECORD_LENGTH_OFFSET = 0;
const uint32_t CONFIG_RESERVED_OFFSET = CONFIG_FIRMWARE_OFFSET + 4;
const uint32_t BIN_RESERVED1_OFFSET = BIN_SIZE_OFFSET + 4;
const uint32_t BIN_RESERVED2_OFFSET = BIN_LEVEL_OFFSET + 4;

// A block of `length` reply bytes copied whole when that is its size.
DEVICERPC_STATUS DecodeBlock(const uint8_t* reply, uint32_t length, uint8_t* block,
                             uint32_t size) {
    if (!block) return DEVICERPC_E_ARGUMENT;
    std::memset(block, 0, size);
    if (!reply) return DEVICERPC_E_ARGUMENT;
    if (length != size) return DEVICERPC_E_REPLY;
    std::memcpy(block, reply, size);
    return DEVICERPC_OK;
}

// One bin's record at `r`; false when it does not state its length.
bool DecodeBin(const uint8_t* r, DEVICERPC_BIN* bin) {
    if (GetLittleEndian32(r + RECORD_LENGTH_OFFSET) != BIN_RECORD_SIZE) return false;
    bin->recordLength = BIN_RECORD_SIZE;
    bin->source = GetLittleEndian32(r + BIN_SOURCE_OFFSET);
    bin->size = GetLittleEndian32(r + BIN_SIZE_OFFSET);
    bin->reserved1 = GetLittleEndian32(r + BIN_RESERVED1_OFFSET);
    bin->width = GetLittleEndian32(r + BIN_WIDTH_OFFSET);
    bin->height = GetLittleEndian32(r + BIN_HEIGHT_OFFSET);
    bin->level = GetLittleEndian32(r + BIN_LEVEL_OFFSET);
    bin->reserved2 = GetLittleEndian32(r + BIN_RESERVED2_OFFSET);
    return true;
}

}  // namespace

extern "C" DEVICERPC_STATUS DEVICERPC_CALL DeviceRpcDecodeConfig(const uint8_t* reply,
                                                                 uint32_t length,
                                                                 DEVICERPC_CONFIG* config) {
    if (!config) return DEVICERPC_E_ARGUMENT;
    std::memset(config, 0, sizeof(*config));
    if (!reply) return DEVICERPC_E_ARGUMENT;
    if (length != CONFIG_REPLY_SIZE ||
        GetLittleEndian32(reply + RECORD_LENGTH_OFFSET) != CONFIG_REPLY_SIZE)
        return DEVICERPC_E_REPLY;
    config->recordLength = CONFIG_REPLY_SIZE;
    config->cassettes = GetLittleEndian32(reply + CONFIG_CASSETTES_OFFSET);
    config->duplex = GetLittleEndian32(reply + CONFIG_DUPLEX_OFFSET);
    config->firmware = GetLittleEndian32(reply + CONFIG_FIRMWARE_OFFSET);
    std::memcpy(config->reserved, reply + CONFIG_RESERVED_OFFSET, sizeof(config->reserved));
    return DEVICERPC_OK;
}

extern "C" DEVICERPC_STATUS DEVICERPC_CALL DeviceRpcDecodeBins(const uint8_t* reply,
                                                               uint32_t length,
                                                               DEVICERPC_BINS* bins) {
    if (!bins) return DEVICERPC_E_ARGUMENT;
    std::memset(bins, 0, sizeof(*bins));
    if (!reply) return DEVICERPC_E_ARGUMENT;
    if (length != BIN_INFO_REPLY_SIZE) return DEVICERPC_E_REPLY;
    for (uint32_t i = 0; i < REPLY_BIN_COUNT; ++i) {
        if (!DecodeBin(reply + BIN_RECORD_SIZE * i, &bins->bin[i])) {
            std::memset(bins, 0, sizeof(*bins));
            return DEVICERPC_E_REPLY;
        }
    }
    return DEVICERPC_OK;
}

extern "C" DEVICERPC_STATUS DEVICERPC_CALL DeviceRpcDecodeCalibration(
    const uint8_t* reply, uint32_t length, DEVICERPC_CALIBRATION* calibration) {
    return DecodeBlock(reply, length, calibration ? calibration->data : nullptr, CALIBRATION_SIZE);
}

extern "C" DEVICERPC_STATUS DEVICERPC_CALL DeviceRpcDecodeServiceSettings(
    const uint8_t* reply, uint32_t length, DEVICERPC_SERVICE_SETTINGS* settings) {
    return DecodeBlock(reply, length, settings ? settings->data : nullptr, SERVICE_SETTINGS_SIZE);
}

extern "C" DEVICERPC_STATUS DEVICERPC_CALL DeviceRpcDecodeCounter(const uint8_t* reply,
                                                                  uint32_t length,
                                                                  uint32_t* value) {
    if (!value) return DEVICERPC_E_ARGUMENT;
    *value = 0;
    if (!reply) return DEVICERPC_E_ARGUMENT;
    if (length != COUNTER_REPLY_SIZE) return DEVICERPC_E_REPLY;
    *value = GetLittleEndian32(reply);
    return DEVICERPC_OK;
}

extern "C" DEVICERPC_STATUS DEVICERPC_CALL DeviceRpcDecodeFlashItem(const uint8_t* reply,
                                                                    uint32_t length,
                                                                    DEVICERPC_FLASH_ITEM* item) {
    if (!item) return DEVICERPC_E_ARGUMENT;
    std::memset(item, 0, sizeof(*item));
    if (!reply) return DEVICERPC_E_ARGUMENT;
    if (length < FLASH_ID_SIZE || length > DEVICE_RPC_ARRAY_SIZE) return DEVICERPC_E_REPLY;
    item->id = GetLittleEndian32(reply);
    item->size = length - FLASH_ID_SIZE;
    std::memcpy(item->data, reply + FLASH_ID_SIZE, item->size);
    return DEVICERPC_OK;
}
