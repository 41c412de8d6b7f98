// The fatal-signal report: a process that dies of a fatal signal says which
// signal and where, frame by frame, and still dies of that signal.
#include "app/CrashReporter.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>

namespace {
[[gnu::noinline]] void crashWith(int signalNumber) {
    if (signalNumber == SIGSEGV) {
        volatile int* nowhere = nullptr;
        *nowhere = 1;
    }
    std::raise(signalNumber);
}
} // namespace

class CrashReport : public ::testing::TestWithParam<std::pair<int, const char*>> {};

TEST_P(CrashReport, namesTheSignalAndTheFramesThenDiesOfIt) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "sanitizer builds keep the sanitizer's own report";
#endif
    const auto [signalNumber, name] = GetParam();
    // The report names the signal, then at least one frame in this test binary
    // as "module+0xoffset".
    const std::string expected = std::string("Fatal signal ") + std::to_string(signalNumber) + " \\(" + name +
                                 "\\)(.|\n)*#[0-9]+ /[^\n]*crash_reporter_tests\\+0x[0-9a-f]+";
    EXPECT_EXIT(
        {
            CrashReporter::install();
            crashWith(signalNumber);
        },
        ::testing::KilledBySignal(signalNumber), expected);
}

INSTANTIATE_TEST_SUITE_P(FatalSignals, CrashReport,
                         ::testing::Values(std::pair{SIGSEGV, "SIGSEGV"}, std::pair{SIGBUS, "SIGBUS"},
                                           std::pair{SIGFPE, "SIGFPE"}, std::pair{SIGABRT, "SIGABRT"}),
                         [](const auto& param) { return std::string(param.param.second); });
