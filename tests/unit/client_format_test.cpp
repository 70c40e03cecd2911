// DeviceRpcClient's reply decoding and formatting, and its deployment
// check: the decisions over prepared states, and the observation of
// prepared registry trees.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "doctor_rules.h"
#include "doctor_state.h"
#include "reply_format.h"
#include "devicerpc_contract.h"
#include "test_registry.h"
#include "test_window.h"

namespace {

std::vector<BYTE> Words(std::initializer_list<DWORD> words) {
    std::vector<BYTE> bytes;
    for (DWORD w : words)
        for (int i = 0; i < 4; ++i) bytes.push_back(BYTE(w >> (8 * i)));
    return bytes;
}

std::wstring Table(ReplyKind kind, const std::vector<BYTE>& bytes, BYTE selector = 0,
                   bool* decoded = nullptr) {
    static wchar_t storage[16384];
    TextBuffer out;
    InitText(&out, storage, 16384);
    bool ok = FormatReplyTable(kind, selector, bytes.data(), DWORD(bytes.size()), &out);
    if (decoded) *decoded = ok;
    return out.text;
}

std::wstring Json(ReplyKind kind, const std::vector<BYTE>& bytes, BYTE selector = 0) {
    static wchar_t storage[16384];
    TextBuffer out;
    InitText(&out, storage, 16384);
    FormatReplyJson(kind, selector, bytes.data(), DWORD(bytes.size()), &out);
    return out.text;
}

std::vector<BYTE> ConfigBytes() {
    std::vector<BYTE> bytes = Words({32, 2, 1, 3});
    bytes.resize(32, 0);
    return bytes;
}

}  // namespace

// -- reply records ------------------------------------------------------------

TEST(ClientFormat, ConfigReplyDecodesToItsFourFields) {
    ConfigRecord r;
    std::vector<BYTE> bytes = ConfigBytes();
    ASSERT_TRUE(DecodeConfigReply(bytes.data(), 32, &r));
    EXPECT_EQ(r.recordLength, 32u);
    EXPECT_EQ(r.cassettes, 2u);
    EXPECT_EQ(r.duplex, 1u);
    EXPECT_EQ(r.firmware, 3u);
    EXPECT_TRUE(r.reservedZero);
    EXPECT_EQ(Table(REPLY_CONFIG, bytes),
              L"field          value       hex\n"
              L"record length  32          0x00000020\n"
              L"cassettes      2           0x00000002\n"
              L"duplex         1           0x00000001\n"
              L"firmware       3           0x00000003\n");
    EXPECT_EQ(Json(REPLY_CONFIG, bytes),
              L"{\"record_length\":32,\"cassettes\":2,\"duplex\":1,\"firmware\":3,"
              L"\"reserved_zero\":true}");
    bytes[20] = 7;
    EXPECT_NE(Table(REPLY_CONFIG, bytes).find(L"note: reserved bytes 16 to 31 are not zero"),
              std::wstring::npos);
}

TEST(ClientFormat, RepliesOfTheWrongLengthAreShownAsBytesAndNotDecoded) {
    bool decoded = true;
    std::vector<BYTE> shortConfig = Words({32, 2, 1});
    std::wstring text = Table(REPLY_CONFIG, shortConfig, 0, &decoded);
    EXPECT_FALSE(decoded);
    EXPECT_EQ(text, L"reply: 12 bytes, not a 32-byte ConfigReply\n"
                    L"offset  bytes\n"
                    L"0000    20 00 00 00 02 00 00 00 01 00 00 00\n");
    EXPECT_EQ(Json(REPLY_CONFIG, shortConfig), L"null");
    Table(REPLY_BIN_INFO, ConfigBytes(), 0, &decoded);
    EXPECT_FALSE(decoded);
    Table(REPLY_FLASH, {1, 2, 3}, 0, &decoded);  // shorter than the item id
    EXPECT_FALSE(decoded);
    Table(REPLY_EMPTY, Words({0}), 5, &decoded);  // this selector carries no data
    EXPECT_FALSE(decoded);
}

