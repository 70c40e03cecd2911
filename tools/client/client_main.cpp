// DeviceRpcClient: calls the device RPC server's procedures over any of
// its protocol sequences, decodes the replies, and checks deployments.
#include <windows.h>

#include "client_args.h"
#include "client_calls.h"
#include "doctor.h"

// Reads the command line and runs one command; the exit status is the
// command's (see exit_codes.h).
int wmain(int argc, wchar_t** argv) {
    static Invocation invocation;
    int status = ReadInvocation(argc, argv, &invocation);
    if (status != CLI_RUN) return status;
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
