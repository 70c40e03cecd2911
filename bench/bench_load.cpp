// Load harness shared by the benchmark tools.
#include "bench_load.h"

#include <algorithm>
#include <cwchar>

#include "tool_common.h"

namespace {

// Shared by the threads of one run.
struct RunControl {
    LoadRun* run;
    HANDLE allConnected;   // set when the last worker is prepared
    HANDLE warm;           // released once: warm-up calls begin
    HANDLE allReady;       // set when the last on-time worker has warmed up
    HANDLE start;          // released once, manual reset
    volatile LONG unconnected; // workers still preparing
    volatile LONG pending; // on-time workers still warming up
    LONGLONG deadline;     // written before `start` is set
    // Workers prepared before the grace time ran out are on time: the
    // start waits for their warm-up. One prepared later joins late and the
    // start does not wait for it.
    CRITICAL_SECTION door;
    bool doorClosed;
    LONG onTime;
};

struct ThreadArgument {
    RunControl* control;
    LoadWorker* worker;
};

void MarkConnected(RunControl* control) {
    if (InterlockedDecrement(&control->unconnected) == 0) SetEvent(control->allConnected);
}

void MarkReady(RunControl* control) {
    if (InterlockedDecrement(&control->pending) == 0) SetEvent(control->allReady);
}

// True when the worker is on time; counted under the lock that closes the door.
bool CheckIn(RunControl* control) {
    EnterCriticalSection(&control->door);
    bool onTime = !control->doorClosed;
    if (onTime) ++control->onTime;
    LeaveCriticalSection(&control->door);
    return onTime;
}

DWORD WINAPI WorkerThread(void* parameter) {
    ThreadArgument* argument = static_cast<ThreadArgument*>(parameter);
    RunControl* control = argument->control;
    LoadWorker* worker = argument->worker;
    // Untimed steps also mark their start, so that one that hangs is seen.
    InterlockedExchange64(&worker->callStart, CounterNow());
    worker->prepared = worker->prepare ? worker->prepare(worker->context) : true;
    InterlockedExchange64(&worker->callStart, 0);
    if (!worker->prepared) ++worker->errors;
    bool onTime = CheckIn(control);
    MarkConnected(control);
    WaitForSingleObject(control->warm, INFINITE);
    if (worker->prepared) {
        for (long i = 0; i < worker->warmup; ++i) {
            InterlockedExchange64(&worker->callStart, CounterNow());
            worker->call(worker->context);
            InterlockedExchange64(&worker->callStart, 0);
        }
    }
    if (onTime) MarkReady(control);
    WaitForSingleObject(control->start, INFINITE);
    if (worker->prepared) {
        const LONGLONG deadline = control->deadline;
        for (long done = 0;; ++done) {
            if (worker->target ? done >= worker->target : CounterNow() >= deadline) break;
            LONGLONG before = CounterNow();
            InterlockedExchange64(&worker->callStart, before);
            bool ok = worker->call(worker->context);
            LONGLONG after = CounterNow();
            InterlockedExchange64(&worker->callStart, 0);
            worker->ticks.push_back(after - before);
            if (!ok) ++worker->errors;
        }
    }
    worker->finished = CounterNow();
    InterlockedExchange(&worker->done, 1);
    return 0;
}

}  // namespace

LONGLONG CounterNow() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

double CounterTicksPerMicrosecond() {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(frequency.QuadPart) / 1e6;
}

