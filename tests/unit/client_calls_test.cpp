// The client calls of DeviceRpc: arguments the contract forbids are
// refused before anything is sent, and failed exchanges leave nothing
// behind in the calling process.
#include <gtest/gtest.h>

#include <windows.h>
#include <rpc.h>

#include <vector>

#include "DeviceRpc.h"
#include "DeviceRpc_client.h"

namespace {

// A binding that names an endpoint nobody serves: a call that got as far
// as the runtime would fail with a communication error, not the statuses
// expected below.
RPC_BINDING_HANDLE UnservedBinding() {
    RPC_BINDING_HANDLE binding = nullptr;
    RpcBindingFromStringBindingW(
        reinterpret_cast<RPC_WSTR>(const_cast<wchar_t*>(L"ncalrpc:[ClientCallsTestNobody]")),
        &binding);
    return binding;
}

// Bytes in use on every heap of the process, to see whether calls leave
// blocks behind (the runtime's buffers need not come from the process
// heap: under Wine they come from the C runtime's).
SIZE_T HeapBytesInUse() {
    HANDLE heaps[256];
    DWORD count = GetProcessHeaps(256, heaps);
    SIZE_T total = 0;
    for (DWORD i = 0; i < count && i < 256; ++i) {
        PROCESS_HEAP_ENTRY entry = {};
        HeapLock(heaps[i]);
        while (HeapWalk(heaps[i], &entry))
            if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) total += entry.cbData;
        HeapUnlock(heaps[i]);
    }
    return total;
}

}  // namespace

TEST(ClientCalls, NullStringsAndArraysAreRefusedUnsent) {
    RPC_BINDING_HANDLE binding = UnservedBinding();
    ASSERT_NE(binding, nullptr);
    unsigned char in[32768] = {};
    unsigned char out[32768] = {};
    long size = 64;
    long result = -1;
    unsigned char verdict = 0xEE;
    struct Case {
        const char* what;
        RPC_STATUS status;
    } cases[] = {
        {"command, no name", CallSendCommand(binding, false, 1, 2, nullptr, L"", &verdict)},
        {"command, no argument", CallSendCommand(binding, false, 1, 2, L"P", nullptr, &verdict)},
        {"command2, no name", CallSendCommand(binding, true, 1, 2, nullptr, L"a", &verdict)},
        {"command2, no argument", CallSendCommand(binding, true, 1, 2, L"P", nullptr, &verdict)},
        {"request, no name",
         CallDeviceRequest(binding, false, 2, in, 0, out, &size, nullptr, L"", &result)},
        {"request, no reserved",
         CallDeviceRequest(binding, false, 2, in, 0, out, &size, L"P", nullptr, &result)},
        {"mapped, no name", CallDeviceRequest(binding, true, 2, in, 0, out, &size, nullptr, L"", &result)},
        {"mapped, no reserved",
         CallDeviceRequest(binding, true, 2, in, 0, out, &size, L"P", nullptr, &result)},
        {"request, no input array",
         CallDeviceRequest(binding, false, 2, nullptr, 0, out, &size, L"P", L"", &result)},
        {"mapped, no output array",
         CallDeviceRequest(binding, true, 2, in, 0, nullptr, &size, L"P", L"", &result)},
    };
    for (const Case& c : cases) EXPECT_EQ(c.status, 1780) << c.what;  // RPC_X_NULL_REF_POINTER
    EXPECT_EQ(verdict, 0xEE);
    EXPECT_EQ(result, -1);
    EXPECT_EQ(size, 64);
    RpcBindingFree(&binding);
}

// A server in this process whose answers are faults: DeviceRpc itself,
// sent requests it cannot decode. Every exchange fails, and neither the
// large request buffers nor the fault bodies may pile up.
TEST(ClientCalls, FailedExchangesLeaveNoBuffersBehind) {
    RPC_WSTR protseq = reinterpret_cast<RPC_WSTR>(const_cast<wchar_t*>(L"ncalrpc"));
    RPC_WSTR endpoint = reinterpret_cast<RPC_WSTR>(const_cast<wchar_t*>(L"ClientCallsTestFaults"));
    ASSERT_EQ(RpcServerUseProtseqEpW(protseq, 20, endpoint, nullptr), RPC_S_OK);
    ASSERT_EQ(RpcServerRegisterIf(DeviceRpc_v1_0_s_ifspec, nullptr, nullptr), RPC_S_OK);
    ASSERT_EQ(RpcServerListen(1, 20, TRUE), RPC_S_OK);

    RPC_BINDING_HANDLE binding = nullptr;
    ASSERT_EQ(RpcBindingFromStringBindingW(reinterpret_cast<RPC_WSTR>(const_cast<wchar_t*>(
                                               L"ncalrpc:[ClientCallsTestFaults]")),
                                           &binding),
              RPC_S_OK);
    // Opnum 0 with 64 KiB of 0xFF: the name's count is out of bounds.
    std::vector<unsigned char> request(65536, 0xFF);
    auto failCalls = [&](int count) {
        for (int i = 0; i < count; ++i) {
            void* response = reinterpret_cast<void*>(1);
            unsigned int length = 0;
            unsigned long drep = 0;
            RPC_STATUS status = CallRaw(binding, 0, request.data(), unsigned(request.size()),
                                        &response, &length, &drep);
            ASSERT_EQ(status, 1783) << "call " << i;  // RPC_X_BAD_STUB_DATA
            ASSERT_EQ(response, nullptr);
        }
    };
    failCalls(10);
    SIZE_T heapBefore = HeapBytesInUse();
    failCalls(100);
    SIZE_T heapAfter = HeapBytesInUse();

    RpcBindingFree(&binding);
    RpcMgmtStopServerListening(nullptr);
    RpcMgmtWaitServerListen();
    RpcServerUnregisterIf(DeviceRpc_v1_0_s_ifspec, nullptr, TRUE);

    // 100 leaked request buffers would be 6.4 MB.
    EXPECT_LT(heapAfter, heapBefore + 1024 * 1024) << heapBefore << " -> " << heapAfter;
}
