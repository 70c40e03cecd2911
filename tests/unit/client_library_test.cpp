// The client library without a server: reply records decoded from known
// bytes, replies of the wrong length or layout refused whole, arguments
// refused before anything is sent, and the status messages.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "devicerpc_api.h"
#include "expected_values.h"
#include "reply_format.h"

namespace {

std::vector<uint8_t> Words(std::initializer_list<uint32_t> words) {
    std::vector<uint8_t> bytes;
    for (uint32_t w : words)
        for (int i = 0; i < 4; ++i) bytes.push_back(uint8_t(w >> (8 * i)));
    return bytes;
}

// ConfigReply: length 32, cassettes 2, duplex 1, firmware 0x00020105, and
// reserved bytes 16 to 31 as given.
std::vector<uint8_t> ConfigBytes(uint8_t reservedByte = 0) {
    std::vector<uint8_t> bytes = Words({32, 2, 1, 0x00020105});
    bytes.resize(32, reservedByte);
    return bytes;
}

// Three bins: length 32, source b+1, size 9, reserved 0, 2100, 2970, level
// 80-b, reserved 0.
std::vector<uint8_t> BinBytes() {
    std::vector<uint8_t> bytes;
    for (uint32_t b = 0; b < 3; ++b) {
        std::vector<uint8_t> record = Words({32, b + 1, 9, 0, 2100, 2970, 80 - b, 0});
        bytes.insert(bytes.end(), record.begin(), record.end());
    }
    return bytes;
}

bool AllZero(const void* p, size_t n) {
    const uint8_t* bytes = static_cast<const uint8_t*>(p);
    for (size_t i = 0; i < n; ++i)
        if (bytes[i]) return false;
    return true;
}

// A session on an endpoint nobody serves: a call that got as far as the
// runtime would fail in transport, not with the statuses expected below.
DEVICERPC_SESSION* UnservedSession() {
    DEVICERPC_SESSION* session = nullptr;
    DeviceRpcOpenSession(L"ncalrpc", nullptr, L"ClientLibraryTestNobody", 0, 0, &session, nullptr);
    return session;
}

}  // namespace

TEST(ClientLibrary, RecordsDecodeFromTheirBytes) {
    DEVICERPC_CONFIG config;
    std::vector<uint8_t> bytes = ConfigBytes(0xAB);
    ASSERT_EQ(DeviceRpcDecodeConfig(bytes.data(), 32, &config), DEVICERPC_OK);
    EXPECT_EQ(config.recordLength, 32u);
    EXPECT_EQ(config.cassettes, 2u);
    EXPECT_EQ(config.duplex, 1u);
    EXPECT_EQ(config.firmware, 0x00020105u);
    EXPECT_EQ(config.reserved[0], 0xAB);
    EXPECT_EQ(config.reserved[15], 0xAB);

    DEVICERPC_BINS bins;
    bytes = BinBytes();
    bytes[64 + 12] = 7;  // bin 2's first reserved field
    ASSERT_EQ(DeviceRpcDecodeBins(bytes.data(), 96, &bins), DEVICERPC_OK);
    for (uint32_t b = 0; b < 3; ++b) {
        const DEVICERPC_BIN& bin = bins.bin[b];
        EXPECT_EQ(bin.recordLength, 32u);
        EXPECT_EQ(bin.source, b + 1);
        EXPECT_EQ(bin.size, 9u);
        EXPECT_EQ(bin.width, 2100u);
        EXPECT_EQ(bin.height, 2970u);
        EXPECT_EQ(bin.level, 80 - b);
        EXPECT_EQ(bin.reserved2, 0u);
    }
    EXPECT_EQ(bins.bin[2].reserved1, 7u);

    uint32_t counter = 0;
    bytes = Words({0x000020DC});
    ASSERT_EQ(DeviceRpcDecodeCounter(bytes.data(), 4, &counter), DEVICERPC_OK);
    EXPECT_EQ(counter, 8412u);

    static DEVICERPC_FLASH_ITEM item;
    bytes = {0x0a, 0x10, 0, 0, 0xde, 0xad, 0xbe, 0xef};
    ASSERT_EQ(DeviceRpcDecodeFlashItem(bytes.data(), 8, &item), DEVICERPC_OK);
    EXPECT_EQ(item.id, 0x100Au);
    EXPECT_EQ(item.size, 4u);
    EXPECT_EQ(std::memcmp(item.data, "\xde\xad\xbe\xef", 4), 0);

    std::vector<uint8_t> block(60);
    for (int i = 0; i < 60; ++i) block[i] = uint8_t(0x10 + i);
    DEVICERPC_CALIBRATION calibration;
    ASSERT_EQ(DeviceRpcDecodeCalibration(block.data(), 60, &calibration), DEVICERPC_OK);
    EXPECT_EQ(calibration.data[59], 0x4b);
    DEVICERPC_SERVICE_SETTINGS settings;
    ASSERT_EQ(DeviceRpcDecodeServiceSettings(block.data(), 18, &settings), DEVICERPC_OK);
    EXPECT_EQ(settings.data[17], 0x21);
}

