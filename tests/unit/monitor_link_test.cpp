// Finding the language monitor's window, the heap blocks and the send.
#include <gtest/gtest.h>

#include "expected_values.h"
#include "monitor_link.h"
#include "payload_layout.h"
#include "test_registry.h"
#include "test_window.h"

namespace {

class MonitorLink : public ::testing::Test {
protected:
    void SetUp() override { DeleteMachineTree(L"SOFTWARE\\Mirel"); }
    void TearDown() override { DeleteMachineTree(L"SOFTWARE\\Mirel"); }
};

}  // namespace

// The value is little-endian and zero-extended; only a live window counts,
// so reserved values that SendMessageW would broadcast are no window.
TEST_F(MonitorLink, WindowHandleValueShapes) {
    EXPECT_EQ(GetMonitorWindow(), nullptr);  // no key at all

    TestWindow window = {};
    StartTestWindow(&window);
    ULONG_PTR live = reinterpret_cast<ULONG_PTR>(window.window);
    ASSERT_LT(live, 1ull << 32);
    SetMachineValue(kMonitorsKey, kWindowValue, REG_DWORD, Le32(DWORD(live)));
    EXPECT_EQ(GetMonitorWindow(), window.window);

    std::vector<BYTE> eight(8, 0);
    for (int i = 0; i < 8; ++i) eight[i] = BYTE(live >> (8 * i));
    SetMachineValue(kMonitorsKey, kWindowValue, REG_BINARY, eight);
    EXPECT_EQ(GetMonitorWindow(), window.window);

    std::vector<BYTE> twelve = eight;
    twelve.resize(12, 0);
    SetMachineValue(kMonitorsKey, kWindowValue, REG_BINARY, twelve);
    EXPECT_EQ(GetMonitorWindow(), nullptr);

    for (ULONG64 reserved : {0ull, 0xFFFFull, ~0ull, ~1ull, ~2ull}) {
        std::vector<BYTE> value(8, 0);
        for (int i = 0; i < 8; ++i) value[i] = BYTE(reserved >> (8 * i));
        SetMachineValue(kMonitorsKey, kWindowValue, REG_BINARY, value);
        EXPECT_EQ(GetMonitorWindow(), nullptr) << std::hex << reserved;
    }

    SetMachineValue(kMonitorsKey, kWindowValue, REG_BINARY, eight);
    StopTestWindow(&window);
    EXPECT_EQ(GetMonitorWindow(), nullptr);  // the window has gone
}

TEST(HeapBlocks, AreZeroFilledAndNullIsIgnored) {
    BYTE* block = static_cast<BYTE*>(AllocZeroed(4096));
    ASSERT_NE(block, nullptr);
    for (int i = 0; i < 4096; ++i) ASSERT_EQ(block[i], 0);
    FreeBlock(block);
    FreeBlock(nullptr);
}

TEST(RequestBlockBuilder, RefusesSizesOutsideTheArrays) {
    unsigned char data[32768] = {1, 2, 3};
    DWORD length = 0;
    for (long bad : {-1L, 32769L, 0x7FFFFFFFL}) {
        EXPECT_EQ(BuildRequestBlock(2, data, bad, data, 0, L"P", &length), nullptr) << bad;
        EXPECT_EQ(BuildRequestBlock(2, data, 0, data, bad, L"P", &length), nullptr) << bad;
    }
    void* block = BuildRequestBlock(2, data, 32768, data, 32768, L"P", &length);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(length, 26u + 2u + 65536u);
    FreeBlock(block);
}

TEST(SendToMonitor, DeliversTheBlockWithItsCode) {
    TestWindow window = {};
    StartTestWindow(&window);
    DWORD length = 0;
    void* block = BuildCommandBlock(true, 17, 3, L"P1", L"ab", &length);
    ASSERT_NE(block, nullptr);
    EXPECT_TRUE(SendToMonitor(window.window, kMessageCommand2, block, length));
    FreeBlock(block);
    StopTestWindow(&window);
    ASSERT_EQ(window.received.size(), 1u);
    EXPECT_EQ(window.received[0].code, kMessageCommand2);
    EXPECT_EQ(window.received[0].block.size(), 28u);
    EXPECT_EQ(window.received[0].block[0], 17);
}

// A monitor's window procedure may answer 0; the message still arrived,
// whatever error the calling thread had left from before.
TEST(SendToMonitor, AnAnswerOfZeroIsStillDelivered) {
    TestWindow window = {};
    window.answerZero = true;
    StartTestWindow(&window);
    BYTE block[18] = {};
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    EXPECT_TRUE(SendToMonitor(window.window, kMessageCommand, block, sizeof(block)));
    StopTestWindow(&window);
    EXPECT_EQ(window.received.size(), 1u);
}

TEST(SendToMonitor, ReportsAWindowThatNoLongerExists) {
    TestWindow window = {};
    StartTestWindow(&window);
    HWND stale = window.window;
    StopTestWindow(&window);
    BYTE block[18] = {};
    EXPECT_FALSE(SendToMonitor(stale, kMessageCommand, block, sizeof(block)));
}
