// RpcDeviceRequest against a window that plays the language monitor: the
// handshake, every reply record, and every failure path.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "DeviceRpc.h"
#include "expected_values.h"
#include "payload_layout.h"
#include "test_registry.h"
#include "test_window.h"

namespace {

const std::wstring kPrinterKey = L"SOFTWARE\\Mirel\\ZOLT7\\Office";

std::wstring Key(const wchar_t* subkey) {
    return kPrinterKey + subkey;
}

class DeviceRequest : public ::testing::Test {
protected:
    void SetUp() override {
        DeleteMachineTree(L"SOFTWARE\\Mirel");
        window = {};
        StartTestWindow(&window);
        PublishWindowHandle(window.window, 8);
        std::memset(in, 0, sizeof(in));
        std::memset(out, 0xCC, sizeof(out));
    }
    void TearDown() override {
        if (window.thread) StopTestWindow(&window);
        DeleteMachineTree(L"SOFTWARE\\Mirel");
    }

    // The monitor's part: on each request, stores `values` and then the flag.
    struct Stored {
        std::wstring key;
        const wchar_t* name;
        std::vector<BYTE> data;
    };
    void MonitorStores(std::vector<Stored> values) {
        window.handler = [values](ULONG_PTR, const std::vector<BYTE>&) {
            for (const Stored& v : values) SetMachineValue(v.key, v.name, REG_BINARY, v.data);
        };
    }

    boolean Request(long code, long cbIn = 0, const wchar_t* printer = L"Office") {
        wchar_t name[300];
        lstrcpyW(name, printer);
        wchar_t reserved[] = L"";
        return RpcDeviceRequest(nullptr, code, in, cbIn, out, &cbOut, name, reserved);
    }

    std::vector<BYTE> Reply(size_t length) const {
        return std::vector<BYTE>(out, out + length);
    }

    TestWindow window;
    unsigned char in[32768];
    unsigned char out[32768];
    long cbOut = 32768;
};

std::vector<BYTE> Words(std::initializer_list<DWORD> values) {
    std::vector<BYTE> bytes;
    for (DWORD v : values) {
        auto w = Le32(v);
        bytes.insert(bytes.end(), w.begin(), w.end());
    }
    return bytes;
}

}  // namespace

TEST_F(DeviceRequest, ConfigReplyLayout) {
    MonitorStores({{Key(kSubkeyConfig), L"dwDuplex", Le32(1)},
                   {Key(kSubkeyConfig), L"dwNumCassette", Le32(2)},
                   {Key(kSubkeyConfig), L"dwFirmVersion", Le32(3)},
                   {Key(kSubkeyConfig), kFlagAcquired, {1}}});
    ASSERT_EQ(Request(kRequestConfig), TRUE);
    EXPECT_EQ(cbOut, 32);
    EXPECT_EQ(Reply(32), Words({32, 2, 1, 3, 0, 0, 0, 0}));
    EXPECT_EQ(out[32], 0xCC);  // the rest of the array keeps what the client sent
}

TEST_F(DeviceRequest, FlagIsClearedBeforeTheMessageAndTheBlockCarriesTheClientName) {
    SetMachineValue(Key(kSubkeyConfig), kFlagAcquired, REG_BINARY, Le32(1));  // a stale flag
    std::vector<BYTE> flagAtSend;
    window.handler = [&](ULONG_PTR, const std::vector<BYTE>&) {
        GetMachineValue(Key(kSubkeyConfig), kFlagAcquired, &flagAtSend);
    };
    cbOut = 10;
    in[0] = 0xAB;
    EXPECT_EQ(Request(kRequestConfig, 3), FALSE);  // the stale flag is not read as set
    EXPECT_EQ(flagAtSend, std::vector<BYTE>{0});
    EXPECT_EQ(cbOut, 10);
    ASSERT_EQ(window.received.size(), 1u);
    EXPECT_EQ(window.received[0].code, kMessageDeviceRequest);
    const std::vector<BYTE>& block = window.received[0].block;
    ASSERT_EQ(block.size(), 26u + 12u + 3u + 10u);
    EXPECT_EQ(ReadLe32(&block[0]), DWORD(kRequestConfig));
    EXPECT_EQ(block[38], 0xAB);
}

TEST_F(DeviceRequest, ConfigWithAMissingValueFailsWithLengthZero) {
    MonitorStores({{Key(kSubkeyConfig), L"dwDuplex", Le32(1)},
                   {Key(kSubkeyConfig), L"dwNumCassette", Le32(2)},
                   {Key(kSubkeyConfig), kFlagAcquired, {1}}});
    EXPECT_EQ(Request(kRequestConfig), FALSE);
    EXPECT_EQ(cbOut, 0);
    EXPECT_EQ(out[0], 0xCC);
}

