// RpcDeviceRequestMapped against a window that answers through the reply
// mapping: the echo check, the result codes, the copy bounds, the mutex.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "DeviceRpc.h"
#include "expected_values.h"
#include "object_names.h"
#include "payload_layout.h"
#include "test_registry.h"
#include "test_window.h"

namespace {

const wchar_t kMapping[] = L"Global\\ZOLT7 DeviceRequest Mapped File";
const wchar_t kMutex[] = L"Global\\ZOLT7 DeviceRequest Mapped File Mutex";

struct MappedReply {
    DWORD reserved, success, error, echo;
    std::vector<BYTE> data;
    DWORD dataSize;
};

class MappedRequest : public ::testing::Test {
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

    // The monitor's part: opens the mapping by name and writes `reply`.
    void MonitorAnswers(MappedReply reply) {
        window.handler = [reply](ULONG_PTR, const std::vector<BYTE>&) {
            HANDLE mapping = OpenFileMappingW(FILE_MAP_WRITE, FALSE, kMapping);
            ASSERT_NE(mapping, nullptr);
            BYTE* view = static_cast<BYTE*>(MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0));
            WriteLe32(view + 0, reply.reserved);
            WriteLe32(view + 4, reply.success);
            WriteLe32(view + 8, reply.error);
            WriteLe32(view + 12, reply.echo);
            std::memcpy(view + 16, reply.data.data(), reply.data.size());
            WriteLe32(view + 32788, reply.dataSize);
            UnmapViewOfFile(view);
            CloseHandle(mapping);
        };
    }

    long Request(long code, long cbIn = 0) {
        wchar_t name[] = L"Office";
        wchar_t reserved[] = L"";
        return RpcDeviceRequestMapped(nullptr, code, in, cbIn, out, &cbOut, name, reserved);
    }

    long RequestNamed(long code, std::wstring name, long cbIn) {
        wchar_t reserved[] = L"";
        return RpcDeviceRequestMapped(nullptr, code, in, cbIn, out, &cbOut, &name[0], reserved);
    }

    TestWindow window;
    unsigned char in[32768];
    unsigned char out[32768];
    long cbOut = 32768;
};

DWORD WINAPI AbandonMutex(LPVOID) {
    HANDLE mutex = CreateMutexW(nullptr, FALSE, kMutex);
    WaitForSingleObject(mutex, INFINITE);
    return 0;  // ends while owning it, leaving it abandoned
}

}  // namespace

TEST_F(MappedRequest, SuccessCopiesExactlyDataSizeBytes) {
    std::vector<BYTE> data(32772);
    for (size_t i = 0; i < data.size(); ++i) data[i] = BYTE(i + 1);
    MonitorAnswers({0xFFFFFFFF, 1, 0, 4, data, 100});
    EXPECT_EQ(Request(4), 0);
    EXPECT_EQ(cbOut, 100);
    EXPECT_EQ(std::vector<BYTE>(out, out + 100), std::vector<BYTE>(data.begin(), data.begin() + 100));
    EXPECT_EQ(out[100], 0xCC);
    ASSERT_EQ(window.received.size(), 1u);
    EXPECT_EQ(window.received[0].code, kMessageDeviceRequestMapped);
}

TEST_F(MappedRequest, FailureResults) {
    const struct {
        const char* what;
        MappedReply reply;
        long expected;
        long cbOutAfter;
    } cases[] = {
        {"not completed", {0, 0, 31, 4, {}, 8}, 31, 8},
        {"not completed, no code", {0, 0, 0, 4, {}, 8}, 1, 8},
        {"echo differs", {0, 1, 50, 5, {}, 8}, 50, 32768},
        {"echo differs, no code", {0, 1, 0, 5, {}, 8}, 1, 32768},
        {"larger than the client's array", {0, 1, 0, 4, {}, 32769}, ERROR_INSUFFICIENT_BUFFER, 32769},
        {"absurd size", {0, 1, 0, 4, {}, 0xFFFFFFFF}, ERROR_INSUFFICIENT_BUFFER, -1},
    };
    for (const auto& c : cases) {
        MonitorAnswers(c.reply);
        cbOut = 32768;
        EXPECT_EQ(Request(4), c.expected) << c.what;
        EXPECT_EQ(cbOut, c.cbOutAfter) << c.what;
        EXPECT_EQ(out[0], 0xCC) << c.what;
    }
}

TEST_F(MappedRequest, ReservedFieldAndPrinterNameArePassedThrough) {
    MonitorAnswers({0x12345678, 1, 0, 9, {7}, 1});
    EXPECT_EQ(Request(9), 0);
    EXPECT_EQ(out[0], 7);
    const std::vector<BYTE>& block = window.received[0].block;
    EXPECT_EQ(block[24], 'O');  // the client's name, unresolved
}

TEST_F(MappedRequest, NamesOfAnyLengthGoWholeAndTheReplyComesBack) {
    for (size_t length : {260, 300, 5000, 32000}) {
        std::wstring name(length, L'N');
        name[length - 1] = L'Z';  // the whole name, not a prefix
        MonitorAnswers({0, 1, 0, 4, {5, 6}, 2});
        window.received.clear();
        in[0] = 9;
        in[1] = 8;
        cbOut = 3;
        EXPECT_EQ(RequestNamed(4, name, 2), 0) << length;
        EXPECT_EQ(cbOut, 2) << length;
        EXPECT_EQ(out[0], 5);
        EXPECT_EQ(out[1], 6);

        ASSERT_EQ(window.received.size(), 1u) << length;
        const std::vector<BYTE>& block = window.received[0].block;
        DWORD inputOffset = DWORD(26 + 2 * length);
        ASSERT_EQ(block.size(), inputOffset + 2 + 3) << length;
        const DWORD header[] = {4, inputOffset, 2, inputOffset + 2, 3, 24};
        for (int i = 0; i < 6; ++i) EXPECT_EQ(ReadLe32(&block[4 * i]), header[i]) << i;
        std::vector<BYTE> nameBytes;
        for (wchar_t c : name) nameBytes.insert(nameBytes.end(), {BYTE(c), 0});
        nameBytes.insert(nameBytes.end(), {0, 0});
        EXPECT_EQ(std::vector<BYTE>(block.begin() + 24, block.begin() + inputOffset), nameBytes);
        EXPECT_EQ(block[inputOffset], 9);
        EXPECT_EQ(block[inputOffset + 1], 8);
        EXPECT_EQ(std::vector<BYTE>(block.end() - 3, block.end()), std::vector<BYTE>(3, 0));
    }
}