TEST(ClientFormat, BinInfoShowsOneRowPerBin) {
    std::vector<BYTE> bytes;
    for (DWORD bin = 0; bin < 3; ++bin) {
        std::vector<BYTE> record = Words({32, bin + 1, 9, 0, 2100, 2970, 80 - bin, 0});
        bytes.insert(bytes.end(), record.begin(), record.end());
    }
    EXPECT_EQ(Table(REPLY_BIN_INFO, bytes),
              L"bin  length  source     size       width      height     level\n"
              L"0    32      1          9          2100       2970       80\n"
              L"1    32      2          9          2100       2970       79\n"
              L"2    32      3          9          2100       2970       78\n");
    std::wstring json = Json(REPLY_BIN_INFO, bytes);
    EXPECT_EQ(json.find(L"{\"bins\":[{\"bin\":0,\"record_length\":32,\"source\":1,\"size\":9,"
                        L"\"width\":2100,\"height\":2970,\"level\":80,\"reserved_zero\":true},"),
              0u);
    // Large values keep their columns apart.
    std::vector<BYTE> large = bytes;
    large[36] = large[37] = large[38] = large[39] = 0xFF;  // bin 1 source 4294967295
    EXPECT_NE(Table(REPLY_BIN_INFO, large).find(L"1    32      4294967295 9"), std::wstring::npos);
    bytes[64 + 28] = 1;  // the second reserved field of bin 2
    EXPECT_NE(Table(REPLY_BIN_INFO, bytes).find(L"note: reserved fields of bin 2 are not zero"),
              std::wstring::npos);
}

TEST(ClientFormat, FlashReplyIsTheItemIdThenItsData) {
    std::vector<BYTE> bytes = {0, 0, 0, 0, 0xde, 0xad, 0xbe, 0xef, 0, 1, 2, 3};
    FlashRecord r;
    ASSERT_TRUE(DecodeFlashReply(bytes.data(), 12, &r));
    EXPECT_EQ(r.id, 0u);
    EXPECT_EQ(r.dataSize, 8u);
    EXPECT_EQ(Table(REPLY_FLASH, bytes, 10),
              L"flash id    0x00000000 (0)\n"
              L"data bytes  8\n"
              L"offset  bytes\n"
              L"0000    de ad be ef 00 01 02 03\n");
    EXPECT_EQ(Json(REPLY_FLASH, bytes, 10), L"{\"id\":0,\"size\":8,\"data\":\"deadbeef00010203\"}");
    // An item with no data is a valid four-byte reply.
    EXPECT_EQ(Table(REPLY_FLASH, Words({0x1000})), L"flash id    0x00001000 (4096)\ndata bytes  0\n");
}

TEST(ClientFormat, BlocksAreDumpedSixteenBytesToARow) {
    std::vector<BYTE> calibration(60);
    for (int i = 0; i < 60; ++i) calibration[i] = BYTE(0x40 + i);
    std::wstring text = Table(REPLY_CALIBRATION, calibration);
    EXPECT_EQ(text.find(L"offset  bytes\n0000    40 41 42"), 0u);
    EXPECT_NE(text.find(L"\n0030    70 71 72 73 74 75 76 77 78 79 7a 7b\n"), std::wstring::npos);
    std::vector<BYTE> service(18, 0xab);
    EXPECT_EQ(Table(REPLY_SERVICE_SETTINGS, service),
              L"offset  bytes\n"
              L"0000    ab ab ab ab ab ab ab ab ab ab ab ab ab ab ab ab\n"
              L"0010    ab ab\n");
    bool decoded = true;
    Table(REPLY_SERVICE_SETTINGS, calibration, 12, &decoded);
    EXPECT_FALSE(decoded);
}

