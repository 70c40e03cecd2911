// The per-printer data tree: path composition and the read and write
// semantics the handshake with the language monitor relies on.
#include <gtest/gtest.h>

#include <string>

#include "expected_values.h"
#include "printer_store.h"
#include "test_registry.h"

namespace {

class PrinterStore : public ::testing::Test {
protected:
    void SetUp() override { DeleteMachineTree(L"SOFTWARE\\Mirel"); }
    void TearDown() override { DeleteMachineTree(L"SOFTWARE\\Mirel"); }
};

}  // namespace

TEST(PrinterKeyPath, BackslashesBecomeCommasAndNothingElseChanges) {
    wchar_t path[kPrinterKeyPathChars];
    ASSERT_TRUE(ComposePrinterKeyPath(L"\\\\Host\\Office Laser", kSubkeyConfig, path));
    EXPECT_STREQ(path, L"SOFTWARE\\Mirel\\ZOLT7\\,,Host,Office Laser\\Driver\\Config");
}

TEST(PrinterKeyPath, ALongestFittingNameAndOneCharacterMore) {
    // 21 + name + 24 characters and the terminator fill 520 at most.
    std::wstring name(474, L'n');
    wchar_t path[kPrinterKeyPathChars];
    EXPECT_TRUE(ComposePrinterKeyPath(name.c_str(), kSubkeyServiceSettings, path));
    EXPECT_EQ(lstrlenW(path), 519);
    name += L'n';
    EXPECT_FALSE(ComposePrinterKeyPath(name.c_str(), kSubkeyServiceSettings, path));
}

TEST_F(PrinterStore, ReadAndWriteReachTheSameKeyForNamesWithBackslashes) {
    BYTE zero = 0;
    ASSERT_TRUE(WritePrinterValue(HKEY_LOCAL_MACHINE, L"\\\\srv\\P", kSubkeyCounter, kFlagAcquired,
                                  REG_BINARY, &zero, 1));
    EXPECT_TRUE(MachineKeyExists(L"SOFTWARE\\Mirel\\ZOLT7\\,,srv,P\\Driver\\Counter"));
    DWORD flag = 0xFFFFFFFF;
    ASSERT_TRUE(ReadPrinterValue(HKEY_LOCAL_MACHINE, L"\\\\srv\\P", kSubkeyCounter, kFlagAcquired,
                                 REG_BINARY, &flag, sizeof(flag)));
    EXPECT_EQ(flag, 0xFFFFFF00u);  // only the stored byte is written
}

TEST_F(PrinterStore, NamesDifferingOnlyInCaseShareTheirKey) {
    SetMachineValue(L"SOFTWARE\\Mirel\\ZOLT7\\Office\\Driver\\Config", L"dwDuplex", REG_DWORD, Le32(5));
    DWORD value = 0;
    EXPECT_TRUE(ReadPrinterValue(HKEY_LOCAL_MACHINE, L"OFFICE", kSubkeyConfig, L"DWDUPLEX",
                                 REG_DWORD, &value, 4));
    EXPECT_EQ(value, 5u);
}

TEST_F(PrinterStore, ReadSemantics) {
    const wchar_t* key = L"SOFTWARE\\Mirel\\ZOLT7\\P\\Driver\\Calibration";
    // A shorter value is zero-filled by the caller's preset.
    SetMachineValue(key, L"CalibrationData", REG_BINARY, std::vector<BYTE>(20, 0xAB));
    BYTE calibration[60] = {};
    ASSERT_TRUE(ReadPrinterValue(HKEY_LOCAL_MACHINE, L"P", kSubkeyCalibration, L"CalibrationData",
                                 REG_BINARY, calibration, 60));
    EXPECT_EQ(calibration[19], 0xAB);
    EXPECT_EQ(calibration[20], 0);
    EXPECT_EQ(calibration[59], 0);

    // A longer value fails and leaves the destination alone.
    SetMachineValue(key, L"CalibrationData", REG_BINARY, std::vector<BYTE>(61, 0xCD));
    BYTE untouched[60] = {};
    EXPECT_FALSE(ReadPrinterValue(HKEY_LOCAL_MACHINE, L"P", kSubkeyCalibration, L"CalibrationData",
                                  REG_BINARY, untouched, 60));
    EXPECT_EQ(untouched[0], 0);

    // The requested type is not enforced.
    SetMachineValue(key, L"Four", REG_BINARY, Le32(0x01020304));
    DWORD four = 0;
    EXPECT_TRUE(ReadPrinterValue(HKEY_LOCAL_MACHINE, L"P", kSubkeyCalibration, L"Four", REG_DWORD,
                                 &four, 4));
    EXPECT_EQ(four, 0x01020304u);

    // Missing values and keys fail.
    EXPECT_FALSE(ReadPrinterValue(HKEY_LOCAL_MACHINE, L"P", kSubkeyCalibration, L"Missing",
                                  REG_BINARY, &four, 4));
    EXPECT_FALSE(ReadPrinterValue(HKEY_LOCAL_MACHINE, L"Nobody", kSubkeyCalibration, L"Four",
                                  REG_BINARY, &four, 4));
}

