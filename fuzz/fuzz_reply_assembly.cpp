// Reply assembly from registry-shaped values: any set of stored values of
// any lengths, for any request code and selector. The record must lie
// inside its buffer, fit the client's array, and be read within bounds.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <vector>

#include "devicerpc_contract.h"
#include "reply_assembly.h"

namespace {

struct StoredName {
    const wchar_t* subkey;
    const wchar_t* name;
};

// Every value the assembly may read, so that input bytes can name each.
const StoredName kNames[] = {
    {SUBKEY_CONFIG, VALUE_DUPLEX},
    {SUBKEY_CONFIG, VALUE_CASSETTES},
    {SUBKEY_CONFIG, VALUE_FIRMWARE},
    {SUBKEY_BIN_INFO L"0", VALUE_PAPER_SOURCE},
    {SUBKEY_BIN_INFO L"0", VALUE_PAPER_SIZE},
    {SUBKEY_BIN_INFO L"0", VALUE_PAPER_WIDTH},
    {SUBKEY_BIN_INFO L"0", VALUE_PAPER_HEIGHT},
    {SUBKEY_BIN_INFO L"0", VALUE_PAPER_LEVEL},
    {SUBKEY_BIN_INFO L"1", VALUE_PAPER_SOURCE},
    {SUBKEY_BIN_INFO L"1", VALUE_PAPER_LEVEL},
    {SUBKEY_BIN_INFO L"2", VALUE_PAPER_SIZE},
    {SUBKEY_CALIBRATION, VALUE_CALIBRATION},
    {SUBKEY_COUNTER, COUNTER_SELECTORS[0].value},
    {SUBKEY_COUNTER, COUNTER_SELECTORS[1].value},
    {SUBKEY_COUNTER, COUNTER_SELECTORS[COUNTER_COUNT - 1].value},
    {SUBKEY_FLASH_DATA, VALUE_FLASH_ID},
    {SUBKEY_FLASH_DATA, VALUE_FLASH_SIZE},
    {SUBKEY_FLASH_DATA, VALUE_FLASH_DATA},
    {SUBKEY_SERVICE_SETTINGS, VALUE_SERVICE_SETTINGS},
};
const size_t kNameCount = sizeof(kNames) / sizeof(kNames[0]);

struct Value {
    size_t name;
    std::vector<uint8_t> data;
};

struct Store {
    std::vector<Value> values;
    bool allBinsPresent;
};

// Reads as the registry does: missing or longer than `size` fails, shorter
// fills the front of `dest`.
bool ReadStored(void* context, const wchar_t* subkey, const wchar_t* name, void* dest,
                uint32_t size) {
    const Store* store = static_cast<const Store*>(context);
    for (const Value& v : store->values) {
        const StoredName& n = kNames[v.name];
        if (std::wcscmp(n.subkey, subkey) != 0 || std::wcscmp(n.name, name) != 0) continue;
        if (v.data.size() > size) return false;
        if (!v.data.empty()) std::memcpy(dest, v.data.data(), v.data.size());
        return true;
    }
    // Bin values not named by the table read as zero, so whole bin replies
    // are reached too.
    if (store->allBinsPresent && std::wcsncmp(subkey, SUBKEY_BIN_INFO, std::wcslen(SUBKEY_BIN_INFO)) == 0)
        return true;
    return false;
}

const int32_t kRequests[] = {DEVREQ_CONFIG, DEVREQ_BIN_INFO, DEVREQ_CALIBRATION, DEVREQ_COUNTER,
                             DEVREQ_FLASH_DATA, DEVREQ_BIN_INFO_WRITE, 0, -1};

}  // namespace

// Input: request index, selector, then values as [name index][length, 16-bit
// little-endian][bytes], the last one cut to what remains.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2 || size > (1u << 17)) return 0;
    Store store;
    store.allBinsPresent = (data[0] & 0x80) != 0;
    int32_t request = kRequests[data[0] % (sizeof(kRequests) / sizeof(kRequests[0]))];
    uint32_t selector = data[1];
    size_t at = 2;
    while (at + 3 <= size) {
        Value v;
        v.name = data[at] % kNameCount;
        size_t length = GetLittleEndian16(data + at + 1);
        at += 3;
        if (length > size - at) length = size - at;
        v.data.assign(data + at, data + at + length);
        at += length;
        store.values.push_back(v);
    }

    ReplyRecord record = {};
    bool ok = AssembleReply(ReadStored, &store, request, selector, &record);
    if (ok) {
        if (record.length > DEVICE_RPC_ARRAY_SIZE) std::abort();
        if (record.data == record.fixed && record.length > REPLY_BUFFER_SIZE) std::abort();
        if (record.data != record.fixed && record.data != record.large) std::abort();
        // The copy the server makes into the client's array.
        static uint8_t out[DEVICE_RPC_ARRAY_SIZE];
        std::memcpy(out, record.data, record.length);
    } else if (record.length != 0) {
        std::abort();
    }
    FreeReplyRecord(&record);
    return 0;
}
