/*
 * PrinterStatusSample: reads a printer's configuration and its three
 * paper bins through DeviceRpcApi.dll and prints them.
 *
 *   PrinterStatusSample PRINTER [PROTSEQ [HOST [ENDPOINT]]]
 *
 * PROTSEQ is ncalrpc (the default), ncacn_np or ncacn_ip_tcp; TCP needs
 * the server's port as ENDPOINT. HOST "-" or absent is this machine.
 * Exit status 0 when both records were read, 1 otherwise, 2 for a usage
 * error.
 */
#include <stdio.h>
#include <wchar.h>

#include "devicerpc_api.h"

/* No call of this sample waits longer for the server than this. */
#define CALL_TIMEOUT_MS 10000u

/* Prints what failed and the library's message for its status. */
static void PrintFailure(const char* what, DEVICERPC_STATUS status, uint32_t code) {
    wchar_t text[256];
    DeviceRpcStatusText(status, code, text, 256);
    fprintf(stderr, "%s: %ls\n", what, text);
}

static void PrintConfig(const DEVICERPC_CONFIG* config) {
    printf("cassettes %lu, duplex %lu, firmware 0x%08lx\n", (unsigned long)config->cassettes,
           (unsigned long)config->duplex, (unsigned long)config->firmware);
}

static void PrintBins(const DEVICERPC_BINS* bins) {
    int i;
    printf("bin  source  size  width  height  level\n");
    for (i = 0; i < 3; ++i) {
        const DEVICERPC_BIN* bin = &bins->bin[i];
        printf("%-5d%-8lu%-6lu%-7lu%-8lu%lu\n", i, (unsigned long)bin->source,
               (unsigned long)bin->size, (unsigned long)bin->width, (unsigned long)bin->height,
               (unsigned long)bin->level);
    }
}

/* Reads and prints both records over an open session; 0 when both came. */
static int ShowPrinter(DEVICERPC_SESSION* session, const wchar_t* printer) {
    DEVICERPC_CONFIG config;
    DEVICERPC_BINS bins;
    uint32_t code = 0;
    DEVICERPC_STATUS status;
    int failed = 0;

    printf("printer: %ls\n", printer);
    status = DeviceRpcGetConfig(session, 0, printer, &config, &code);
    if (status == DEVICERPC_OK)
        PrintConfig(&config);
    else {
        PrintFailure("configuration", status, code);
        failed = 1;
    }
    status = DeviceRpcGetBins(session, 0, printer, &bins, &code);
    if (status == DEVICERPC_OK)
        PrintBins(&bins);
    else {
        PrintFailure("bins", status, code);
        failed = 1;
    }
    return failed;
}

int wmain(int argc, wchar_t** argv) {
    const wchar_t* protseq = argc > 2 ? argv[2] : L"ncalrpc";
    const wchar_t* host = argc > 3 && wcscmp(argv[3], L"-") != 0 ? argv[3] : NULL;
    const wchar_t* endpoint = argc > 4 ? argv[4] : NULL;
    DEVICERPC_SESSION* session = NULL;
    uint32_t code = 0;
    DEVICERPC_STATUS status;
    int failed;

    if (argc < 2 || argc > 5) {
        fprintf(stderr, "usage: PrinterStatusSample PRINTER [PROTSEQ [HOST [ENDPOINT]]]\n");
        return 2;
    }
    status = DeviceRpcOpenSession(protseq, host, endpoint, 0, CALL_TIMEOUT_MS, &session, &code);
    if (status != DEVICERPC_OK) {
        PrintFailure("session", status, code);
        return 1;
    }
    failed = ShowPrinter(session, argv[1]);
    DeviceRpcCloseSession(session);
    return failed;
}