namespace {

// Releases the events and the lock of a run.
void CloseControl(RunControl* control) {
    CloseHandle(control->allConnected);
    CloseHandle(control->warm);
    CloseHandle(control->allReady);
    CloseHandle(control->start);
    DeleteCriticalSection(&control->door);
}

// Releases the threads already started when another could not be: they
// run no call and end at once.
void AbandonStart(LoadRun* run, RunControl* control, int started, std::vector<HANDLE>* threads) {
    control->deadline = 0;
    for (int j = 0; j < started; ++j) {
        run->workers[j].target = 0;
        run->workers[j].warmup = 0;
    }
    SetEvent(control->warm);
    SetEvent(control->start);
    for (HANDLE thread : *threads) {
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
    }
    CloseControl(control);
}

// Resets every worker and starts its thread; false (after reporting, with
// nothing left running) when a thread cannot be started.
bool StartWorkers(LoadRun* run, RunControl* control, std::vector<ThreadArgument>* arguments,
                  std::vector<HANDLE>* threads) {
    long perWorker = run->totalCalls / run->count;
    long remainder = run->totalCalls % run->count;
    for (int i = 0; i < run->count; ++i) {
        LoadWorker* worker = &run->workers[i];
        worker->target = run->totalCalls ? perWorker + (i < remainder ? 1 : 0) : 0;
        worker->errors = 0;
        worker->done = 0;
        worker->callStart = 0;
        worker->ticks.clear();
        worker->ticks.reserve(worker->target ? static_cast<size_t>(worker->target) : 4096);
        (*arguments)[static_cast<size_t>(i)] = {control, worker};
        HANDLE thread = CreateThread(nullptr, 256 * 1024, WorkerThread,
                                     &(*arguments)[static_cast<size_t>(i)],
                                     STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
        if (!thread) {
            PrintErr(L"bench: cannot start thread %d: error %lu\n", i, GetLastError());
            AbandonStart(run, control, i, threads);
            return false;
        }
        threads->push_back(thread);
    }
    return true;
}

// A worker whose first call (the connection) has not returned within the
// grace time joins late, or counts as stuck once its call has taken longer
// than that. The clock waits for the warm-up of the others only: a slow
// connection cannot hold the start for a second grace time. Returns the
// counter value at the start.
LONGLONG WarmUpAndStart(LoadRun* run, RunControl* control) {
    DWORD graceMs = run->graceSeconds > 0 ? static_cast<DWORD>(run->graceSeconds * 1000.0) : INFINITE;
    WaitForSingleObject(control->allConnected, graceMs);
    EnterCriticalSection(&control->door);
    control->doorClosed = true;
    LONG onTime = control->onTime;
    LeaveCriticalSection(&control->door);
    // No on-time worker has warmed up yet: `warm` is still closed.
    if (InterlockedExchangeAdd(&control->pending, onTime) + onTime == 0) SetEvent(control->allReady);
    SetEvent(control->warm);
    WaitForSingleObject(control->allReady, graceMs);
    LONGLONG begin = CounterNow();
    control->deadline =
        begin + static_cast<LONGLONG>(run->seconds * 1e6 * CounterTicksPerMicrosecond());
    SetEvent(control->start);
    // Lets a driver that samples other processes mark the timed part.
    if (run->announce) PrintOut(L"started threads=%d\n", run->count);
    return begin;
}

// Waits until every worker has finished or is stuck in one call for
// longer than the grace time; returns the number stuck.
int WaitForWorkers(const LoadRun* run) {
    LONGLONG graceTicks =
        static_cast<LONGLONG>(run->graceSeconds * 1e6 * CounterTicksPerMicrosecond());
    for (;;) {
        int running = 0;
        int stuck = 0;
        LONGLONG now = CounterNow();
        for (int i = 0; i < run->count; ++i) {
            LoadWorker* worker = &run->workers[i];
            if (InterlockedCompareExchange(&worker->done, 0, 0)) continue;
            LONGLONG started = InterlockedCompareExchange64(&worker->callStart, 0, 0);
            if (graceTicks > 0 && started && now - started > graceTicks) ++stuck;
            else ++running;
        }
        if (!running) return stuck;
        Sleep(50);
    }
}

// Gathers the latencies and errors of the finished workers into
// `summary`; an unfinished worker counts as one error.
void Collect(LoadRun* run, LONGLONG begin, int stuck, LatencySummary* summary) {
    std::vector<LONGLONG> all;
    long errors = 0;
    LONGLONG end = begin;
    for (int i = 0; i < run->count; ++i) {
        LoadWorker* worker = &run->workers[i];
        if (!InterlockedCompareExchange(&worker->done, 0, 0)) {
            ++errors;
            continue;
        }
        all.insert(all.end(), worker->ticks.begin(), worker->ticks.end());
        errors += worker->errors;
        if (worker->prepared && worker->finished > end) end = worker->finished;
    }
    // With stuck workers the run lasted until now.
    if (stuck) end = CounterNow();
    Summarise(&all, errors, static_cast<double>(end - begin) / (CounterTicksPerMicrosecond() * 1e6),
              summary);
    summary->threads = run->count;
    summary->stuck = stuck;
}

}  // namespace

bool RunLoad(LoadRun* run, LatencySummary* summary) {
    RunControl control = {};
    control.run = run;
    control.pending = 0;
    control.unconnected = run->count;
    InitializeCriticalSection(&control.door);
    control.allConnected = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    control.warm = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    control.allReady = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    control.start = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::vector<ThreadArgument> arguments(static_cast<size_t>(run->count));
    std::vector<HANDLE> threads;
    if (!StartWorkers(run, &control, &arguments, &threads)) return false;
    LONGLONG begin = WarmUpAndStart(run, &control);
    int stuck = WaitForWorkers(run);
    for (HANDLE thread : threads) CloseHandle(thread);
    // With stuck workers the events and the lock stay: those workers may
    // still use them.
    if (!stuck) CloseControl(&control);
    Collect(run, begin, stuck, summary);
    return true;
}

void Summarise(std::vector<LONGLONG>* ticks, long errors, double seconds, LatencySummary* summary) {
    *summary = LatencySummary{};
    summary->calls = static_cast<long>(ticks->size());
    summary->errors = errors;
    summary->seconds = seconds;
    summary->throughput = seconds > 0 ? static_cast<double>(ticks->size()) / seconds : 0;
    if (ticks->empty()) return;
    std::sort(ticks->begin(), ticks->end());
    double ticksPerUs = CounterTicksPerMicrosecond();
    size_t n = ticks->size();
    // Nearest rank: the smallest value with at least p of the calls at or below it.
    auto rank = [n](double p) {
        size_t r = static_cast<size_t>(p * static_cast<double>(n) + 0.999999);
        return (r == 0 ? 1 : r) - 1;
    };
    double sum = 0;
    for (LONGLONG t : *ticks) sum += static_cast<double>(t);
    summary->p50Us = static_cast<double>((*ticks)[rank(0.50)]) / ticksPerUs;
    summary->p99Us = static_cast<double>((*ticks)[rank(0.99)]) / ticksPerUs;
    summary->meanUs = sum / static_cast<double>(n) / ticksPerUs;
    summary->minUs = static_cast<double>(ticks->front()) / ticksPerUs;
    summary->maxUs = static_cast<double>(ticks->back()) / ticksPerUs;
}

void PrintSummary(const wchar_t* label, const LatencySummary& s) {
    PrintOut(L"result %ls threads=%d calls=%ld errors=%ld stuck=%d seconds=%.3f throughput=%.1f "
             L"p50_us=%.1f p99_us=%.1f mean_us=%.1f min_us=%.1f max_us=%.1f\n",
             label, s.threads, s.calls, s.errors, s.stuck, s.seconds, s.throughput, s.p50Us,
             s.p99Us, s.meanUs, s.minUs, s.maxUs);
}

bool ParseCountList(const wchar_t* text, int* counts, int capacity, int* used) {
    *used = 0;
    if (!text || !*text) return false;
    const wchar_t* p = text;
    while (*p) {
        if (*used >= capacity) return false;
        wchar_t* end = nullptr;
        long value = wcstol(p, &end, 10);
        if (end == p || value <= 0 || value > 4096) return false;
        counts[(*used)++] = static_cast<int>(value);
        if (*end == L',') ++end;
        else if (*end) return false;
        p = end;
    }
    return *used > 0;
}

bool ParseSeconds(const wchar_t* text, double* seconds) {
    if (!text || !*text) return false;
    wchar_t* end = nullptr;
    double value = wcstod(text, &end);
    if (*end || value < 0) return false;
    *seconds = value;
    return true;
}
