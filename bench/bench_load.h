// Load harness shared by the benchmark tools: N threads repeat one timed
// operation for a fixed time or a fixed number of calls, each recording
// the latency of every call with the performance counter, and the run is
// summarised as throughput and latency percentiles.
#pragma once

#include <windows.h>

#include <vector>

// One thread of a run. The caller fills `context`, `prepare` and `call`;
// the harness fills the rest.
struct LoadWorker {
    void* context;
    // Runs once on the worker's thread before the clock starts (connect);
    // false leaves the worker out of the run with one error.
    bool (*prepare)(void* context);
    // Untimed calls made by every prepared worker at the same moment, so
    // that connections the timed calls need are made before the clock.
    long warmup;
    // One timed operation; false counts the call as an error.
    bool (*call)(void* context);

    long target;                   // calls to make; 0: until the deadline
    std::vector<LONGLONG> ticks;   // latency of every call, counter ticks
    long errors;
    LONGLONG finished;             // counter value after the last call
    bool prepared;
    volatile LONG done;            // set by the worker when it has finished
    volatile LONGLONG callStart;   // counter value at the start of the call in progress, or 0
};

struct LoadRun {
    LoadWorker* workers;
    int count;
    double seconds;     // used when totalCalls is 0
    long totalCalls;    // split evenly over the workers
    double graceSeconds;  // how long one call may take before it counts as stuck; 0: for ever
    bool announce;        // print "started threads=N" when the clock starts
};

struct LatencySummary {
    int threads;
    long calls;         // successful and failed calls
    long errors;
    double seconds;     // from the common start to the last call's end
    double throughput;  // calls per second
    double p50Us, p99Us, meanUs, minUs, maxUs;
    int stuck;          // workers whose call had not returned by the grace time
};

// The performance counter and its unit.
LONGLONG CounterNow();
double CounterTicksPerMicrosecond();

// Starts every worker, waits until all are prepared (at most the grace
// time), lets the prepared ones warm up, releases them at once and waits
// for them to finish. A worker prepared after the grace time joins late.
// False only when the threads could not be started; failed calls show in
// the summary. A worker whose call has not
// returned after the grace time is left running and counted as stuck, with
// one error; its recorded calls are left out. The caller must then end the
// process without releasing what such workers use.
bool RunLoad(LoadRun* run, LatencySummary* summary);

// Summarises latencies in counter ticks (the vector is sorted).
void Summarise(std::vector<LONGLONG>* ticks, long errors, double seconds, LatencySummary* summary);

// Prints "result <label> threads=.. calls=.. errors=.. stuck=.. seconds=..
// throughput=.. p50_us=.. p99_us=.. mean_us=.. min_us=.. max_us=..".
void PrintSummary(const wchar_t* label, const LatencySummary& summary);

// Parses a comma-separated list of positive counts ("1,8,64,256") into
// `counts` (at most `capacity`); false on anything else.
bool ParseCountList(const wchar_t* text, int* counts, int capacity, int* used);

// Parses a non-negative decimal number with an optional fraction.
bool ParseSeconds(const wchar_t* text, double* seconds);
