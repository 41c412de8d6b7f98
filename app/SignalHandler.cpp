#include "app/SignalHandler.h"

#include <QCoreApplication>
#include <QDebug>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {
constexpr int kHandledSignals[] = {SIGTERM, SIGINT, SIGHUP};
}

std::atomic<int> SignalHandler::writeEnd{-1};

SignalHandler::SignalHandler() {
    if (::pipe2(pipeEnds, O_CLOEXEC | O_NONBLOCK) != 0) {
        qCritical() << "Cannot create the signal pipe:" << qt_error_string(errno);
        return;
    }
    writeEnd.store(pipeEnds[1]);
    notifier = std::make_unique<QSocketNotifier>(pipeEnds[0], QSocketNotifier::Read);
    QObject::connect(notifier.get(), &QSocketNotifier::activated, notifier.get(), [this] { drain(); });

    struct sigaction action {};
    action.sa_handler = &SignalHandler::onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signalNumber : kHandledSignals)
        ::sigaction(signalNumber, &action, nullptr);
}

SignalHandler::~SignalHandler() {
    restoreDefaultActions();
    writeEnd.store(-1);
    notifier.reset();
    for (int end : pipeEnds) {
        if (end >= 0)
            ::close(end);
    }
}

void SignalHandler::restoreDefaultActions() {
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    for (int signalNumber : kHandledSignals)
        ::sigaction(signalNumber, &action, nullptr);
}

void SignalHandler::onSignal(int signalNumber) {
    const int savedErrno = errno;
    const int fd = writeEnd.load();
    if (fd >= 0) {
        const unsigned char byte = static_cast<unsigned char>(signalNumber);
        // A full pipe already holds a request to quit; nothing is lost.
        [[maybe_unused]] const ssize_t written = ::write(fd, &byte, 1);
    }
    errno = savedErrno;
}

void SignalHandler::drain() {
    unsigned char received[16];
    ssize_t count = 0;
    while ((count = ::read(pipeEnds[0], received, sizeof received)) > 0) {
        for (ssize_t i = 0; i < count; ++i)
            qInfo() << "Signal" << int(received[i]) << "received, closing";
    }
    QCoreApplication::quit();
}
