// RpcSendCommand and RpcSendCommand2 against a window that plays the
// language monitor: what is sent, and which verdict comes back.
#include <gtest/gtest.h>

#include <string>

#include "DeviceRpc.h"
#include "bridge_routines.h"
#include "expected_values.h"
#include "payload_layout.h"
#include "test_registry.h"
#include "test_window.h"

namespace {

class Commands : public ::testing::Test {
protected:
    void SetUp() override {
        DeleteMachineTree(L"SOFTWARE\\Mirel");
        window = {};
        StartTestWindow(&window);
        PublishWindowHandle(window.window, 8);
    }
    void TearDown() override {
        if (window.thread) StopTestWindow(&window);
        DeleteMachineTree(L"SOFTWARE\\Mirel");
    }
    void MonitorStoresFlag(const wchar_t* printer, std::vector<BYTE> data) {
        window.storeFlag = true;
        window.flagName = printer;
        window.flagData = data;
    }
    boolean Send(bool second, const wchar_t* printer, const wchar_t* argument) {
        wchar_t name[64];
        wchar_t arg[64];
        lstrcpyW(name, printer);
        lstrcpyW(arg, argument);
        return second ? RpcSendCommand2(nullptr, 1, 2, name, arg) : RpcSendCommand(nullptr, 1, 2, name, arg);
    }
    boolean SendName(bool second, std::wstring printer) {
        wchar_t argument[] = L"ab";
        return second ? RpcSendCommand2(nullptr, 1, 2, &printer[0], argument)
                      : RpcSendCommand(nullptr, 1, 2, &printer[0], argument);
    }
    TestWindow window;
};

// The CommandBlock the layout gives for `name` (and the argument "ab" for
// kMessageCommand2), built independently of the code under test.
std::vector<BYTE> ExpectedCommandBlock(bool second, const std::wstring& name) {
    std::vector<BYTE> block = {1, 0, 0, 0, 2, 0, 0, 0, 16, 0, 0, 0, 0, 0, 0, 0};
    size_t argumentOffset = 18 + 2 * name.size();
    if (second)
        for (int i = 0; i < 4; ++i) block[12 + i] = BYTE(argumentOffset >> (8 * i));
    for (wchar_t c : name) block.insert(block.end(), {BYTE(c), BYTE(c >> 8)});
    block.insert(block.end(), {0, 0});
    if (second) block.insert(block.end(), {'a', 0, 'b', 0, 0, 0});
    return block;
}

}  // namespace

TEST_F(Commands, NamesOfAnyLengthGoWholeAndTheirFlagDecides) {
    // A flag value name holds at most 16,383 characters: up to there the
    // monitor's verdict is read, beyond it there is none (TRUE).
    const struct {
        size_t length;
        boolean expected;
    } cases[] = {{300, FALSE}, {5000, FALSE}, {16383, FALSE}, {32000, TRUE}};
    for (const auto& c : cases) {
        std::wstring name(c.length, L'N');
        MonitorStoresFlag(name.c_str(), Le32(1));
        window.received.clear();
        EXPECT_EQ(SendName(false, name), c.expected) << c.length;
        EXPECT_EQ(SendName(true, name), c.expected) << c.length;
        ASSERT_EQ(window.received.size(), 2u) << c.length;
        EXPECT_EQ(window.received[0].code, kMessageCommand);
        EXPECT_EQ(window.received[0].block, ExpectedCommandBlock(false, name)) << c.length;
        EXPECT_EQ(window.received[1].code, kMessageCommand2);
        EXPECT_EQ(window.received[1].block, ExpectedCommandBlock(true, name)) << c.length;
    }
}