TEST_F(MappedRequest, NoWindowStaleWindowAndRefusedSizes) {
    wchar_t name[] = L"Office";
    wchar_t reserved[] = L"";
    EXPECT_EQ(RpcDeviceRequestMapped(nullptr, 4, in, 0, out, nullptr, name, reserved),
              ERROR_INVALID_PARAMETER);
    cbOut = -5;
    EXPECT_EQ(Request(4), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(cbOut, -5);
    cbOut = 0;
    EXPECT_EQ(Request(4, 40000), ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(window.received.empty());

    StopTestWindow(&window);
    window.thread = nullptr;
    cbOut = 10;
    EXPECT_EQ(Request(4), ERROR_INVALID_HANDLE);
    EXPECT_EQ(cbOut, 0);
    DeleteMachineTree(kMonitorsKey);
    cbOut = 10;
    EXPECT_EQ(Request(4), ERROR_INVALID_HANDLE);
    EXPECT_EQ(cbOut, 0);
    EXPECT_EQ(RpcDeviceRequestMapped(nullptr, 4, in, 0, out, nullptr, name, reserved),
              ERROR_INVALID_HANDLE);
}

TEST_F(MappedRequest, AnAbandonedMutexDoesNotBlockTheNextCall) {
    HANDLE thread = CreateThread(nullptr, 0, AbandonMutex, nullptr, 0, nullptr);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    MonitorAnswers({0, 1, 0, 4, {1, 2}, 2});
    EXPECT_EQ(Request(4), 0);
    EXPECT_EQ(cbOut, 2);
}

TEST(GlobalObjectName, PrefixAndCapacity) {
    wchar_t name[260] = {};
    ASSERT_EQ(MakeGlobalObjectName(name, L"ZOLT7 DeviceRequest Mapped File", 260), 1);
    EXPECT_STREQ(name, L"Global\\ZOLT7 DeviceRequest Mapped File");
    wchar_t small[8] = {};
    EXPECT_EQ(MakeGlobalObjectName(small, L"A", 8), 0);  // 7 + 1 + terminator do not fit
    EXPECT_EQ(small[0], 0);
    EXPECT_EQ(MakeGlobalObjectName(small, L"", 8), 1);
    EXPECT_EQ(MakeGlobalObjectName(nullptr, L"A", 8), 0);
    EXPECT_EQ(MakeGlobalObjectName(name, nullptr, 8), 0);
}

namespace {

// Runs this test program again with the reported Windows version set to
// `version`, asking its probe to expect `expected` as the mapping's name.
DWORD RunProbeUnderVersion(const wchar_t* version, const wchar_t* expected) {
    HKEY wine = nullptr;
    RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Wine", 0, nullptr, 0, KEY_WRITE, nullptr, &wine,
                    nullptr);
    RegSetValueExW(wine, L"Version", 0, REG_SZ, reinterpret_cast<const BYTE*>(version),
                   DWORD((lstrlenW(version) + 1) * sizeof(wchar_t)));
    SetEnvironmentVariableW(L"DEVICERPC_EXPECT_OBJECT_NAME", expected);
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    wchar_t commandLine[MAX_PATH + 64];
    wsprintfW(commandLine, L"\"%s\" --gtest_filter=GlobalObjectNameProbe.*", self);
    STARTUPINFOW startup = {sizeof(startup)};
    PROCESS_INFORMATION process = {};
    DWORD code = 99;
    if (CreateProcessW(self, commandLine, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                       &process)) {
        WaitForSingleObject(process.hProcess, 60000);
        GetExitCodeProcess(process.hProcess, &code);
        CloseHandle(process.hProcess);
        CloseHandle(process.hThread);
    }
    SetEnvironmentVariableW(L"DEVICERPC_EXPECT_OBJECT_NAME", nullptr);
    RegDeleteValueW(wine, L"Version");
    RegCloseKey(wine);
    return code;
}

}  // namespace

TEST(GlobalObjectName, FollowsTheReportedWindowsVersion) {
    EXPECT_EQ(RunProbeUnderVersion(L"winxp64", L"Global\\ZOLT7 DeviceRequest Mapped File"), 0u);
    EXPECT_EQ(RunProbeUnderVersion(L"nt40", L"ZOLT7 DeviceRequest Mapped File"), 0u);
}

// Runs only as the child of the test above.
TEST(GlobalObjectNameProbe, NameMatchesExpectation) {
    wchar_t expected[260] = {};
    if (!GetEnvironmentVariableW(L"DEVICERPC_EXPECT_OBJECT_NAME", expected, 260))
        GTEST_SKIP() << "runs only under a chosen Windows version";
    wchar_t name[260] = {};
    if (!MakeGlobalObjectName(name, L"ZOLT7 DeviceRequest Mapped File", 260))
        lstrcpyW(name, L"ZOLT7 DeviceRequest Mapped File");
    EXPECT_STREQ(name, expected);
}
