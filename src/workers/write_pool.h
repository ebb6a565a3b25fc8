// Writing the extracted files: the main thread decodes and hands each file over in pieces;
// worker threads create, write and close the files. The whole hand-over (the pieces, the
// first failure, the stop for a console event) lives in write_pool.cpp.
//
// Order: every piece of one file goes to one worker, in the order handed over, so a large
// file streams through in order. Failures are reported by the main thread alone, and the
// one reported is the first in payload order, with the message the launcher always gave
// for it; once a failure is known no further file is opened. Workers never end the process.
//
// Threads: none until the main thread has written alone for 20 ms; then up to
// worker_thread_count(), one more each time every worker has work.
//
// Memory: 32 pieces of 32 KiB, each with room for one path (1.3 MiB), and each worker's
// stack (its reservation is 256 KiB; it commits a few pages). One piece on one processor.
#pragma once

#include <cstddef>

#include "paths/long_path.h"

// The largest piece a file is handed over in.
inline constexpr size_t piece_capacity = 32768;

// The longest path a file can be handed over with, in long form, the NUL included.
inline constexpr size_t write_path_capacity = 4096 + long_path_growth;

// Main thread. Starts a file at path (its long form, copied) and returns the buffer for
// its first piece. Before that, a failure a worker met ends the run, and a console event
// parks the main thread; so does waiting for a free piece.
unsigned char* write_pool_begin_file(const wchar_t* path);

// Main thread. Hands the current piece over with its first length bytes (possibly none);
// last closes the file. Returns the buffer for the file's next piece, or nullptr after
// the last.
unsigned char* write_pool_hand_over(size_t length, bool last);

// Main thread, before it makes a directory at path (long form): waits until a file handed
// over at that name is closed, so that the directory meets it as it would in payload order.
void write_pool_wait_for_file(const wchar_t* path);

// Main thread. Waits until every file handed over is closed and ends the workers, then
// reports the first failure, if any, as the run has always reported it.
void write_pool_finish();

// Main thread, before it reports a failure of its own (a damaged payload): waits for the
// files handed over so far, which come before it in payload order, and reports a failure
// among them instead. Returns when there is none.
void write_pool_settle();

// Before the target directory is removed after a failure: the workers drop what they were
// given, close their files and stop touching the directory.
void write_pool_abandon();

// The console handler's thread, after it has asked the run to stop: wakes the workers so
// that they close their files, and tells when none of them can write any more.
void write_pool_wake();
bool write_pool_quiet();