TEST(ClientFormat, CounterSelectorsNamesAndReplyKinds) {
    BYTE selector = 0xff;
    EXPECT_TRUE(CounterSelectorByName(L"Color", &selector));
    EXPECT_EQ(selector, 2);
    EXPECT_TRUE(CounterSelectorByName(L"io", &selector));
    EXPECT_EQ(selector, 1);
    EXPECT_FALSE(CounterSelectorByName(L"purple", &selector));
    EXPECT_STREQ(CounterValueName(8), L"dwYellowCounter");
    EXPECT_STREQ(CounterValueName(3), L"dwIOCounter");  // no counter of its own
    EXPECT_STREQ(CounterShortName(200), L"io");
    EXPECT_EQ(Table(REPLY_COUNTER, Words({1002}), 2),
              L"counter  selector  value\ncolor    2         1002\n");
    EXPECT_EQ(Json(REPLY_COUNTER, Words({1007}), 3),
              L"{\"counter\":\"io\",\"value_name\":\"dwIOCounter\",\"selector\":3,\"value\":1007}");

    EXPECT_EQ(ReplyKindFor(DEVREQ_CONFIG, 0), REPLY_CONFIG);
    EXPECT_EQ(ReplyKindFor(DEVREQ_FLASH_DATA, 0), REPLY_FLASH);
    EXPECT_EQ(ReplyKindFor(DEVREQ_FLASH_DATA, 10), REPLY_FLASH);
    EXPECT_EQ(ReplyKindFor(DEVREQ_FLASH_DATA, 12), REPLY_SERVICE_SETTINGS);
    EXPECT_EQ(ReplyKindFor(DEVREQ_FLASH_DATA, 5), REPLY_EMPTY);
    EXPECT_EQ(ReplyKindFor(DEVREQ_FLASH_DATA_WRITE, 12), REPLY_NONE);
    EXPECT_EQ(ReplyKindFor(7, 0), REPLY_RAW);
    EXPECT_EQ(Table(REPLY_EMPTY, {}, 5), L"(empty reply: flash selector 5 carries no data)\n");
}

// -- raw bytes, results, text ---------------------------------------------------

TEST(ClientFormat, HexInputAndRawOutput) {
    BYTE bytes[4] = {};
    DWORD count = 0;
    EXPECT_TRUE(ParseHexBytes(L"0a 0B:ff-00", bytes, 4, &count));
    EXPECT_EQ(count, 4u);
    EXPECT_EQ(bytes[1], 0x0b);
    EXPECT_EQ(bytes[2], 0xff);
    EXPECT_FALSE(ParseHexBytes(L"0a0", bytes, 4, &count));    // odd digit count
    EXPECT_FALSE(ParseHexBytes(L"0g", bytes, 4, &count));     // not hex
    EXPECT_FALSE(ParseHexBytes(L"0102030405", bytes, 4, &count));  // beyond capacity
    EXPECT_TRUE(ParseHexBytes(L"", bytes, 4, &count));
    EXPECT_EQ(count, 0u);

    // The raw form scripts read: 16 pairs to a line, every line ended.
    std::vector<BYTE> seventeen(17);
    for (int i = 0; i < 17; ++i) seventeen[i] = BYTE(i);
    wchar_t storage[200];
    TextBuffer out;
    InitText(&out, storage, 200);
    AppendHexLines(&out, seventeen.data(), 17);
    EXPECT_STREQ(out.text, L"00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f\n10\n");
}

TEST(ClientFormat, ResultLinesAndCallOutcomes) {
    wchar_t storage[200];
    TextBuffer out;
    InitText(&out, storage, 200);
    AppendMappedResult(&out, 0, L"The operation completed successfully");
    AppendMappedResult(&out, 31, L"A device attached to the system is not functioning");
    AppendBooleanResult(&out, false);
    EXPECT_STREQ(out.text, L"result: 0 (success)\n"
                           L"result: 31 (A device attached to the system is not functioning)\n"
                           L"result: FALSE\n");
    EXPECT_EQ(ClassifyCallStatus(RPC_S_OK), CALL_COMPLETED);
    EXPECT_EQ(ClassifyCallStatus(RPC_S_SERVER_UNAVAILABLE), CALL_UNREACHABLE);
    EXPECT_EQ(ClassifyCallStatus(EPT_S_NOT_REGISTERED), CALL_UNREACHABLE);
    EXPECT_EQ(ClassifyCallStatus(RPC_S_PROCNUM_OUT_OF_RANGE), CALL_REJECTED);
    EXPECT_EQ(ClassifyCallStatus(RPC_X_BAD_STUB_DATA), CALL_REJECTED);
}

