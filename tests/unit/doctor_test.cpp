// DeviceRpcClient's deployment check: the decisions over prepared states,
// and the observation of prepared registry trees.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "doctor_rules.h"
#include "doctor_state.h"
#include "expected_values.h"
#include "test_registry.h"
#include "test_window.h"

namespace {

// The root of the printer data keys, spelled here to check the doctor's.
const wchar_t kStoreRoot[] = L"SOFTWARE\\Mirel\\ZOLT7\\";

}  // namespace

// -- deployment decisions ----------------------------------------------------------

namespace {

void SetValue(ObservedValue* v, std::initializer_list<BYTE> bytes, DWORD size = 0) {
    ZeroMemory(v, sizeof(*v));
    v->present = true;
    v->type = REG_BINARY;
    v->size = size ? size : DWORD(bytes.size());
    int i = 0;
    for (BYTE b : bytes)
        if (i < 8) v->head[i++] = b;
}

// A deployment with nothing wrong: a live window, one shared printer that
// resolves by name and share name, its data and flags, a listening server.
DeploymentState* HealthyState() {
    static DeploymentState state;
    ZeroMemory(&state, sizeof(state));
    state.monitorsKeyPresent = true;
    SetValue(&state.windowHandle, {0x34, 0x12, 0, 0, 0, 0, 0, 0});
    state.windowAlive = true;
    state.windowProcessId = 42;
    state.printersKeyPresent = true;
    state.printerCount = 1;
    PrinterObservation& p = state.printers[0];
    lstrcpyW(p.subkey, L",,PRINTSRV,Lab Color");
    p.hasName = p.hasShareName = p.hasAttributes = p.hasStatus = p.hasDriver = true;
    lstrcpyW(p.name, L"\\\\PRINTSRV\\Lab Color");
    lstrcpyW(p.shareName, L"LAB");
    p.attributes = PRINTER_ATTRIBUTE_SHARED;
    lstrcpyW(p.driver, L"Lab Driver");
    p.driverKeyFound = p.hasMonitor = true;
    lstrcpyW(p.monitor, kMonitorName);
    lstrcpyW(p.resolvedByName, p.name);
    lstrcpyW(p.resolvedByShare, p.name);
    PrinterKeyNameFor(p.name, p.keyName);
    p.dataKeyPresent = true;
    for (int v = 0; v < DATA_VALUE_COUNT; ++v) {
        const DataValueRule& rule = DataValueRuleFor(v);
        if (lstrcmpW(rule.name, kFlagWritten) == 0)
            SetValue(&p.values[v], {1});
        else if (rule.maxBytes == 0)
            SetValue(&p.values[v], {1, 2, 3, 4});  // ReturnValue, four bytes
        else
            SetValue(&p.values[v], {1}, rule.maxBytes);
    }
    SetValue(&p.values[DV_FLASH_SIZE], {4, 0, 0, 0});
    state.serverObjectsChecked = state.instanceMutexPresent = true;
    for (bool& e : state.controlEventsPresent) e = true;
    state.endpointMapChecked = state.endpointMapAnswered = true;
    for (EndpointObservation& e : state.endpoints) e.tried = e.answered = true;
    return &state;
}

struct Diagnosis {
    FindingList list;
    std::wstring text;
    int count(FindingLevel level) const {
        int n = 0;
        for (int i = 0; i < list.count; ++i) n += list.items[i].level == level;
        return n;
    }
    bool has(const wchar_t* line) const { return text.find(line) != std::wstring::npos; }
};

Diagnosis& Diagnose(const DeploymentState& state) {
    static Diagnosis d;
    static wchar_t storage[200000];
    ZeroMemory(&d.list, sizeof(d.list));
    DiagnoseDeployment(state, &d.list);
    TextBuffer out;
    InitText(&out, storage, 200000);
    FormatFindings(d.list, &out);
    d.text = out.text;
    return d;
}

}  // namespace