// Every record refuses a reply one byte short or one byte long, and one
// whose records do not state their length; the record is left all zero.
TEST(ClientLibrary, RepliesOfAnotherLengthOrLayoutAreRefusedWhole) {
    std::vector<uint8_t> big(32769, 0x20);  // every word reads 0x20202020
    std::vector<uint8_t> config = ConfigBytes();
    std::vector<uint8_t> bins = BinBytes();
    std::vector<uint8_t> badConfig = ConfigBytes();
    badConfig[0] = 31;
    std::vector<uint8_t> badBins = BinBytes();
    badBins[32] = 0;  // bin 1 does not say 32
    static DEVICERPC_FLASH_ITEM item;
    DEVICERPC_CONFIG c;
    DEVICERPC_BINS b;
    DEVICERPC_CALIBRATION cal;
    DEVICERPC_SERVICE_SETTINGS s;
    uint32_t counter;
    struct Case {
        const char* what;
        DEVICERPC_STATUS status;
        const void* record;
        size_t size;
    } cases[] = {
        {"config short", DeviceRpcDecodeConfig(config.data(), 31, &c), &c, sizeof(c)},
        {"config long", DeviceRpcDecodeConfig(big.data(), 33, &c), &c, sizeof(c)},
        {"config length field", DeviceRpcDecodeConfig(badConfig.data(), 32, &c), &c, sizeof(c)},
        {"bins short", DeviceRpcDecodeBins(bins.data(), 95, &b), &b, sizeof(b)},
        {"bins long", DeviceRpcDecodeBins(big.data(), 97, &b), &b, sizeof(b)},
        {"bin 1 length field", DeviceRpcDecodeBins(badBins.data(), 96, &b), &b, sizeof(b)},
        {"calibration short", DeviceRpcDecodeCalibration(big.data(), 59, &cal), &cal, sizeof(cal)},
        {"calibration long", DeviceRpcDecodeCalibration(big.data(), 61, &cal), &cal, sizeof(cal)},
        {"service short", DeviceRpcDecodeServiceSettings(big.data(), 17, &s), &s, sizeof(s)},
        {"service long", DeviceRpcDecodeServiceSettings(big.data(), 19, &s), &s, sizeof(s)},
        {"counter short", DeviceRpcDecodeCounter(big.data(), 3, &counter), &counter, 4},
        {"counter long", DeviceRpcDecodeCounter(big.data(), 5, &counter), &counter, 4},
        {"flash without id", DeviceRpcDecodeFlashItem(big.data(), 3, &item), &item, sizeof(item)},
        {"flash empty", DeviceRpcDecodeFlashItem(big.data(), 0, &item), &item, sizeof(item)},
        {"flash beyond the array", DeviceRpcDecodeFlashItem(big.data(), 32769, &item), &item,
         sizeof(item)},
        {"size -1 as a length", DeviceRpcDecodeFlashItem(big.data(), 0xFFFFFFFF, &item), &item,
         sizeof(item)},
    };
    for (const Case& k : cases) {
        EXPECT_EQ(k.status, DEVICERPC_E_REPLY) << k.what;
        EXPECT_TRUE(AllZero(k.record, k.size)) << k.what;
    }
    // The largest item fills the whole array.
    EXPECT_EQ(DeviceRpcDecodeFlashItem(big.data(), 32768, &item), DEVICERPC_OK);
    EXPECT_EQ(item.size, 32764u);
}

