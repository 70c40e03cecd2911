"""CPU and memory of a process, over psutil. Memory is in bytes.

    memory(pid)         {"rss", "threads", "private"}, or None once the process is gone
    settled_memory(pid, thread_limit)   the same, once the process has calmed down
    cpu_seconds(pid)    user + system CPU seconds, or None once it is gone

"private" is the unique set size: the pages only this process maps
(private clean and private dirty), what the process itself has written
or read in and nobody shares; "rss" the resident set.
"""
import time

import psutil

KIB = 1024


def memory(pid):
    """{"rss", "threads", "private" (bytes)} of a process, or None once it is gone."""
    try:
        process = psutil.Process(pid)
        with process.oneshot():
            full = process.memory_full_info()
            threads = process.num_threads()
    except psutil.Error:
        return None
    return {"rss": full.rss, "threads": threads, "private": full.uss}


def settled_memory(pid, thread_limit, wait=60, still=64 * KIB):
    """memory(pid) once the process is back to at most `thread_limit`
    threads (the runtime ends the threads of closed connections on its own
    time) and its private memory changes by less than `still` bytes in a
    second; the wait only guards against a hang."""
    deadline = time.monotonic() + wait
    figures = memory(pid)
    while figures is not None and time.monotonic() < deadline:
        time.sleep(1)
        previous, figures = figures, memory(pid)
        if figures is None:
            break
        if figures["threads"] <= thread_limit and abs(figures["private"] - previous["private"]) < still:
            break
    return figures


def in_kib(figures):
    """The memory figures with sizes in KiB, for reports that give kB."""
    return {key: value // KIB if key != "threads" else value for key, value in figures.items()}


def cpu_seconds(pid):
    """User + system CPU seconds of a process; None once it is gone."""
    try:
        times = psutil.Process(pid).cpu_times()
    except psutil.Error:
        return None
    return times.user + times.system
