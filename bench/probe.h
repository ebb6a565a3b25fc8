// What the benchmark runner cannot see from outside a process it started: when the
// process was created, when it reached a given point, and its memory counters.
#pragma once

// Writes one line "probe created_ft=... entry_ft=... [memory counters]" to standard
// output when TARVIX_BENCH_PROBE is "time" or "memory"; does nothing otherwise. Times
// are absolute system times in 100 ns units, so the runner can subtract its own start
// time. "memory" adds this process's counters and, when TARVIX_ONEFILE_PARENT names a
// live process, that process's counters too.
void probe_report();

// Private committed bytes of process, summed over its regions: Wine's counters report
// resident memory only, not what a process has committed.
unsigned long long private_commit(void* process);

// CPU time used so far by every process of the benchmark's control group (the Wine server
// and all Wine processes of the run), in microseconds, or -1 when there is none. Unlike
// wall time it does not grow when other work shares the CPU. TARVIX_BENCH_CPU_FILE names
// the group's cpuacct.usage (cgroup v1, nanoseconds) or cpu.stat (v2, usage_usec).
long long group_cpu_microseconds();
