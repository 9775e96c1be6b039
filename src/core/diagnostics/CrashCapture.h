#pragma once

// The last-moment half of crash capture: the handlers that write the pending record while the
// process dies. Everything they need is prepared here beforehand, because inside a signal
// handler the allocator, the dynamic loader or any library may be holding a lock of the dying
// thread: the handlers only format into fixed buffers and call open, write, rename and raise.
namespace CrashCapture {

constexpr int maxFrames = 30;

// Keeps `recordPath` (the pending record's file) for the handlers, then puts in place the
// terminate handler and, in this order, the handlers of SIGABRT, SIGSEGV, SIGILL, SIGBUS,
// SIGFPE and SIGTRAP, replacing whatever was there. They run on an alternate stack of the
// calling thread, so that a stack overflow there still leaves its record.
void install(const char *recordPath);

// Gives the calling thread an alternate stack of its own, so that a stack overflow on a thread
// other than the one that installed the handlers still leaves its record. Called first thing on
// each long-lived thread of ours; the stack lives as long as the process.
void prepareThread();

} // namespace CrashCapture