// A null pointer or a value the call cannot take is refused with its
// argument's position, before anything is sent.
TEST(ClientLibrary, ArgumentsAreRefusedUnsentWithTheirPosition) {
    DEVICERPC_SESSION* session = UnservedSession();
    ASSERT_NE(session, nullptr);
    static uint8_t in[kArraySize], out[kArraySize];
    static DEVICERPC_FLASH_ITEM item;
    DEVICERPC_CONFIG config;
    DEVICERPC_BINS bins;
    DEVICERPC_SESSION* opened = nullptr;
    uint32_t value = 0;
    uint8_t data[2] = {1, 2};
    struct Case {
        const char* what;
        DEVICERPC_STATUS status;
        uint32_t code;
        uint32_t position;
    } cases[32];
    int n = 0;
    auto check = [&](const char* what, uint32_t position, auto call) {
        uint32_t code = 0xEEEE;
        DEVICERPC_STATUS status = call(&code);
        cases[n++] = {what, status, code, position};
    };
    check("open: no protseq", 1, [&](uint32_t* c) {
        return DeviceRpcOpenSession(nullptr, nullptr, nullptr, 0, 0, &opened, c); });
    check("open: TCP without endpoint", 3, [&](uint32_t* c) {
        return DeviceRpcOpenSession(L"ncacn_ip_tcp", nullptr, nullptr, 0, 0, &opened, c); });
    check("open: unknown flag", 4, [&](uint32_t* c) {
        return DeviceRpcOpenSession(L"ncalrpc", nullptr, nullptr, 2, 0, &opened, c); });
    check("open: no session", 6, [&](uint32_t* c) {
        return DeviceRpcOpenSession(L"ncalrpc", nullptr, nullptr, 0, 0, nullptr, c); });
    check("binding: none", 1, [&](uint32_t* c) {
        return DeviceRpcOpenSessionFromBinding(nullptr, 0, 0, &opened, c); });
    check("command: no session", 1, [&](uint32_t* c) {
        return DeviceRpcSendCommand(nullptr, 1, 0, L"P", L"", c); });
    check("command: no printer", 4, [&](uint32_t* c) {
        return DeviceRpcSendCommand(session, 1, 0, nullptr, L"", c); });
    check("command2: no argument", 5, [&](uint32_t* c) {
        return DeviceRpcSendCommand2(session, 1, 0, L"P", nullptr, c); });
    check("config: unknown flag", 2, [&](uint32_t* c) {
        return DeviceRpcGetConfig(session, 4, L"P", &config, c); });
    check("config: no printer", 3, [&](uint32_t* c) {
        return DeviceRpcGetConfig(session, 0, nullptr, &config, c); });
    check("config: no record", 4, [&](uint32_t* c) {
        return DeviceRpcGetConfig(session, DEVICERPC_MAPPED, L"P", nullptr, c); });
    check("bins: no session", 1, [&](uint32_t* c) {
        return DeviceRpcGetBins(nullptr, 0, L"P", &bins, c); });
    check("calibration: no record", 4, [&](uint32_t* c) {
        return DeviceRpcGetCalibration(session, 0, L"P", nullptr, c); });
    check("counter: selector 3 has no counter", 4, [&](uint32_t* c) {
        return DeviceRpcGetCounter(session, 0, L"P", 3, &value, c); });
    check("counter: no value", 5, [&](uint32_t* c) {
        return DeviceRpcGetCounter(session, 0, L"P", DEVICERPC_COUNTER_CYAN, nullptr, c); });
    check("flash: the service settings' selector", 4, [&](uint32_t* c) {
        return DeviceRpcGetFlashItem(session, 0, L"P", 12, &item, c); });
    check("flash: selector 256", 4, [&](uint32_t* c) {
        return DeviceRpcGetFlashItem(session, 0, L"P", 256, &item, c); });
    check("service settings: no record", 4, [&](uint32_t* c) {
        return DeviceRpcGetServiceSettings(session, 0, L"P", nullptr, c); });
    check("write bins: no data", 4, [&](uint32_t* c) {
        return DeviceRpcWriteBins(session, 0, L"P", nullptr, 2, c); });
    check("write bins: nothing to write", 5, [&](uint32_t* c) {
        return DeviceRpcWriteBins(session, 0, L"P", data, 0, c); });
    check("write bins: beyond the array", 5, [&](uint32_t* c) {
        return DeviceRpcWriteBins(session, 0, L"P", data, 32769, c); });
    check("write flash: selector 256", 4, [&](uint32_t* c) {
        return DeviceRpcWriteFlashItem(session, 0, L"P", 256, data, 2, c); });
    check("write flash: no data", 5, [&](uint32_t* c) {
        return DeviceRpcWriteFlashItem(session, 0, L"P", 10, nullptr, 2, c); });
    check("write flash: no room for the selector", 6, [&](uint32_t* c) {
        return DeviceRpcWriteFlashItem(session, 0, L"P", 10, data, 32768, c); });
    check("request: no input array", 4, [&](uint32_t* c) {
        return DeviceRpcRequest(session, 0, 2, nullptr, 0, out, nullptr, L"P", c); });
    check("request: no output array", 6, [&](uint32_t* c) {
        return DeviceRpcRequest(session, 0, 2, in, 0, nullptr, nullptr, L"P", c); });
    check("request: no printer", 8, [&](uint32_t* c) {
        return DeviceRpcRequest(session, 1, 2, in, 0, out, nullptr, nullptr, c); });
    for (int i = 0; i < n; ++i) {
        EXPECT_EQ(cases[i].status, DEVICERPC_E_ARGUMENT) << cases[i].what;
        EXPECT_EQ(cases[i].code, cases[i].position) << cases[i].what;
    }
    EXPECT_EQ(opened, nullptr);
    EXPECT_EQ(DeviceRpcCloseSession(nullptr), DEVICERPC_E_ARGUMENT);
    // A null code pointer is allowed; the same refusal still comes back.
    EXPECT_EQ(DeviceRpcGetConfig(session, 0, nullptr, &config, nullptr), DEVICERPC_E_ARGUMENT);
    // With valid arguments the call reaches the runtime, which finds nobody.
    uint32_t code = 0;
    EXPECT_EQ(DeviceRpcGetConfig(session, 0, L"P", &config, &code), DEVICERPC_E_TRANSPORT);
    EXPECT_NE(code, 0u);
    EXPECT_EQ(DeviceRpcCloseSession(session), DEVICERPC_OK);
}