TEST_F(Commands, VerdictFollowsTheFailureFlagTheMonitorStores) {
    struct Case {
        const char* what;
        std::vector<BYTE> flag;
        boolean expected;
    } cases[] = {
        {"zero", Le32(0), TRUE},
        {"one", Le32(1), FALSE},
        {"any non-zero", Le32(0x80000000u), FALSE},
        {"two bytes non-zero", {0, 1}, FALSE},
        {"one byte zero", {0}, TRUE},
        {"eight bytes cannot be read", std::vector<BYTE>(8, 1), TRUE},
    };
    for (const Case& c : cases) {
        MonitorStoresFlag(L"Office", c.flag);
        EXPECT_EQ(Send(false, L"Office", L""), c.expected) << c.what;
        EXPECT_EQ(Send(true, L"Office", L"arg"), c.expected) << c.what;
    }
}

TEST_F(Commands, AbsentFlagMeansSuccess) {
    EXPECT_EQ(Send(false, L"Office", L""), TRUE);
    EXPECT_EQ(window.received.size(), 1u);
}

TEST_F(Commands, FlagIsNamedByTheClientPrinterNameOnly) {
    MonitorStoresFlag(L"OFFICE-SHARE", Le32(1));
    EXPECT_EQ(Send(true, L"Office", L"OFFICE-SHARE"), TRUE);  // not the argument's flag
    EXPECT_EQ(Send(true, L"OFFICE-SHARE", L""), FALSE);
}

TEST_F(Commands, BlocksAreExactAndTheArgumentOnlyGoesWithCommand2) {
    Send(false, L"P1", L"ignored argument");
    Send(true, L"P1", L"");
    ASSERT_EQ(window.received.size(), 2u);
    EXPECT_EQ(window.received[0].code, kMessageCommand);
    EXPECT_EQ(window.received[0].block,
              (std::vector<BYTE>{1, 0, 0, 0, 2, 0, 0, 0, 16, 0, 0, 0, 0, 0, 0, 0, 'P', 0, '1', 0, 0, 0}));
    EXPECT_EQ(window.received[1].code, kMessageCommand2);
    EXPECT_EQ(window.received[1].block,
              (std::vector<BYTE>{1, 0, 0, 0, 2, 0, 0, 0, 16, 0, 0, 0, 22, 0, 0, 0, 'P', 0, '1', 0, 0, 0, 0, 0}));
}

TEST_F(Commands, NoWindowMeansFailureWithoutAMessageOrAFlagRead) {
    SetMachineValue(kMonitorsKey, L"Office", REG_DWORD, Le32(0));
    SetMachineValue(kMonitorsKey, kWindowValue, REG_BINARY, std::vector<BYTE>(8, 0));
    EXPECT_EQ(Send(false, L"Office", L""), FALSE);
    DeleteMachineTree(kMonitorsKey);
    SetMachineValue(kMonitorsKey, L"Office", REG_DWORD, Le32(0));
    EXPECT_EQ(Send(true, L"Office", L""), FALSE);
    EXPECT_TRUE(window.received.empty());
}

TEST_F(Commands, HandleStoredInFourBytesReachesTheWindow) {
    ASSERT_EQ(reinterpret_cast<ULONG_PTR>(window.window) >> 32, 0u);
    PublishWindowHandle(window.window, 4);
    EXPECT_EQ(Send(false, L"Office", L""), TRUE);
    EXPECT_EQ(window.received.size(), 1u);
}

TEST_F(Commands, StaleWindowDoesNotReportAnOldVerdict) {
    // The last verdict stored for the printer was success; the window that
    // stored it is gone but its handle is still published.
    SetMachineValue(kMonitorsKey, L"Office", REG_DWORD, Le32(0));
    StopTestWindow(&window);
    window.thread = nullptr;
    EXPECT_EQ(Send(false, L"Office", L""), FALSE);
    EXPECT_EQ(Send(true, L"Office", L""), FALSE);
}

TEST(FailureFlag, UnreadableOrMissingKeyMeansSuccess) {
    DeleteMachineTree(L"SOFTWARE\\Mirel");
    EXPECT_EQ(ReadPrinterFailureFlag(L"Office"), 1u);
}
