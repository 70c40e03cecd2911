// Printing of what the server sends back: reply records of device
// requests (decoded by the client library), raw bytes, results, as aligned
// tables or as JSON. Everything here is pure: bytes in, text out, no
// platform calls beyond the string routines.
#pragma once

#include <windows.h>
#include <rpc.h>

#include "devicerpc_contract.h"

// A fixed, caller-supplied text buffer that formatting appends to. Text
// that does not fit is dropped and `overflow` is set; `text` stays
// terminated.
struct TextBuffer {
    wchar_t* text;
    size_t capacity;  // in wide characters, terminator included
    size_t length;
    bool overflow;
};

// Points `out` at `storage` (`capacity` chars) and empties it.
void InitText(TextBuffer* out, wchar_t* storage, size_t capacity);

// Appends printf-style text.
void AppendText(TextBuffer* out, const wchar_t* format, ...);

// Appends `text` as a JSON string literal, quotes included.
void AppendJsonString(TextBuffer* out, const wchar_t* text);

// Appends `count` bytes as contiguous lowercase hex ("0a1b").
void AppendHexRun(TextBuffer* out, const BYTE* bytes, DWORD count);

// Appends `count` bytes as lowercase hex pairs, 16 to a line, each line
// ended by a line break: the raw form scripts parse.
void AppendHexLines(TextBuffer* out, const BYTE* bytes, DWORD count);

// Parses hex bytes into `bytes`; blanks, ':' and '-' may separate pairs.
// False on an odd digit count, a non-hex character or more than
// `capacity` bytes.
bool ParseHexBytes(const wchar_t* text, BYTE* bytes, DWORD capacity, DWORD* count);

// What a device request's reply holds, which decides how it is decoded.
enum ReplyKind {
    REPLY_NONE,              // write requests: the boolean is the answer
    REPLY_RAW,               // shown as bytes only
    REPLY_CONFIG,            // ConfigReply, 32 bytes
    REPLY_BIN_INFO,          // three BinInfoReply records, 96 bytes
    REPLY_CALIBRATION,       // calibration block, 60 bytes
    REPLY_COUNTER,           // one counter, 4 bytes
    REPLY_FLASH,             // FlashDataReply: id, then the data
    REPLY_SERVICE_SETTINGS,  // service settings block, 18 bytes
    REPLY_EMPTY,             // flash data of a selector that carries none
};

// The reply kind of request `code` with `selector` as its first input byte,
// as the server assembles it.
ReplyKind ReplyKindFor(LONG code, BYTE selector);

// The counter value name for a counter selector byte (any selector without
// its own counter reads the I/O counter), and the short name the client
// uses for it ("mono", ..., "io").
const wchar_t* CounterValueName(BYTE selector);
const wchar_t* CounterShortName(BYTE selector);

// The selector byte of a counter short name; false for an unknown name.
bool CounterSelectorByName(const wchar_t* name, BYTE* selector);

struct ConfigRecord {
    DWORD recordLength;
    DWORD cassettes;
    DWORD duplex;
    DWORD firmware;
    bool reservedZero;  // bytes 16 to 31 all zero
};

struct BinRecord {
    DWORD recordLength;
    DWORD source;
    DWORD size;
    DWORD width;
    DWORD height;
    DWORD level;
    bool reservedZero;  // the two reserved fields are zero
};

struct FlashRecord {
    DWORD id;
    const BYTE* data;  // points into the reply
    DWORD dataSize;
};

// The client library's decoders as the formatting takes them: true when
// `count` bytes have the record's exact shape.
bool DecodeConfigReply(const BYTE* bytes, DWORD count, ConfigRecord* record);
bool DecodeBinInfoReply(const BYTE* bytes, DWORD count, BinRecord records[REPLY_BIN_COUNT]);
bool DecodeCounterReply(const BYTE* bytes, DWORD count, DWORD* value);
bool DecodeFlashReply(const BYTE* bytes, DWORD count, FlashRecord* record);

// The reply length a kind must have; 0 when it varies (flash data, raw).
DWORD ExpectedReplyLength(ReplyKind kind);

// Appends the reply as a readable table. `selector` names the counter. False,
// with a note and a hex dump appended instead, when the bytes do not have
// the shape of `kind`.
bool FormatReplyTable(ReplyKind kind, BYTE selector, const BYTE* bytes, DWORD count,
                      TextBuffer* out);

// Appends the reply as one JSON value (an object, or null when the bytes do
// not have the shape of `kind`). False in the latter case.
bool FormatReplyJson(ReplyKind kind, BYTE selector, const BYTE* bytes, DWORD count,
                     TextBuffer* out);

// Appends an "offset  bytes" dump table, 16 bytes to a row.
void AppendDumpTable(TextBuffer* out, const BYTE* bytes, DWORD count);

// The result line of a procedure: "result: TRUE"/"result: FALSE" for the
// boolean ones, "result: <code> (<text>)" for the mapped request, where
// `errorText` is the system's message for `code` and 0 reads "success".
void AppendBooleanResult(TextBuffer* out, bool result);
void AppendMappedResult(TextBuffer* out, long code, const wchar_t* errorText);

// How a call that did not come back with a result is to be reported.
enum CallOutcome {
    CALL_COMPLETED,    // RPC_S_OK
    CALL_REJECTED,     // the server was reached and refused the call
    CALL_UNREACHABLE,  // no server answered on the binding
};

// Classifies the runtime status of a call.
CallOutcome ClassifyCallStatus(RPC_STATUS status);