TEST(ClientFormat, JsonStringsAreEscapedAndOverflowDropsWholePieces) {
    wchar_t storage[64];
    TextBuffer out;
    InitText(&out, storage, 64);
    AppendJsonString(&out, L"\\\\PRINTSRV\\Lab \"A\"\n\x01");
    EXPECT_STREQ(out.text, L"\"\\\\\\\\PRINTSRV\\\\Lab \\\"A\\\"\\n\\u0001\"");

    wchar_t small[8];
    InitText(&out, small, 8);
    AppendText(&out, L"abc");
    AppendText(&out, L"defghij");  // would not fit: dropped whole
    EXPECT_TRUE(out.overflow);
    EXPECT_STREQ(out.text, L"abc");
}

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
    lstrcpyW(p.monitor, MONITOR_NAME);
    lstrcpyW(p.resolvedByName, p.name);
    lstrcpyW(p.resolvedByShare, p.name);
    PrinterKeyNameFor(p.name, p.keyName);
    p.dataKeyPresent = true;
    for (int v = 0; v < DATA_VALUE_COUNT; ++v) {
        const DataValueRule& rule = DataValueRuleFor(v);
        if (lstrcmpW(rule.name, FLAG_WRITTEN) == 0)
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
        SetMachineValue(kDrivers + L"\\Lab Driver", L"Monitor", REG_SZ, Text(MONITOR_NAME));
        SetMachineValue(kDrivers + L"\\Other Driver", L"Monitor", REG_SZ, Text(L"Other Monitor"));
        AddPrinter(L"a", L"Front Desk", L"", 0, L"Other Driver");
        AddPrinter(L",,PRINTSRV,Lab Color", L"\\\\PRINTSRV\\Lab Color", L"LAB",
                   PRINTER_ATTRIBUTE_SHARED, L"Lab Driver");
        state = new DeploymentState();
    }
    void TearDown() override {
        DeleteMachineTree(PRINTERS_KEY);
        DeleteMachineTree(kDrivers);
        DeleteMachineTree(L"SOFTWARE\\Mirel");
        delete state;
        state = nullptr;
    }
    void AddPrinter(const std::wstring& subkey, const std::wstring& name, const std::wstring& share,
                    DWORD attributes, const std::wstring& driver) {
        std::wstring key = std::wstring(PRINTERS_KEY) + L"\\" + subkey;
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
    const std::wstring data = std::wstring(STORE_ROOT) + L",,PRINTSRV,Lab Color";
    SetMachineValue(data + SUBKEY_CONFIG, FLAG_ACQUIRED, REG_BINARY, {1});
    SetMachineValue(data + SUBKEY_CONFIG, L"dwDuplex", REG_DWORD, Le32(1));
    SetMachineValue(data + SUBKEY_BIN_INFO, FLAG_WRITTEN, REG_DWORD, Le32(1));
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
    SetMachineValue(std::wstring(PRINTERS_KEY) + L"\\b", L"Status", REG_DWORD,
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

    SetMachineValue(MONITORS_KEY, MONITOR_WINDOW_VALUE, REG_BINARY, std::vector<BYTE>(12, 1));
    ZeroMemory(state, sizeof(*state));
    ObserveMonitorWindow(state);
    EXPECT_EQ(state->windowHandle.size, 12u);
    EXPECT_FALSE(state->windowAlive);
}