TEST_F(DeviceRequest, BinInfoRecordsAndAMissingLevel) {
    std::vector<Stored> values = {{Key(kSubkeyBinInfo), kFlagAcquired, Le32(1)}};
    for (int bin = 0; bin < 3; ++bin) {
        std::wstring key = Key(kSubkeyBinInfo) + std::to_wstring(bin);
        DWORD base = 10 * (bin + 1);
        values.push_back({key, L"dwPaperSource", Le32(base + 1)});
        values.push_back({key, L"dwPaperSize", Le32(base + 2)});
        values.push_back({key, L"dwPaperWidth", Le32(base + 3)});
        values.push_back({key, L"dwPaperHeight", Le32(base + 4)});
        values.push_back({key, L"dwPaperLevel", Le32(base + 5)});
    }
    MonitorStores(values);
    ASSERT_EQ(Request(kRequestBinInfo), TRUE);
    EXPECT_EQ(cbOut, 96);
    EXPECT_EQ(Reply(96), Words({32, 11, 12, 0, 13, 14, 15, 0, 32, 21, 22, 0, 23, 24, 25, 0,
                                32, 31, 32, 0, 33, 34, 35, 0}));

    DeleteMachineTree(kPrinterKey);
    values.pop_back();  // bin 2 has no "dwPaperLevel"
    MonitorStores(values);
    cbOut = 32768;
    EXPECT_EQ(Request(kRequestBinInfo), FALSE);
    EXPECT_EQ(cbOut, 0);
}

TEST_F(DeviceRequest, CounterBySelectorByteWhateverTheInputSize) {
    MonitorStores({{Key(kSubkeyCounter), L"dwMonoCounter", Le32(100)},
                   {Key(kSubkeyCounter), L"dwColorCounter", Le32(200)},
                   {Key(kSubkeyCounter), L"dwYellowCounter", Le32(800)},
                   {Key(kSubkeyCounter), L"dwIOCounter", Le32(999)},
                   {Key(kSubkeyCounter), kFlagAcquired, {1}}});
    const struct {
        BYTE selector;
        DWORD expected;
    } cases[] = {{0, 100}, {2, 200}, {8, 800}, {3, 999}, {1, 999}, {255, 999}};
    for (const auto& c : cases) {
        in[0] = c.selector;
        ASSERT_EQ(Request(kRequestCounter, 0), TRUE) << int(c.selector);
        EXPECT_EQ(cbOut, 4);
        EXPECT_EQ(Reply(4), Le32(c.expected)) << int(c.selector);
    }
}

TEST_F(DeviceRequest, CalibrationShorterValueIsZeroFilled) {
    MonitorStores({{Key(kSubkeyCalibration), L"CalibrationData", std::vector<BYTE>(20, 0x5A)},
                   {Key(kSubkeyCalibration), kFlagAcquired, {1}}});
    ASSERT_EQ(Request(kRequestCalibration), TRUE);
    EXPECT_EQ(cbOut, 60);
    std::vector<BYTE> expected(60, 0);
    std::fill(expected.begin(), expected.begin() + 20, 0x5A);
    EXPECT_EQ(Reply(60), expected);
}

TEST_F(DeviceRequest, FlashDataAndServiceSettingsBySelector) {
    std::vector<BYTE> eight = {1, 2, 3, 4, 5, 6, 7, 8};
    MonitorStores({{Key(kSubkeyFlashData), L"dwSize", Le32(8)},
                   {Key(kSubkeyFlashData), L"ReturnValue", eight},
                   {Key(kSubkeyFlashData), kFlagAcquired, {1}},
                   {Key(kSubkeyServiceSettings), L"Setting Value", std::vector<BYTE>(10, 0x77)},
                   {Key(kSubkeyServiceSettings), kFlagAcquired, {1}}});
    in[0] = 10;
    ASSERT_EQ(Request(kRequestFlashData, 1), TRUE);
    EXPECT_EQ(cbOut, 12);
    EXPECT_EQ(Reply(12), (std::vector<BYTE>{0, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8}));

    in[0] = 5;
    std::memset(out, 0xCC, 16);
    ASSERT_EQ(Request(kRequestFlashData, 1), TRUE);
    EXPECT_EQ(cbOut, 0);
    EXPECT_EQ(out[0], 0xCC);

    in[0] = 12;
    ASSERT_EQ(Request(kRequestFlashData, 1), TRUE);
    EXPECT_EQ(cbOut, 18);
    std::vector<BYTE> settings(18, 0);
    std::fill(settings.begin(), settings.begin() + 10, 0x77);
    EXPECT_EQ(Reply(18), settings);
}