TEST(ClientDoctorRules, AHealthyDeploymentHasOnlyOkFindings) {
    Diagnosis& d = Diagnose(*HealthyState());
    EXPECT_EQ(d.count(FINDING_FAIL), 0) << d.text;
    EXPECT_EQ(d.count(FINDING_WARN), 0) << d.text;
    EXPECT_TRUE(DeploymentHealthy(d.list));
    EXPECT_TRUE(d.has(L"ok   \"LP Window handle\" 0x1234 is a live window of process 42\n"));
    EXPECT_TRUE(d.has(L"ok   printer \"\\\\PRINTSRV\\Lab Color\": driver \"Lab Driver\" names "
                      L"\"ZOLT7 Monitor\"; clients reach it by its name and by share name \"LAB\"\n"));
    EXPECT_TRUE(d.has(L"data key HKLM\\SOFTWARE\\Mirel\\ZOLT7\\,,PRINTSRV,Lab Color; handshake "
                      L"flags: config set, bins set, write-bins set,"));
    EXPECT_TRUE(d.has(L"\nhealthy: 0 warnings\n"));
}

TEST(ClientDoctorRules, MonitorWindowProblemsEachFailWithTheirCause) {
    DeploymentState* state = HealthyState();
    state->windowHandle.present = false;
    EXPECT_TRUE(Diagnose(*state).has(L"FAIL \"LP Window handle\" is missing: no language monitor "
                                     L"window, every call fails -> start the ZOLT7 Monitor"));
    SetValue(&state->windowHandle, {1, 2, 3, 4, 5, 6, 7, 8}, 12);
    EXPECT_TRUE(Diagnose(*state).has(L"FAIL \"LP Window handle\" is 12 bytes; the server reads at "
                                     L"most 8 and finds no window"));
    SetValue(&state->windowHandle, {0, 0, 0, 0});
    EXPECT_TRUE(Diagnose(*state).has(L"FAIL \"LP Window handle\" is 0: the monitor has no window"));
    SetValue(&state->windowHandle, {0x78, 0x56, 0, 0});
    state->windowAlive = false;
    Diagnosis& d = Diagnose(*state);
    EXPECT_TRUE(d.has(L"FAIL \"LP Window handle\" 0x5678 is not a window"));
    EXPECT_FALSE(DeploymentHealthy(d.list));
    state->monitorsKeyPresent = false;
    EXPECT_TRUE(Diagnose(*state).has(
        L"FAIL Monitors key HKLM\\SOFTWARE\\Mirel\\ZOLT7\\Monitors\\ZOLT7 Monitor is missing"));
}

TEST(ClientDoctorRules, PrintersTheServerWouldSkipOrMisresolve) {
    DeploymentState* state = HealthyState();
    PrinterObservation& p = state->printers[0];
    p.status = PRINTER_STATUS_PENDING_DELETION;
    EXPECT_TRUE(Diagnose(*state).has(L"FAIL printer \"\\\\PRINTSRV\\Lab Color\" is pending deletion"));

    p.status = 0;
    lstrcpyW(p.resolvedByShare, L"Older Printer");
    EXPECT_TRUE(Diagnose(*state).has(
        L"FAIL printer \"\\\\PRINTSRV\\Lab Color\": clients using its share name \"LAB\" reach "
        L"printer \"Older Printer\", which comes first in the spooler's list -> give one of"));

    lstrcpyW(p.resolvedByShare, p.name);
    p.shareName[0] = 0;
    Diagnosis& empty = Diagnose(*state);
    EXPECT_TRUE(empty.has(L"warn printer \"\\\\PRINTSRV\\Lab Color\" is shared with an empty share name"));
    EXPECT_TRUE(DeploymentHealthy(empty.list));

    lstrcpyW(p.monitor, L"zolt7 monitor");
    Diagnosis& d = Diagnose(*state);
    EXPECT_TRUE(d.has(L"names \"zolt7 monitor\"; the server compares with regard to case and skips "
                      L"the printer -> set the driver's \"Monitor\" value to exactly \"ZOLT7 Monitor\""));
    EXPECT_TRUE(d.has(L"FAIL no printer is served by the ZOLT7 Monitor (0 others)"));

    DeploymentState* only = HealthyState();
    only->onlyPrinter = L"Nobody";
    EXPECT_TRUE(Diagnose(*only).has(L"FAIL \"Nobody\" reaches no printer served by the ZOLT7 Monitor"));
}

