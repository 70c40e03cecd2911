/*
 * DeviceRpc client library: typed calls to the device RPC server for the
 * applications of the driver package (status monitor, printing
 * preferences, service tools), callable from C, C++ and any language on
 * Windows that calls C functions in a DLL.
 *
 * The ABI: plain structs of fixed-width fields, opaque session pointers,
 * UTF-16 strings (wchar_t on Windows), every function DEVICERPC_CALL and
 * returning a DEVICERPC_STATUS. Link DeviceRpcApi.dll through its import
 * library, or the static library with the same code.
 *
 * Every call returns one status: DEVICERPC_OK, or the kind of failure.
 * Its detail goes to `*code` when `code` is not null (it may be null):
 *   DEVICERPC_E_ARGUMENT   the position (1-based) of the argument refused;
 *                          nothing was sent
 *   DEVICERPC_E_TRANSPORT  the RPC status: the server was not reached or
 *                          the call failed on the way (1818, the call was
 *                          cancelled, when the session's time-out ran out)
 *   DEVICERPC_E_FALSE      0: the server answered FALSE (opnums 0 to 2)
 *   DEVICERPC_E_WIN32      the Windows error code opnum 3 answered
 *   DEVICERPC_E_REPLY      the reply's length: it does not have the
 *                          record's length or layout
 * Output records are filled only on DEVICERPC_OK; on any other status a
 * record the caller passed is left zero-filled.
 */
#ifndef DEVICERPC_API_H
#define DEVICERPC_API_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The calling convention of every function of the library. */
#if defined(_WIN32)
#define DEVICERPC_CALL __stdcall
#else
#define DEVICERPC_CALL
#endif

typedef uint32_t DEVICERPC_STATUS;

#define DEVICERPC_OK 0u
#define DEVICERPC_E_ARGUMENT 1u
#define DEVICERPC_E_TRANSPORT 2u
#define DEVICERPC_E_FALSE 3u
#define DEVICERPC_E_WIN32 4u
#define DEVICERPC_E_REPLY 5u

/* The RPC status of a call cut short by the session's time-out. */
#define DEVICERPC_CODE_TIMED_OUT 1818u

/* Session flags: ask the endpoint map for the endpoint. */
#define DEVICERPC_OPEN_RESOLVE 0x1u

/* Device request flags: send with RpcDeviceRequestMapped (opnum 3), whose
 * reply comes through the server's shared memory, instead of
 * RpcDeviceRequest (opnum 2). */
#define DEVICERPC_MAPPED 0x1u

/* Both arrays of a device request hold this many bytes. */
#define DEVICERPC_ARRAY_SIZE 32768u

/* Page counters, by the selector byte that reads them. */
#define DEVICERPC_COUNTER_MONO 0u
#define DEVICERPC_COUNTER_IO 1u
#define DEVICERPC_COUNTER_COLOR 2u
#define DEVICERPC_COUNTER_BLACK 5u
#define DEVICERPC_COUNTER_CYAN 6u
#define DEVICERPC_COUNTER_MAGENTA 7u
#define DEVICERPC_COUNTER_YELLOW 8u

/* The flash selector of the service settings, which the flash item calls
 * refuse. */
#define DEVICERPC_SELECTOR_SERVICE_SETTINGS 12u

/* The largest flash item: the output array less the item's id. */
#define DEVICERPC_FLASH_DATA_MAX 32764u

/* A connection to one server; opaque. */
typedef struct DEVICERPC_SESSION DEVICERPC_SESSION;

/* The reply records, byte for byte as the server returns them (all
 * integers little-endian, which is the host's order on Windows); the flash
 * item alone adds its data size. */
typedef struct DEVICERPC_CONFIG {
    uint32_t recordLength; /* 32 */
    uint32_t cassettes;
    uint32_t duplex;
    uint32_t firmware;
    uint8_t reserved[16];
} DEVICERPC_CONFIG;

typedef struct DEVICERPC_BIN {
    uint32_t recordLength; /* 32 */
    uint32_t source;
    uint32_t size;
    uint32_t reserved1;
    uint32_t width;
    uint32_t height;
    uint32_t level;
    uint32_t reserved2;
} DEVICERPC_BIN;

typedef struct DEVICERPC_BINS {
    DEVICERPC_BIN bin[3];
} DEVICERPC_BINS;