TEST_F(DeviceRequest, FlashDataSizes) {
    in[0] = 0;
    // "dwSize" missing: the destination size is 0 and a non-empty value fails.
    MonitorStores({{Key(kSubkeyFlashData), L"ReturnValue", {1, 2}},
                   {Key(kSubkeyFlashData), kFlagAcquired, {1}}});
    EXPECT_EQ(Request(kRequestFlashData), FALSE);
    EXPECT_EQ(cbOut, 0);

    // Beyond the fixed reply buffer but within the client's array: served.
    std::vector<BYTE> large(1000);
    for (size_t i = 0; i < large.size(); ++i) large[i] = BYTE(i * 3);
    MonitorStores({{Key(kSubkeyFlashData), L"dwID", Le32(42)},
                   {Key(kSubkeyFlashData), L"dwSize", Le32(1000)},
                   {Key(kSubkeyFlashData), L"ReturnValue", large},
                   {Key(kSubkeyFlashData), kFlagAcquired, {1}}});
    cbOut = 32768;
    ASSERT_EQ(Request(kRequestFlashData), TRUE);
    EXPECT_EQ(cbOut, 1004);
    EXPECT_EQ(ReadLe32(out), 42u);
    EXPECT_EQ(std::vector<BYTE>(out + 4, out + 1004), large);

    // Larger than the client's array, or absurd: refused, nothing copied.
    for (DWORD size : {32765u, 40000u, 0xFFFFFFFFu}) {
        MonitorStores({{Key(kSubkeyFlashData), L"dwSize", Le32(size)},
                       {Key(kSubkeyFlashData), kFlagAcquired, {1}}});
        std::memset(out, 0xCC, sizeof(out));
        cbOut = 32768;
        EXPECT_EQ(Request(kRequestFlashData), FALSE) << size;
        EXPECT_EQ(cbOut, 0);
        EXPECT_EQ(out[0], 0xCC);
    }
}

TEST_F(DeviceRequest, AcquiredFlagShapes) {
    const struct {
        std::vector<BYTE> flag;
        boolean expected;
    } cases[] = {{{0}, FALSE}, {Le32(1), TRUE}, {{0, 0, 1}, TRUE}, {{1, 0, 0, 0, 0}, FALSE}};
    in[0] = 1;
    for (const auto& c : cases) {
        MonitorStores({{Key(kSubkeyCounter), L"dwIOCounter", Le32(7)},
                       {Key(kSubkeyCounter), kFlagAcquired, c.flag}});
        cbOut = 1234;
        EXPECT_EQ(Request(kRequestCounter), c.expected) << c.flag.size();
        EXPECT_EQ(cbOut, c.expected ? 4 : 1234);  // a flag not set leaves the size alone
    }
}

TEST_F(DeviceRequest, WrittenFlagMustBeTheSingleByteOne) {
    const struct {
        long code;
        BYTE selector;
        const wchar_t* key;
        std::vector<BYTE> flag;
        boolean expected;
    } cases[] = {
        {kRequestBinInfoWrite, 0, kSubkeyBinInfo, {1}, TRUE},
        {kRequestBinInfoWrite, 0, kSubkeyBinInfo, {2}, FALSE},
        {kRequestBinInfoWrite, 0, kSubkeyBinInfo, Le32(1), FALSE},
        {kRequestFlashDataWrite, 3, kSubkeyFlashData, {1}, TRUE},
        {kRequestFlashDataWrite, 12, kSubkeyServiceSettings, {1}, TRUE},
        {kRequestFlashDataWrite, 12, kSubkeyFlashData, {1}, FALSE},
    };
    for (const auto& c : cases) {
        DeleteMachineTree(kPrinterKey);
        MonitorStores({{Key(c.key), kFlagWritten, c.flag}});
        in[0] = c.selector;
        cbOut = 77;
        EXPECT_EQ(Request(c.code, 1), c.expected) << c.code << " " << int(c.selector);
        EXPECT_EQ(cbOut, 77);
    }
}

TEST_F(DeviceRequest, UnknownCodeIsSentButClearsAndReadsNoFlag) {
    cbOut = 5;
    EXPECT_EQ(Request(7), FALSE);
    EXPECT_EQ(cbOut, 5);
    EXPECT_EQ(window.received.size(), 1u);
    EXPECT_FALSE(MachineKeyExists(kPrinterKey));
}