TEST(ClientDoctorRules, DataValuesAndFlagsTheServerCannotUse) {
    DeploymentState* state = HealthyState();
    PrinterObservation& p = state->printers[0];
    SetValue(&p.values[DV_CONFIG_ACQUIRED], {1}, 8);
    SetValue(&p.values[DV_BIN_WRITTEN], {2});
    SetValue(&p.values[DV_CALIBRATION_ACQUIRED], {0});
    p.values[DV_FIRMWARE].present = false;
    SetValue(&p.values[DV_BIN_ACQUIRED], {1, 0, 0, 0});
    p.values[DV_BIN2_LEVEL].present = false;
    Diagnosis& d = Diagnose(*state);
    EXPECT_TRUE(d.has(L"FAIL printer \"\\\\PRINTSRV\\Lab Color\": \"Acquired\" in \\Driver\\Config is "
                      L"8 bytes; the server reads at most 4, so config requests fail -> the monitor "
                      L"must store \"Acquired\" with at most 4 bytes\n"));
    EXPECT_TRUE(d.has(L"\"Written\" in \\Driver\\BinInfo\\ is 0x02; only 0x01 counts"));
    EXPECT_TRUE(d.has(L"warn printer \"\\\\PRINTSRV\\Lab Color\": \"Acquired\" in \\Driver\\Calibration "
                      L"is cleared: the last calibration request failed or was not answered"));
    EXPECT_TRUE(d.has(L"\"Acquired\" is set in \\Driver\\BinInfo\\ but \"dwPaperLevel\" in "
                      L"\\Driver\\BinInfo\\2 is missing, so bins requests fail"));
    // The config flag cannot be read, so its missing value is not blamed on it.
    EXPECT_FALSE(d.has(L"\"dwFirmVersion\" in \\Driver\\Config is missing"));
    EXPECT_EQ(d.count(FINDING_FAIL), 3) << d.text;

    DeploymentState* flash = HealthyState();
    SetValue(&flash->printers[0].values[DV_FLASH_RETURN_VALUE], {1, 2, 3, 4, 5, 6}, 6);
    EXPECT_TRUE(Diagnose(*flash).has(L"\"ReturnValue\" in \\Driver\\FlashData is 6 bytes but "
                                     L"\"dwSize\" is 4; the server reads 4 bytes, so flash requests fail"));
    SetValue(&flash->printers[0].values[DV_FLASH_SIZE], {0xfd, 0x7f, 0, 0});  // 32765
    EXPECT_TRUE(Diagnose(*flash).has(L"\"dwSize\" in \\Driver\\FlashData is 32765"));

    DeploymentState* fresh = HealthyState();
    fresh->printers[0].dataKeyPresent = false;
    Diagnosis& none = Diagnose(*fresh);
    EXPECT_TRUE(none.has(L"warn printer \"\\\\PRINTSRV\\Lab Color\": no data key "
                         L"HKLM\\SOFTWARE\\Mirel\\ZOLT7\\,,PRINTSRV,Lab Color -> no device request"));
    EXPECT_TRUE(DeploymentHealthy(none.list));
}

TEST(ClientDoctorRules, ServerFindingsAndRemediesFollowWhetherItRuns) {
    DeploymentState* state = HealthyState();
    state->endpoints[PROTSEQ_NP].answered = false;
    state->endpoints[PROTSEQ_NP].status = RPC_S_SERVER_UNAVAILABLE;
    lstrcpyW(state->endpoints[PROTSEQ_NP].endpoint, L"\\pipe\\ZOLT7");
    lstrcpyW(state->endpoints[PROTSEQ_NP].statusText, L"RPC server unavailable");
    state->endpoints[PROTSEQ_TCP].tried = false;
    Diagnosis& running = Diagnose(*state);
    EXPECT_TRUE(running.has(L"FAIL no answer on ncacn_np endpoint \\pipe\\ZOLT7: 1722 (RPC server "
                            L"unavailable) -> signal ZOLT7SM_EVENT_RPC_START"));
    EXPECT_TRUE(running.has(L"warn ncacn_ip_tcp not checked"));
    EXPECT_EQ(running.count(FINDING_FAIL), 1);

    state->controlEventsPresent[1] = false;
    EXPECT_TRUE(Diagnose(*state).has(L"FAIL control events missing: ZOLT7SM_EVENT_RPC_STOP; the "
                                     L"server waits until all three exist"));

    state->instanceMutexPresent = false;
    Diagnosis& stopped = Diagnose(*state);
    EXPECT_TRUE(stopped.has(L"FAIL the server is not running: no instance mutex ZOLT7-rpc-mutex"));
    EXPECT_TRUE(stopped.has(L"\\pipe\\ZOLT7: 1722 (RPC server unavailable) -> start "
                            L"DeviceRpcServer.exe through its controlling process"));
    EXPECT_FALSE(stopped.has(L"control events missing"));
}

