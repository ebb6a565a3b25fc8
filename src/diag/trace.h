// The launcher's account of its steps, for the person at a machine where a start fails:
// one line per step, with the milliseconds since the trace began and the process id (the
// child of a library payload, which inherits the variable, writes to the same place).
// TARVIX_TRACE=1 or stderr sends the lines to standard error; any other value names a
// file they are appended to. Unset, empty or 0: off. A file that cannot be opened turns
// the trace off; nothing the trace does changes what the run does.
#pragma once

// Read once by trace_start; a trace point costs one test of it when off.
extern bool trace_enabled;

// Reads TARVIX_TRACE and opens where the lines go. Called first in the run.
void trace_start();

// Milliseconds since trace_start, as the lines show them.
unsigned long long trace_milliseconds();

// One line, written with one call: format with %s (narrow text), %w (wide text, narrowed
// as messages are), %u (unsigned long long) and %d (long long). Call it only when
// trace_enabled is set.
void trace_line(const char* format, ...);