TEST(ClientLibrary, EveryStatusHasItsMessage) {
    struct Case {
        DEVICERPC_STATUS status;
        uint32_t code;
        const wchar_t* part;
    } cases[] = {
        {DEVICERPC_OK, 0, L"success"},
        {DEVICERPC_E_ARGUMENT, 3, L"argument 3"},
        {DEVICERPC_E_TRANSPORT, 1722, L"RPC status 1722"},
        {DEVICERPC_E_TRANSPORT, 1818, L"time-out"},
        {DEVICERPC_E_FALSE, 0, L"FALSE"},
        {DEVICERPC_E_WIN32, 31, L"error 31"},
        {DEVICERPC_E_REPLY, 12, L"12 bytes"},
        {77, 5, L"unknown status 77"},
    };
    wchar_t text[256];
    for (const Case& c : cases) {
        ASSERT_EQ(DeviceRpcStatusText(c.status, c.code, text, 256), DEVICERPC_OK);
        EXPECT_NE(std::wstring(text).find(c.part), std::wstring::npos) << c.status;
    }
    // A short buffer gets the start of the message, terminated.
    wchar_t small[5] = {1, 1, 1, 1, 1};
    ASSERT_EQ(DeviceRpcStatusText(DEVICERPC_OK, 0, small, 4), DEVICERPC_OK);
    EXPECT_STREQ(small, L"suc");
    EXPECT_EQ(small[4], 1);
    EXPECT_EQ(DeviceRpcStatusText(DEVICERPC_OK, 0, nullptr, 4), DEVICERPC_E_ARGUMENT);
    EXPECT_EQ(DeviceRpcStatusText(DEVICERPC_OK, 0, text, 0), DEVICERPC_E_ARGUMENT);
}

// DeviceRpcClient decodes through the library: a record of the right size
// that misstates its length is shown as bytes, not as a table.
TEST(ClientLibrary, TheClientShowsAMisstatedRecordAsBytes) {
    static wchar_t storage[4096];
    TextBuffer out;
    std::vector<uint8_t> config = ConfigBytes();
    config[0] = 0;
    InitText(&out, storage, 4096);
    EXPECT_FALSE(FormatReplyTable(REPLY_CONFIG, 0, config.data(), 32, &out));
    EXPECT_EQ(std::wstring(out.text).find(
                  L"reply: 32 bytes with a record length field other than 32, not a ConfigReply\n"
                  L"offset  bytes\n0000    00 00 00 00 02"),
              0u);
    std::vector<uint8_t> bins = BinBytes();
    bins[64] = 33;
    InitText(&out, storage, 4096);
    EXPECT_FALSE(FormatReplyJson(REPLY_BIN_INFO, 0, bins.data(), 96, &out));
    EXPECT_STREQ(out.text, L"null");
}