typedef struct DEVICERPC_CALIBRATION {
    uint8_t data[60];
} DEVICERPC_CALIBRATION;

typedef struct DEVICERPC_SERVICE_SETTINGS {
    uint8_t data[18];
} DEVICERPC_SERVICE_SETTINGS;

typedef struct DEVICERPC_FLASH_ITEM {
    uint32_t id;
    uint32_t size; /* valid bytes in data, at most DEVICERPC_FLASH_DATA_MAX */
    uint8_t data[32764];
} DEVICERPC_FLASH_ITEM;

/* -- sessions ------------------------------------------------------------ */

/* Opens a session over `protseq` ("ncalrpc", "ncacn_np", "ncacn_ip_tcp")
 * to `host` (null: this machine) at `endpoint` (null: the server's fixed
 * endpoint; TCP needs one, or DEVICERPC_OPEN_RESOLVE to ask the endpoint
 * map). `timeoutMs` bounds every call of the session (0: no bound).
 * Nothing is sent to the server except the endpoint map's question. */
DEVICERPC_STATUS DEVICERPC_CALL DeviceRpcOpenSession(const wchar_t* protseq, const wchar_t* host,
                                                     const wchar_t* endpoint, uint32_t flags,
                                                     uint32_t timeoutMs,
                                                     DEVICERPC_SESSION** session,
                                                     uint32_t* code);

/* Opens a session from a string binding ("ncalrpc:[MirelVEXA2xZOLT7]");
 * DEVICERPC_OPEN_RESOLVE fills a missing endpoint from the endpoint map. */
DEVICERPC_STATUS DEVICERPC_CALL DeviceRpcOpenSessionFromBinding(const wchar_t* stringBinding,
                                                                uint32_t flags,
                                                                uint32_t timeoutMs,
                                                                DEVICERPC_SESSION** session,
                                                                uint32_t* code);

/* Closes a session once no call on it is running on another thread. */
DEVICERPC_STATUS DEVICERPC_CALL DeviceRpcCloseSession(DEVICERPC_SESSION* session);

/* -- commands (opnums 0 and 1) -------------------------------------------- */

/* RpcSendCommand: the language monitor's verdict on `command` with
 * `param` for `printer`; the server passes `argument` on unread. */
DEVICERPC_STATUS DEVICERPC_CALL DeviceRpcSendCommand(DEVICERPC_SESSION* session, int32_t command,
                                                     int32_t param, const wchar_t* printer,
                                                     const wchar_t* argument, uint32_t* code);

/* RpcSendCommand2: the same with an argument string the monitor reads. */
DEVICERPC_STATUS DEVICERPC_CALL DeviceRpcSendCommand2(DEVICERPC_SESSION* session, int32_t command,
                                                      int32_t param, const wchar_t* printer,
                                                      const wchar_t* argument, uint32_t* code);

/* -- device requests (opnum 2, or 3 with DEVICERPC_MAPPED) ----------------- */

DEVICERPC_STATUS DEVICERPC_CALL DeviceRpcGetConfig(DEVICERPC_SESSION* session, uint32_t flags,
                                                   const wchar_t* printer,
                                                   DEVICERPC_CONFIG* config, uint32_t* code);

DEVICERPC_STATUS DEVICERPC_CALL DeviceRpcGetBins(DEVICERPC_SESSION* session, uint32_t flags,
                                                 const wchar_t* printer, DEVICERPC_BINS* bins,
                                                 uint32_t* code);

DEVICERPC_STATUS DEVICERPC_CALL DeviceRpcGetCalibration(DEVICERPC_SESSION* session,
                                                        uint32_t flags, const wchar_t* printer,
                                                        DEVICERPC_CALIBRATION* calibration,
                                                        uint32_t* code);

/* `counter` is one of the DEVICERPC_COUNTER_ values. */
DEVICERPC_STATUS DEVICERPC_CALL DeviceRpcGetCounter(DEVICERPC_SESSION* session, uint32_t flags,
                                                    const wchar_t* printer, uint32_t counter,
                                                    uint32_t* value, uint32_t* code);

/* The flash item of `selector` (0 to 255, not 12). The server answers
 * items for selectors 0 and 10; any other gives an empty reply, which is
 * DEVICERPC_E_REPLY with code 0. */
