#pragma once

// Writes a report to standard error when the process dies of SIGSEGV, SIGBUS,
// SIGFPE or SIGABRT: the signal, the faulting address and the stack as module
// and offset per frame (`addr2line -e MODULE OFFSET` names the line). Only
// async-signal-safe calls run in the handler: the stack is walked with
// backtrace(), warmed up at install time so it never loads a library then, and
// modules are looked up by reading /proc/self/maps with plain system calls.
// The signal is then raised again with its default action, so the process ends
// as it would have without the report.
class CrashReporter {
public:
    // Main thread, before any other thread starts. Does nothing in sanitizer
    // builds: the sanitizers' own reports say more.
    static void install();

    // Async-signal context. Writes the report for `signalNumber` to `fd`;
    // `faultAddress` may be null. Exposed for tests.
    static void writeReport(int fd, int signalNumber, const void* faultAddress);

    CrashReporter() = delete;
};
