// The signal hand-over: a first SIGTERM, SIGINT or SIGHUP ends the event loop
// (the orderly shutdown); once the shutdown has begun, a second one ends the
// program at once instead of waiting for it.
#include "app/SignalHandler.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTimer>

#include <csignal>

namespace {

int argumentCount = 1;
char programName[] = "app_signal_tests";
char* arguments[] = {programName, nullptr};

} // namespace

class SignalHandOver : public ::testing::TestWithParam<int> {};

TEST_P(SignalHandOver, theFirstSignalEndsTheLoopAndOnceShutdownBeganTheNextEndsTheProgram) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const int signalNumber = GetParam();
    EXPECT_EXIT(
        {
            QCoreApplication application(argumentCount, arguments);
            SignalHandler handler;
            QTimer::singleShot(0, [signalNumber] { std::raise(signalNumber); });
            // A signal that ended nothing would leave the loop to this guard.
            QTimer::singleShot(10000, [] { QCoreApplication::exit(3); });
            if (QCoreApplication::exec() != 0)
                std::_Exit(3);
            SignalHandler::restoreDefaultActions();
            std::raise(signalNumber);
            std::_Exit(4); // the second signal was swallowed
        },
        ::testing::KilledBySignal(signalNumber), "");
}

INSTANTIATE_TEST_SUITE_P(Signals, SignalHandOver, ::testing::Values(SIGTERM, SIGINT, SIGHUP));