DEVICERPC_STATUS DEVICERPC_CALL DeviceRpcGetFlashItem(DEVICERPC_SESSION* session, uint32_t flags,
                                                      const wchar_t* printer, uint32_t selector,
                                                      DEVICERPC_FLASH_ITEM* item, uint32_t* code);

DEVICERPC_STATUS DEVICERPC_CALL DeviceRpcGetServiceSettings(DEVICERPC_SESSION* session,
                                                            uint32_t flags, const wchar_t* printer,
                                                            DEVICERPC_SERVICE_SETTINGS* settings,
                                                            uint32_t* code);

/* Writes paper-source information: `data` (1 to 32768 bytes) is the whole
 * input array in the form the language monitor takes. */
DEVICERPC_STATUS DEVICERPC_CALL DeviceRpcWriteBins(DEVICERPC_SESSION* session, uint32_t flags,
                                                   const wchar_t* printer, const uint8_t* data,
                                                   uint32_t size, uint32_t* code);

/* Writes a flash item: the input is the `selector` byte, then `size`
 * bytes of `data` (at most 32767; `data` may be null when `size` is 0).
 * Selector 12 writes the service settings. */
DEVICERPC_STATUS DEVICERPC_CALL DeviceRpcWriteFlashItem(DEVICERPC_SESSION* session,
                                                        uint32_t flags, const wchar_t* printer,
                                                        uint32_t selector, const uint8_t* data,
                                                        uint32_t size, uint32_t* code);

/* Any device request as it is: `inData` and `outData` hold
 * DEVICERPC_ARRAY_SIZE bytes each, are sent whole and receive the arrays
 * the server sends back; `inSize` and `*outSize` are sent unchecked;
 * `outSize` may be null, which sends a null pcbOutData. Once the server
 * answered, the arrays and `*outSize` hold its answer whatever the
 * result: DEVICERPC_OK (TRUE, or 0 from opnum 3), DEVICERPC_E_FALSE or
 * DEVICERPC_E_WIN32. */
DEVICERPC_STATUS DEVICERPC_CALL DeviceRpcRequest(DEVICERPC_SESSION* session, uint32_t flags,
                                                 int32_t request, uint8_t* inData, int32_t inSize,
                                                 uint8_t* outData, int32_t* outSize,
                                                 const wchar_t* printer, uint32_t* code);

/* -- reply records ----------------------------------------------------------- */

/* Decode `length` reply bytes (the output size the server returned) into
 * a record: DEVICERPC_OK, DEVICERPC_E_REPLY when they do not have its
 * length and layout, DEVICERPC_E_ARGUMENT for a null pointer. For
 * applications that make their own calls with stubs from DeviceRpc.idl. */
DEVICERPC_STATUS DEVICERPC_CALL DeviceRpcDecodeConfig(const uint8_t* reply, uint32_t length,
                                                      DEVICERPC_CONFIG* config);
DEVICERPC_STATUS DEVICERPC_CALL DeviceRpcDecodeBins(const uint8_t* reply, uint32_t length,
                                                    DEVICERPC_BINS* bins);
DEVICERPC_STATUS DEVICERPC_CALL DeviceRpcDecodeCalibration(const uint8_t* reply, uint32_t length,
                                                           DEVICERPC_CALIBRATION* calibration);
DEVICERPC_STATUS DEVICERPC_CALL DeviceRpcDecodeCounter(const uint8_t* reply, uint32_t length,
                                                       uint32_t* value);
DEVICERPC_STATUS DEVICERPC_CALL DeviceRpcDecodeFlashItem(const uint8_t* reply, uint32_t length,
                                                         DEVICERPC_FLASH_ITEM* item);
DEVICERPC_STATUS DEVICERPC_CALL DeviceRpcDecodeServiceSettings(
    const uint8_t* reply, uint32_t length, DEVICERPC_SERVICE_SETTINGS* settings);

/* -- messages ---------------------------------------------------------------- */

/* Writes a one-line English message for `status` and its `code` into
 * `text` (`chars` wide characters, terminator included; cut short when it
 * does not fit, always terminated). */
DEVICERPC_STATUS DEVICERPC_CALL DeviceRpcStatusText(DEVICERPC_STATUS status, uint32_t code,
                                                    wchar_t* text, uint32_t chars);

#ifdef __cplusplus
}
#endif

#endif /* DEVICERPC_API_H */