TEST_F(PrinterStore, AbsentNamesAndOversizedPathsTouchNothing) {
    BYTE zero = 0;
    DWORD value = 0;
    EXPECT_FALSE(WritePrinterValue(HKEY_LOCAL_MACHINE, L"P", kSubkeyConfig, nullptr, REG_BINARY, &zero, 1));
    EXPECT_FALSE(WritePrinterValue(HKEY_LOCAL_MACHINE, nullptr, kSubkeyConfig, kFlagAcquired, REG_BINARY, &zero, 1));
    EXPECT_FALSE(ReadPrinterValue(HKEY_LOCAL_MACHINE, L"P", nullptr, kFlagAcquired, REG_BINARY, &value, 4));
    EXPECT_FALSE(MachineKeyExists(L"SOFTWARE\\Mirel\\ZOLT7\\P"));
    std::wstring tooLong(500, L'x');
    EXPECT_FALSE(WritePrinterValue(HKEY_LOCAL_MACHINE, tooLong.c_str(), kSubkeyConfig, kFlagAcquired,
                                   REG_BINARY, &zero, 1));
}

TEST_F(PrinterStore, FlagClearCreatesMissingKeysWithOneZeroByte) {
    BYTE zero = 0;
    ASSERT_TRUE(WritePrinterValue(HKEY_LOCAL_MACHINE, L"New", kSubkeyServiceSettings, kFlagAcquired,
                                  REG_BINARY, &zero, 1));
    std::vector<BYTE> stored;
    ASSERT_TRUE(GetMachineValue(L"SOFTWARE\\Mirel\\ZOLT7\\New\\Driver\\Service Settings",
                                kFlagAcquired, &stored));
    EXPECT_EQ(stored, std::vector<BYTE>{0});
}

TEST(FlagKey, AcquireRequestsOnly) {
    struct Case {
        LONG request;
        DWORD selector;
        const wchar_t* key;
    } cases[] = {
        {kRequestConfig, 0, kSubkeyConfig},
        {kRequestBinInfo, 0, kSubkeyBinInfo},
        {kRequestCalibration, 0, kSubkeyCalibration},
        {kRequestCounter, 12, kSubkeyCounter},
        {kRequestFlashData, 12, kSubkeyServiceSettings},
        {kRequestFlashData, 10, kSubkeyFlashData},
        {kRequestFlashData, 255, kSubkeyFlashData},
        {kRequestBinInfoWrite, 0, nullptr},
        {kRequestFlashDataWrite, 12, nullptr},
        {7, 0, nullptr},
        {-1, 0, nullptr},
    };
    for (const Case& c : cases) {
        wchar_t subkey[kNameBufferChars] = L"untouched";
        EXPECT_EQ(FlagKeyForRequest(c.request, c.selector, subkey), c.key != nullptr) << c.request;
        EXPECT_STREQ(subkey, c.key ? c.key : L"untouched") << c.request;
    }
}

TEST(FlagKey, WriteRequestsOnly) {
    struct Case {
        LONG request;
        DWORD selector;
        const wchar_t* key;
    } cases[] = {
        {kRequestBinInfoWrite, 12, kSubkeyBinInfo},
        {kRequestFlashDataWrite, 12, kSubkeyServiceSettings},
        {kRequestFlashDataWrite, 0, kSubkeyFlashData},
        {kRequestFlashDataWrite, 255, kSubkeyFlashData},
        {kRequestBinInfo, 0, nullptr},
        {kRequestFlashData, 12, nullptr},
        {-1, 0, nullptr},
    };
    for (const Case& c : cases) {
        wchar_t subkey[kNameBufferChars] = L"untouched";
        EXPECT_EQ(FlagKeyForWriteRequest(c.request, c.selector, subkey), c.key != nullptr)
            << c.request;
        EXPECT_STREQ(subkey, c.key ? c.key : L"untouched") << c.request;
    }
}
