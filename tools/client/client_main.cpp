// DeviceRpcClient: calls the device RPC server's procedures over any of
// its protocol sequences, decodes the replies, and checks deployments.
#include <windows.h>

#include "client_args.h"
#include "client_calls.h"
#include "devicerpc_version.h"
#include "doctor.h"
#include "tool_common.h"

// Parses the command line and runs one command; the exit status is the
// command's (see client_args.h).
int wmain(int argc, wchar_t** argv) {
    Invocation invocation;
    wchar_t problem[256];
    if (ParseInvocation(argc, argv, &invocation, problem) != EXIT_OK) {
        PrintErr(L"DeviceRpcClient: %ls\n", problem);
        if (invocation.command)
            PrintErr(L"Try DeviceRpcClient %ls --help.\n", invocation.command->name);
        else
            PrintErr(L"Try DeviceRpcClient --help.\n");
        return EXIT_USAGE;
    }
    if (invocation.version) {
        PrintOut(L"DeviceRpcClient %ls\n", DEVICERPC_VERSION);
        return EXIT_OK;
    }
    if (invocation.help) {
        if (invocation.command)
            PrintCommandHelp(*invocation.command);
        else
            PrintUsage();
        return EXIT_OK;
    }
    switch (invocation.command->id) {
    case CMD_COMMAND:
    case CMD_COMMAND2:
        return RunSendCommand(invocation);
    case CMD_PROBE:
        return RunProbe(invocation);
    case CMD_DOCTOR:
        return RunDoctor(invocation);
    default:
        return RunDeviceRequest(invocation);
    }
}
