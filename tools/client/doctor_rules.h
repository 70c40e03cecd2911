// The deployment check: what was observed on this machine (a plain record
// filled by doctor_state.cpp and the endpoint probes) and the decisions
// over it: one finding per check, each with a remedy when it fails. The
// decisions are pure, so they can be tried against prepared states.
#pragma once

#include <windows.h>
#include <rpc.h>

#include "devicerpc_contract.h"
#include "reply_format.h"

// The control events the server's controlling process creates (START,
// STOP, TERMINATE), in the server's namespace.
extern const wchar_t* const CONTROL_EVENT_NAMES[3];

constexpr int DOCTOR_MAX_PRINTERS = 32;
// Names as long as the server's name buffers hold.
constexpr int DOCTOR_NAME_CHARS = NAME_BUFFER_CHARS;

// One registry value as read: whether it exists, its type and size, and
// its first bytes (enough for every flag, number and window handle).
struct ObservedValue {
    bool present;
    DWORD type;
    DWORD size;
    BYTE head[8];  // the first min(size, 8) bytes, the rest zero
};

// The device data values and handshake flags the server reads, in the
// order of kDataValues in doctor_data.cpp.
enum DataValue {
    DV_CONFIG_ACQUIRED,
    DV_DUPLEX,
    DV_CASSETTES,
    DV_FIRMWARE,
    DV_BIN_ACQUIRED,
    DV_BIN_WRITTEN,
    DV_BIN0_SOURCE,  // five values per bin, bins 0 to 2
    DV_BIN2_LEVEL = DV_BIN0_SOURCE + 14,
    DV_CALIBRATION_ACQUIRED,
    DV_CALIBRATION_DATA,
    DV_COUNTER_ACQUIRED,
    DV_COUNTER_MONO,  // seven counters
    DV_COUNTER_IO = DV_COUNTER_MONO + 6,
    DV_FLASH_ACQUIRED,
    DV_FLASH_WRITTEN,
    DV_FLASH_ID,
    DV_FLASH_SIZE,
    DV_FLASH_RETURN_VALUE,
    DV_SERVICE_ACQUIRED,
    DV_SERVICE_WRITTEN,
    DV_SERVICE_SETTING_VALUE,
    DATA_VALUE_COUNT
};

// Where a data value lives and how the server reads it.
struct DataValueRule {
    const wchar_t* subkey;  // appended to the printer key name
    const wchar_t* name;
    DWORD maxBytes;         // the most the server reads; 0: "dwSize" decides
    const wchar_t* reader;  // the client command whose request reads it
};

// Where data value `value` lives and how much of it the server reads.
const DataValueRule& DataValueRuleFor(int value);

// One printer of the spooler's list as the resolution walk sees it.
struct PrinterObservation {
    wchar_t subkey[DOCTOR_NAME_CHARS];  // its key under the Printers key
    bool hasName;
    bool nameTooLong;  // "Name" longer than a local printer name may be
    wchar_t name[DOCTOR_NAME_CHARS];
    bool hasShareName;
    wchar_t shareName[DOCTOR_NAME_CHARS];
    bool hasAttributes;
    DWORD attributes;
    bool hasStatus;
    DWORD status;
    bool hasDriver;
    wchar_t driver[DOCTOR_NAME_CHARS];
    bool driverKeyFound;
    bool hasMonitor;
    wchar_t monitor[DOCTOR_NAME_CHARS];
    // What the server's own resolution yields for this printer's name and
    // share name; empty when it finds no printer.
    wchar_t resolvedByName[DOCTOR_NAME_CHARS];
    wchar_t resolvedByShare[DOCTOR_NAME_CHARS];
    // The printer data key and the values under it.
    wchar_t keyName[DOCTOR_NAME_CHARS];  // name with backslashes as commas
    bool dataKeyPresent;
    ObservedValue values[DATA_VALUE_COUNT];
};

// Whether the server answered on one protocol sequence.
struct EndpointObservation {
    bool tried;
    bool answered;
    RPC_STATUS status;  // of the probe, or of the endpoint map look-up
    wchar_t statusText[160];
    bool fromMap;  // the endpoint came from the endpoint map
    wchar_t endpoint[64];
};

enum DoctorProtseq { PROTSEQ_LRPC, PROTSEQ_NP, PROTSEQ_TCP, PROTSEQ_COUNT };

struct DeploymentState {
    // The language monitor's key and window.
    bool monitorsKeyPresent;
    ObservedValue windowHandle;
    bool windowAlive;  // IsWindow on the stored handle
    DWORD windowProcessId;
    // The spooler's printers.
    bool printersKeyPresent;
    int printerCount;
    bool printersTruncated;  // more printers than DOCTOR_MAX_PRINTERS
    PrinterObservation printers[DOCTOR_MAX_PRINTERS];
    // Only the printer a client would reach by this name, when set.
    const wchar_t* onlyPrinter;
    wchar_t onlyPrinterResolved[DOCTOR_NAME_CHARS];  // empty: none
    // The server process and its listener.
    bool serverObjectsChecked;  // false when the checks ran for another host
    bool instanceMutexPresent;
    bool controlEventsPresent[3];  // START, STOP, TERMINATE
    bool endpointMapChecked;
    bool endpointMapAnswered;
    RPC_STATUS endpointMapStatus;
    wchar_t endpointMapStatusText[160];
    EndpointObservation endpoints[PROTSEQ_COUNT];
};

enum FindingLevel { FINDING_OK, FINDING_WARN, FINDING_FAIL };

struct Finding {
    FindingLevel level;
    wchar_t what[512];
    wchar_t remedy[512];  // empty for ok
};

constexpr int DOCTOR_MAX_FINDINGS = 400;

struct FindingList {
    int count;
    bool truncated;
    Finding items[DOCTOR_MAX_FINDINGS];
};

// Adds a finding (dropped, with `truncated` set, when the list is full).
void AddFinding(FindingList* list, FindingLevel level, const wchar_t* remedy,
                const wchar_t* format, ...);

// The language monitor's key and "LP Window handle".
void CheckMonitorWindow(const DeploymentState& state, FindingList* findings);

// The served printers: spooler entries, drivers, name resolution.
void CheckPrinters(const DeploymentState& state, FindingList* findings);

// One served printer's data key, device values and handshake flags.
void CheckPrinterData(const PrinterObservation& printer, FindingList* findings);

// The server process, its control events, the endpoint map and every
// protocol sequence.
void CheckServer(const DeploymentState& state, FindingList* findings);

// All of the above, in that order.
void DiagnoseDeployment(const DeploymentState& state, FindingList* findings);

// True when no finding failed.
bool DeploymentHealthy(const FindingList& findings);

// True when the printer's driver names the language monitor exactly, as
// the server requires.
bool PrinterServed(const PrinterObservation& printer);

// The printer key name: `name` with every backslash replaced by a comma,
// into `keyName` (DOCTOR_NAME_CHARS).
void PrinterKeyNameFor(const wchar_t* name, wchar_t* keyName);

// One line per finding: "ok   what", "warn what -> remedy",
// "FAIL what -> remedy".
void FormatFindings(const FindingList& findings, TextBuffer* out);

// {"healthy":...,"findings":[{"level":"ok","what":...,"remedy":...},...]}
void FormatFindingsJson(const FindingList& findings, TextBuffer* out);
