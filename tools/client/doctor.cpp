// doctor: observation, endpoint probes and the report.
#include "doctor.h"

#include "client_calls.h"
#include "devicerpc_contract.h"
#include "doctor_rules.h"
#include "doctor_state.h"
#include "tool_common.h"

namespace {

// A dead endpoint is told quickly with the runtime's shortest time-out.
const DWORD PROBE_TIMEOUT = 1;

// The default host of TCP probes: this machine's loopback address.
const wchar_t LOOPBACK[] = L"127.0.0.1";

// Records a probe's status with its system message.
void SetStatus(EndpointObservation* e, RPC_STATUS status) {
    e->status = status;
    ErrorText(status, e->statusText, 160);
}

// Probes one protocol sequence on an endpoint it knows.
void ProbeEndpoint(const wchar_t* protseq, const wchar_t* host, const wchar_t* endpoint,
                   EndpointObservation* e) {
    BindingOptions options = {protseq, host, endpoint, false, PROBE_TIMEOUT};
    RPC_STATUS status = RPC_S_OK;
    e->tried = true;
    lstrcpynW(e->endpoint, endpoint, 64);
    e->answered = ProbeServer(options, &status);
    SetStatus(e, status);
}

// Asks the endpoint map for the server's TCP endpoint into `endpoint`
// (64 chars). Returns the runtime status.
RPC_STATUS ResolveTcpEndpoint(const wchar_t* host, wchar_t* endpoint) {
    BindingOptions options = {SERVER_PROTSEQ_TCP, host, nullptr, true, PROBE_TIMEOUT};
    RPC_BINDING_HANDLE binding = nullptr;
    RPC_STATUS status = OpenBinding(options, &binding);
    if (status != RPC_S_OK) return status;
    RPC_WSTR text = nullptr;
    status = RpcBindingToStringBindingW(binding, &text);
    if (status == RPC_S_OK) {
        RPC_WSTR found = nullptr;
        status = RpcStringBindingParseW(text, nullptr, nullptr, nullptr, &found, nullptr);
        if (status == RPC_S_OK) {
            lstrcpynW(endpoint, reinterpret_cast<wchar_t*>(found), 64);
            RpcStringFreeW(&found);
        }
        RpcStringFreeW(&text);
    }
    RpcBindingFree(&binding);
    if (status == RPC_S_OK && !endpoint[0]) status = EPT_S_NOT_REGISTERED;
    return status;
}

// The endpoint map and an answer on every protocol sequence.
void ProbeServerEndpoints(const BindingOptions& given, DeploymentState* state) {
    ProbeEndpoint(SERVER_PROTSEQ_LOCAL, nullptr, SERVER_LRPC_ENDPOINT,
                  &state->endpoints[PROTSEQ_LRPC]);
    ProbeEndpoint(SERVER_PROTSEQ_PIPE, given.host, SERVER_PIPE_ENDPOINT,
                  &state->endpoints[PROTSEQ_NP]);

    BindingOptions mapped = {SERVER_PROTSEQ_PIPE, given.host, nullptr, true, PROBE_TIMEOUT};
    RPC_BINDING_HANDLE binding = nullptr;
    state->endpointMapChecked = true;
    state->endpointMapStatus = OpenBinding(mapped, &binding);
    state->endpointMapAnswered = state->endpointMapStatus == RPC_S_OK;
    ErrorText(state->endpointMapStatus, state->endpointMapStatusText, 160);
    if (binding) RpcBindingFree(&binding);

    const wchar_t* host = given.host ? given.host : LOOPBACK;
    EndpointObservation* tcp = &state->endpoints[PROTSEQ_TCP];
    if (given.endpoint) {
        ProbeEndpoint(SERVER_PROTSEQ_TCP, host, given.endpoint, tcp);
        return;
    }
    wchar_t port[64] = {};
    RPC_STATUS status = ResolveTcpEndpoint(host, port);
    if (status != RPC_S_OK) {
        SetStatus(tcp, status);
        return;
    }
    ProbeEndpoint(SERVER_PROTSEQ_TCP, host, port, tcp);
    tcp->fromMap = true;
}

}  // namespace

int RunDoctor(const Invocation& inv) {
    static DeploymentState state;
    static FindingList findings;
    static wchar_t text[DOCTOR_MAX_FINDINGS * 1100];
    ZeroMemory(&state, sizeof(state));
    ZeroMemory(&findings, sizeof(findings));
    state.onlyPrinter = inv.printer;
    ObserveMonitorWindow(&state);
    ObservePrinters(&state);
    ObserveServerObjects(&state);
    ProbeServerEndpoints(inv.binding, &state);

    DiagnoseDeployment(state, &findings);
    TextBuffer out;
    InitText(&out, text, sizeof(text) / sizeof(text[0]));
    if (inv.style == OUTPUT_JSON)
        FormatFindingsJson(findings, &out);
    else
        FormatFindings(findings, &out);
    PrintTextBuffer(out, false);
    return DeploymentHealthy(findings) ? EXIT_OK : EXIT_FAILED;
}
