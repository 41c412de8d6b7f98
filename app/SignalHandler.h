#pragma once

#include <QSocketNotifier>

#include <atomic>
#include <memory>

// Ends the event loop on SIGTERM, SIGINT and SIGHUP, so that a signal shuts the
// program down in the same order as closing the window. The handler only writes
// the signal number into a pipe; the event loop reads it (QSocketNotifier) and
// quits. Once the shutdown has begun nothing reads the pipe, so the default
// actions come back and a second signal ends the program at once. One instance
// at a time, created on the GUI thread after the application object and
// destroyed before it.
class SignalHandler {
public:
    SignalHandler();
    // Restores the default actions and closes the pipe.
    ~SignalHandler();

    // GUI thread, when the event loop has ended: the signals get their default
    // actions back.
    static void restoreDefaultActions();

    SignalHandler(const SignalHandler&) = delete;
    SignalHandler& operator=(const SignalHandler&) = delete;

private:
    static void onSignal(int signalNumber); // any thread, async-signal context
    void drain();                           // GUI thread

    static std::atomic<int> writeEnd;
    int pipeEnds[2] = {-1, -1};
    std::unique_ptr<QSocketNotifier> notifier;
};