TEST(ClientDoctorRules, FindingsAsJson) {
    FindingList* list = new FindingList();
    AddFinding(list, FINDING_OK, L"", L"fine");
    AddFinding(list, FINDING_FAIL, L"fix \"it\"", L"broken %d", 7);
    wchar_t storage[400];
    TextBuffer out;
    InitText(&out, storage, 400);
    FormatFindingsJson(*list, &out);
    EXPECT_STREQ(out.text, L"{\"healthy\":false,\"truncated\":false,\"findings\":["
                           L"{\"level\":\"ok\",\"what\":\"fine\",\"remedy\":\"\"},"
                           L"{\"level\":\"fail\",\"what\":\"broken 7\",\"remedy\":\"fix \\\"it\\\"\"}]}\n");
    delete list;
}

// -- observing prepared registry trees ---------------------------------------------

namespace {

const std::wstring kDrivers =
    L"System\\CurrentControlSet\\Control\\Print\\Environments\\Windows x64\\Drivers\\Version-3";

std::vector<BYTE> Text(const std::wstring& text) {
    const BYTE* p = reinterpret_cast<const BYTE*>(text.c_str());
    return std::vector<BYTE>(p, p + (text.size() + 1) * sizeof(wchar_t));
}

class ClientDoctorState : public ::testing::Test {
protected:
    void SetUp() override {
        TearDown();
        SetMachineValue(kDrivers + L"\\Lab Driver", L"Monitor", REG_SZ, Text(kMonitorName));
        SetMachineValue(kDrivers + L"\\Other Driver", L"Monitor", REG_SZ, Text(L"Other Monitor"));
        AddPrinter(L"a", L"Front Desk", L"", 0, L"Other Driver");
        AddPrinter(L",,PRINTSRV,Lab Color", L"\\\\PRINTSRV\\Lab Color", L"LAB",
                   PRINTER_ATTRIBUTE_SHARED, L"Lab Driver");
        state = new DeploymentState();
    }
    void TearDown() override {
        DeleteMachineTree(kPrintersKey);
        DeleteMachineTree(kDrivers);
        DeleteMachineTree(L"SOFTWARE\\Mirel");
        delete state;
        state = nullptr;
    }
    void AddPrinter(const std::wstring& subkey, const std::wstring& name, const std::wstring& share,
                    DWORD attributes, const std::wstring& driver) {
        std::wstring key = std::wstring(kPrintersKey) + L"\\" + subkey;
        SetMachineValue(key, L"Name", REG_SZ, Text(name));
        SetMachineValue(key, L"Share Name", REG_SZ, Text(share));
        SetMachineValue(key, L"Printer Driver", REG_SZ, Text(driver));
        SetMachineValue(key, L"Attributes", REG_DWORD, Le32(attributes));
        SetMachineValue(key, L"Status", REG_DWORD, Le32(0));
    }
    const PrinterObservation* Find(const wchar_t* name) {
        for (int i = 0; i < state->printerCount; ++i)
            if (lstrcmpW(state->printers[i].name, name) == 0) return &state->printers[i];
        return nullptr;
    }
    DeploymentState* state = nullptr;
};

}  // namespace

