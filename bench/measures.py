"""Process figures the benchmark needs beyond the harness's, over psutil.

Units, as in the harness: bytes for memory, seconds for CPU. Private bytes
here are the resident anonymous memory (RssAnon: resident less file-backed
and shared pages), what Wine reports as a process's private usage and what
the thread stacks are part of, so that stacks can be subtracted from it;
the harness's "private" (the unique set size, which adds the file pages
only this process maps) is 4 to 80 KiB more for the server and MonitorSim.
The keys keep the names of the fields they come from (RssAnon, VmRSS,
Threads), as saved results have them.

Every Wine thread holds about 1 MiB of private memory in one anonymous
read-write mapping for its stacks (about 3 MiB of address space), so the
memory figures subtract the threads' stacks and compare what is left,
heap and data: it does not depend on how many threads the runtime keeps.
"""
import os

import psutil

from harness import figures
from settings import ALL_CPUS

# With fewer threads than this the most common anonymous mapping size need
# not be the stack mapping's.
MIN_THREADS_FOR_STACK_SIZE = 32


def memory(pid):
    """{"RssAnon", "VmRSS" (bytes), "Threads"} of a process, or None once it is gone."""
    try:
        process = psutil.Process(pid)
        with process.oneshot():
            info = process.memory_info()
            threads = process.num_threads()
    except psutil.Error:
        return None
    return {"RssAnon": info.rss - info.shared, "VmRSS": info.rss, "Threads": threads}


def private_split(pid):
    """(private bytes, threads, resident stack bytes per thread or None).

    With enough threads the stack mapping's size is the most common one
    among the anonymous read-write mappings, and the mean resident size of
    those mappings is the stack cost of one thread (some stack mappings
    merge with a neighbour, so they are not simply counted)."""
    sizes = {}
    total = 0
    try:
        process = psutil.Process(pid)
        maps = process.memory_maps(grouped=False)
        threads = process.num_threads()
    except psutil.Error:
        return None
    for region in maps:
        total += region.anonymous
        if region.anonymous and region.perms.startswith("rw") and region.path == "[anon]":
            count, resident = sizes.get(region.size, (0, 0))
            sizes[region.size] = (count + 1, resident + region.anonymous)
    count, resident = max(sizes.values(), default=(0, 0))
    per_thread = resident / float(count) if count >= MIN_THREADS_FOR_STACK_SIZE else None
    return total, threads, per_thread


def cpu_sample(pids, before=None):
    """{pid: (name, CPU seconds)} of the processes {pid: name}. With
    `before`, its processes are read too when they are no longer listed: a
    process that has just ended is a zombie until it is waited for, and
    still has its CPU seconds."""
    sample = {}
    for pid, name in list(pids.items()) + [(pid, name) for pid, (name, _) in (before or {}).items()]:
        if pid not in sample:
            seconds = figures.cpu_seconds(pid)
            if seconds is not None:
                sample[pid] = (name, seconds)
    return sample


def cpu_delta(before, after):
    """CPU seconds per process name between two cpu_sample()s."""
    by_name = {}
    for pid, (name, seconds) in after.items():
        by_name[name] = by_name.get(name, 0.0) + seconds - (before[pid][1] if pid in before else 0.0)
    return by_name


def machine_times():
    """(busy, total) CPU seconds of the whole machine (idle and iowait are not busy)."""
    times = psutil.cpu_times()
    total = sum(times)
    return total - times.idle - getattr(times, "iowait", 0.0), total


def machine_busy(before, after):
    """CPUs of the whole machine busy between two machine_times() samples."""
    busy, total = after[0] - before[0], after[1] - before[1]
    return len(ALL_CPUS) * busy / float(total) if total else None


def thread_switches(pid):
    """Context switches of every thread of a process, by thread id."""
    counts = {}
    try:
        threads = psutil.Process(pid).threads()
    except psutil.Error:
        return counts
    for thread in threads:
        try:
            switches = psutil.Process(thread.id).num_ctx_switches()
        except psutil.Error:
            continue
        counts[thread.id] = switches.voluntary + switches.involuntary
    return counts


def switches_between(before, after):
    """Context switches between two samples: threads that ended in between
    are left out, threads that started count in full."""
    return sum(count - before.get(tid, 0) for tid, count in after.items())


def set_affinity(pids, cpus):
    """Moves the calling thread and every thread of the processes `pids` to
    `cpus`; processes and threads started later from the calling thread
    inherit the setting."""
    os.sched_setaffinity(0, cpus)
    for pid in pids:
        try:
            threads = psutil.Process(pid).threads()
        except psutil.Error:
            continue
        for thread in threads:
            try:
                os.sched_setaffinity(thread.id, cpus)
            except OSError:
                pass
