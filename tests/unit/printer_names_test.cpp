// Printer name resolution over a spooler tree made in the registry.
#include <gtest/gtest.h>

#include <string>

#include "expected_values.h"
#include "printer_names.h"
#include "test_registry.h"

namespace {

const std::wstring kPrinters = kPrintersKey;
const std::wstring kDrivers =
    L"System\\CurrentControlSet\\Control\\Print\\Environments\\Windows x64\\Drivers\\Version-3";

std::vector<BYTE> Text(const std::wstring& text) {
    const BYTE* p = reinterpret_cast<const BYTE*>(text.c_str());
    return std::vector<BYTE>(p, p + (text.size() + 1) * sizeof(wchar_t));
}

struct SpoolerPrinter {
    std::wstring subkey;
    std::wstring name;
    std::wstring share;
    DWORD attributes;
    DWORD status;
    std::wstring driver;
};

class PrinterNames : public ::testing::Test {
protected:
    void SetUp() override {
        TearDown();
        AddDriver(L"Good Driver", kMonitorName);
        AddDriver(L"Other Driver", L"Other Monitor");
        AddDriver(L"Case Driver", L"zolt7 monitor");
    }
    void TearDown() override {
        DeleteMachineTree(kPrinters);
        DeleteMachineTree(kDrivers);
    }
    void AddDriver(const std::wstring& driver, const std::wstring& monitor) {
        SetMachineValue(kDrivers + L"\\" + driver, L"Monitor", REG_SZ, Text(monitor));
    }
    void AddPrinter(const SpoolerPrinter& p, bool withStatus = true, bool withAttributes = true) {
        std::wstring key = kPrinters + L"\\" + p.subkey;
        SetMachineValue(key, L"Name", REG_SZ, Text(p.name));
        SetMachineValue(key, L"Share Name", REG_SZ, Text(p.share));
        SetMachineValue(key, L"Printer Driver", REG_SZ, Text(p.driver));
        if (withAttributes) SetMachineValue(key, L"Attributes", REG_DWORD, Le32(p.attributes));
        if (withStatus) SetMachineValue(key, L"Status", REG_DWORD, Le32(p.status));
    }
    std::wstring Resolve(const wchar_t* client) {
        wchar_t local[kNameBufferChars] = L"untouched";
        if (!ResolveLocalPrinterName(client, local)) return L"(none: " + std::wstring(local) + L")";
        return local;
    }
};

const DWORD SHARED = PRINTER_ATTRIBUTE_SHARED;

}  // namespace

TEST_F(PrinterNames, NameInAnotherCaseAndShareNameResolveToTheSpoolersName) {
    AddPrinter({L"k1", L"Office Laser", L"OFFICE", SHARED, 0, L"Good Driver"});
    EXPECT_EQ(Resolve(L"office laser"), L"Office Laser");
    EXPECT_EQ(Resolve(L"Office"), L"Office Laser");
    EXPECT_EQ(Resolve(L"Nobody"), L"(none: untouched)");
}

TEST_F(PrinterNames, ShareNameCountsOnlyForSharedPrinters) {
    AddPrinter({L"k1", L"Office Laser", L"OFFICE", 0, 0, L"Good Driver"});
    EXPECT_EQ(Resolve(L"OFFICE"), L"(none: untouched)");
    EXPECT_EQ(Resolve(L"Office Laser"), L"Office Laser");
}

TEST_F(PrinterNames, SharedPrinterWithEmptyShareNameMatchesByName) {
    AddPrinter({L"k1", L"Office Laser", L"", SHARED, 0, L"Good Driver"});
    EXPECT_EQ(Resolve(L""), L"(none: untouched)");
    EXPECT_EQ(Resolve(L"OFFICE LASER"), L"Office Laser");
}

TEST_F(PrinterNames, PrintersThatDoNotQualifyAreNeverReturned) {
    AddPrinter({L"k1", L"Deleting", L"", 0, PRINTER_STATUS_PENDING_DELETION, L"Good Driver"});
    AddPrinter({L"k2", L"Foreign", L"", 0, 0, L"Other Driver"});
    AddPrinter({L"k3", L"Wrong Case", L"", 0, 0, L"Case Driver"});
    AddPrinter({L"k4", L"No Driver Key", L"", 0, 0, L"Missing Driver"});
    AddPrinter({L"k5", L"No Status", L"", 0, 0, L"Good Driver"}, false, true);
    AddPrinter({L"k6", L"No Attributes", L"", 0, 0, L"Good Driver"}, true, false);
    for (const wchar_t* name :
         {L"Deleting", L"Foreign", L"Wrong Case", L"No Driver Key", L"No Status", L"No Attributes"})
        EXPECT_EQ(Resolve(name), L"(none: untouched)") << name;
}

TEST_F(PrinterNames, LowerEnumerationIndexWinsAndSubkeyNamesAreNotCompared) {
    AddPrinter({L"a", L"First", L"SAME", SHARED, 0, L"Good Driver"});
    AddPrinter({L"b", L"Second", L"SAME", SHARED, 0, L"Good Driver"});
    EXPECT_EQ(Resolve(L"same"), L"First");
    EXPECT_EQ(Resolve(L"a"), L"(none: untouched)");
}

TEST_F(PrinterNames, OverlongNamesAreSkipped) {
    std::wstring longName(260, L'L');
    AddPrinter({L"k1", longName, L"LONG", SHARED, 0, L"Good Driver"});
    std::wstring longDriver(178, L'D');
    AddDriver(longDriver, kMonitorName);
    AddPrinter({L"k2", L"Long Driver", L"", 0, 0, longDriver});
    EXPECT_EQ(Resolve(L"LONG"), L"(none: untouched)");
    EXPECT_EQ(Resolve(L"Long Driver"), L"(none: untouched)");
    std::wstring fits(259, L'F');
    AddPrinter({L"k3", fits, L"FITS", SHARED, 0, L"Good Driver"});
    EXPECT_EQ(Resolve(L"FITS"), fits);
}

TEST_F(PrinterNames, NoSpoolerKey) {
    DeleteMachineTree(kPrinters);
    EXPECT_EQ(Resolve(L"Office"), L"(none: untouched)");
}