TEST_F(ClientDoctorState, PrintersAreSeenAsTheServerResolvesThem) {
    const std::wstring data = std::wstring(kStoreRoot) + L",,PRINTSRV,Lab Color";
    SetMachineValue(data + kSubkeyConfig, kFlagAcquired, REG_BINARY, {1});
    SetMachineValue(data + kSubkeyConfig, L"dwDuplex", REG_DWORD, Le32(1));
    SetMachineValue(data + kSubkeyBinInfo, kFlagWritten, REG_DWORD, Le32(1));
    ObservePrinters(state);
    ASSERT_EQ(state->printerCount, 2);
    const PrinterObservation* lab = Find(L"\\\\PRINTSRV\\Lab Color");
    ASSERT_NE(lab, nullptr);
    EXPECT_TRUE(PrinterServed(*lab));
    EXPECT_STREQ(lab->shareName, L"LAB");
    EXPECT_STREQ(lab->resolvedByShare, lab->name);
    EXPECT_STREQ(lab->keyName, L",,PRINTSRV,Lab Color");
    EXPECT_TRUE(lab->dataKeyPresent);
    EXPECT_EQ(lab->values[DV_CONFIG_ACQUIRED].size, 1u);
    EXPECT_EQ(lab->values[DV_DUPLEX].type, DWORD(REG_DWORD));
    EXPECT_FALSE(lab->values[DV_FIRMWARE].present);
    EXPECT_EQ(lab->values[DV_BIN_WRITTEN].size, 4u);
    const PrinterObservation* desk = Find(L"Front Desk");
    ASSERT_NE(desk, nullptr);
    EXPECT_FALSE(PrinterServed(*desk));

    // The observed state leads to the findings the deployment deserves.
    FindingList* findings = new FindingList();
    CheckPrinters(*state, findings);
    wchar_t storage[20000];
    TextBuffer out;
    InitText(&out, storage, 20000);
    FormatFindings(*findings, &out);
    std::wstring text = out.text;
    EXPECT_NE(text.find(L"\"Written\" in \\Driver\\BinInfo\\ is 4 bytes; the server reads at most 1"),
              std::wstring::npos) << text;
    EXPECT_NE(text.find(L"\"Acquired\" is set in \\Driver\\Config but \"dwNumCassette\""),
              std::wstring::npos) << text;
    EXPECT_NE(text.find(L"ok   1 other printer uses other monitors"), std::wstring::npos) << text;
    delete findings;
}

TEST_F(ClientDoctorState, OnePrinterByShareNameAndAPendingDeletion) {
    AddPrinter(L"b", L"Going", L"", 0, L"Lab Driver");
    SetMachineValue(std::wstring(kPrintersKey) + L"\\b", L"Status", REG_DWORD,
                    Le32(PRINTER_STATUS_PENDING_DELETION));
    state->onlyPrinter = L"lab";
    ObservePrinters(state);
    EXPECT_STREQ(state->onlyPrinterResolved, L"\\\\PRINTSRV\\Lab Color");
    ASSERT_EQ(state->printerCount, 1);
    EXPECT_FALSE(state->printers[0].dataKeyPresent);

    ZeroMemory(state, sizeof(*state));
    ObservePrinters(state);
    const PrinterObservation* going = Find(L"Going");
    ASSERT_NE(going, nullptr);
    EXPECT_EQ(going->status, DWORD(PRINTER_STATUS_PENDING_DELETION));
    EXPECT_STREQ(going->resolvedByName, L"");  // the server skips it
}

TEST_F(ClientDoctorState, WindowHandleIsCheckedForALiveWindow) {
    TestWindow window;
    StartTestWindow(&window);
    PublishWindowHandle(window.window, 4);
    ObserveMonitorWindow(state);
    EXPECT_TRUE(state->monitorsKeyPresent);
    EXPECT_EQ(state->windowHandle.size, 4u);
    EXPECT_TRUE(state->windowAlive);
    EXPECT_EQ(state->windowProcessId, GetCurrentProcessId());
    StopTestWindow(&window);

    ZeroMemory(state, sizeof(*state));
    ObserveMonitorWindow(state);
    EXPECT_TRUE(state->windowHandle.present);
    EXPECT_FALSE(state->windowAlive);  // the handle outlived its window

    SetMachineValue(kMonitorsKey, kWindowValue, REG_BINARY, std::vector<BYTE>(12, 1));
    ZeroMemory(state, sizeof(*state));
    ObserveMonitorWindow(state);
    EXPECT_EQ(state->windowHandle.size, 12u);
    EXPECT_FALSE(state->windowAlive);
}