TEST_F(DeviceRequest, RefusedBeforeAnythingIsSent) {
    wchar_t name[] = L"Office";
    wchar_t reserved[] = L"";
    EXPECT_EQ(RpcDeviceRequest(nullptr, kRequestConfig, in, 0, out, nullptr, name, reserved), FALSE);
    for (long cbIn : {-1L, 32769L, 0x7FFFFFFFL}) {
        cbOut = 0;
        EXPECT_EQ(Request(kRequestConfig, cbIn), FALSE) << cbIn;
        EXPECT_EQ(cbOut, 0);
    }
    for (long size : {-5L, 40000L}) {
        cbOut = size;
        EXPECT_EQ(Request(kRequestConfig), FALSE) << size;
        EXPECT_EQ(cbOut, size);
    }
    cbOut = 32768;
    std::wstring longName(260, L'n');
    EXPECT_EQ(Request(kRequestConfig, 0, longName.c_str()), FALSE);
    EXPECT_TRUE(window.received.empty());
    EXPECT_FALSE(MachineKeyExists(kPrinterKey));
    std::wstring longest(259, L'n');
    EXPECT_EQ(Request(kRequestConfig, 0, longest.c_str()), FALSE);
    EXPECT_EQ(window.received.size(), 1u);
}

TEST_F(DeviceRequest, NoWindowAndStaleWindowSetTheSizeToZero) {
    StopTestWindow(&window);
    window.thread = nullptr;
    cbOut = 99;
    EXPECT_EQ(Request(kRequestConfig), FALSE);  // stale handle
    EXPECT_EQ(cbOut, 0);
    DeleteMachineTree(kMonitorsKey);
    cbOut = 99;
    EXPECT_EQ(Request(kRequestConfig), FALSE);  // no handle
    EXPECT_EQ(cbOut, 0);
    wchar_t name[] = L"Office";
    wchar_t reserved[] = L"";
    EXPECT_EQ(RpcDeviceRequest(nullptr, kRequestConfig, in, 0, out, nullptr, name, reserved), FALSE);
}

TEST_F(DeviceRequest, PrinterNameWithBackslashesUsesCommasInItsKey) {
    MonitorStores({{L"SOFTWARE\\Mirel\\ZOLT7\\,,host,Office\\Driver\\Counter", L"dwIOCounter", Le32(5)},
                   {L"SOFTWARE\\Mirel\\ZOLT7\\,,host,Office\\Driver\\Counter", kFlagAcquired, {1}}});
    in[0] = 1;
    ASSERT_EQ(Request(kRequestCounter, 1, L"\\\\host\\Office"), TRUE);
    EXPECT_EQ(Reply(4), Le32(5));
}

namespace {

struct ConcurrentClient {
    int failures;
};

DWORD WINAPI RequestCountersRepeatedly(LPVOID parameter) {
    ConcurrentClient* client = static_cast<ConcurrentClient*>(parameter);
    for (int i = 0; i < 15; ++i) {
        unsigned char in[32768] = {1};
        unsigned char out[32768];
        long cbOut = 32768;
        wchar_t name[] = L"Office";
        wchar_t reserved[] = L"";
        if (!RpcDeviceRequest(nullptr, kRequestCounter, in, 1, out, &cbOut, name, reserved) ||
            cbOut != 4)
            ++client->failures;
    }
    return 0;
}

}  // namespace

// Several clients asking the same printer at once: a client's flag clear
// must not fall between the monitor's set and another client's read-back.
TEST_F(DeviceRequest, OverlappingRequestsForOnePrinterAllSucceed) {
    window.handler = [](ULONG_PTR, const std::vector<BYTE>&) {
        SetMachineValue(Key(kSubkeyCounter), L"dwIOCounter", REG_BINARY, Le32(3));
        SetMachineValue(Key(kSubkeyCounter), kFlagAcquired, REG_BINARY, {1});
        Sleep(2);  // widen the gap between the set and the caller's read-back
    };
    ConcurrentClient clients[6] = {};
    HANDLE threads[6];
    for (int i = 0; i < 6; ++i)
        threads[i] = CreateThread(nullptr, 0, RequestCountersRepeatedly, &clients[i], 0, nullptr);
    WaitForMultipleObjects(6, threads, TRUE, INFINITE);
    for (int i = 0; i < 6; ++i) {
        CloseHandle(threads[i]);
        EXPECT_EQ(clients[i].failures, 0) << "client " << i;
    }
    EXPECT_EQ(window.received.size(), 90u);
}
