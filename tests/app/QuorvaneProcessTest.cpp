// The real program, started as a user would, under the test's Xvfb: one
// instance per user, and signals that shut it down like closing the window.
// Each start of the web engine takes a few seconds; the waits are generous
// upper bounds for a loaded machine.
#include "app/SingleInstanceGuard.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <csignal>
#include <optional>
#include <sys/ipc.h>
#include <sys/sem.h>

namespace {

constexpr int kStartLimitMs = 90'000;
constexpr int kExitLimitMs = 60'000;

// Private HOME, XDG folders, temporary folder and NDI discovery folder, so the
// user's files and a user's running Quorvane are never touched.
class Environment {
public:
    Environment() {
        for (const char* sub : {"home", "data", "config", "cache", "runtime", "tmp", "ndi", "elsewhere"})
            QDir(root.path()).mkpath(QString::fromLatin1(sub));
        QFile::setPermissions(path("runtime"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        variables = QProcessEnvironment::systemEnvironment();
        variables.insert("HOME", path("home"));
        variables.insert("XDG_DATA_HOME", path("data"));
        variables.insert("XDG_CONFIG_HOME", path("config"));
        variables.insert("XDG_CACHE_HOME", path("cache"));
        variables.insert("XDG_RUNTIME_DIR", path("runtime"));
        variables.insert("TMPDIR", path("tmp"));
        variables.insert("QUORVANE_NDI_DIR", path("ndi"));
        variables.insert("QTWEBENGINE_DISABLE_SANDBOX", "1");
        // Never join a JACK server another program runs, and start none.
        variables.insert("JACK_NO_START_SERVER", "1");
        variables.insert("JACK_DEFAULT_SERVER", "quorvane-test-" + QFileInfo(root.path()).fileName());
    }

    // Removes the semaphore that an instance killed with -9 leaves behind.
    ~Environment() {
        const QDir tmp(path("tmp"));
        for (const QString& name : tmp.entryList({QStringLiteral("qipc_systemsem_*")}, QDir::Files)) {
            const key_t key = ::ftok(QFile::encodeName(tmp.filePath(name)).constData(), 'Q');
            const int id = key == -1 ? -1 : ::semget(key, 1, 0600);
            if (id != -1)
                ::semctl(id, 0, IPC_RMID);
        }
    }

    QString path(const QString& name) const { return root.filePath(name); }
    QString defaultMappingFile() const {
        return path("data") + QStringLiteral("/Morvith/Quorvane/sendersChannelMappings.zelkac");
    }
    QString segmentKeyFile() const {
        return path("runtime") + QLatin1Char('/') +
               SingleInstanceGuard::deriveKey(QStringLiteral("some_random_key"),
                                              QStringLiteral("_sharedmemQuorvaneKey"));
    }

    QProcessEnvironment variables;

private:
    QTemporaryDir root;
};

// One run of build/bin/quorvane; its log (standard error and output) is kept.
class Quorvane {
public:
    Quorvane(const Environment& environment, const QString& workingDirectory, const QStringList& arguments = {}) {
        process.setProcessEnvironment(environment.variables);
        process.setWorkingDirectory(workingDirectory);
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start(QStringLiteral(QUORVANE_EXECUTABLE), arguments);
        process.waitForStarted();
    }
    ~Quorvane() {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished();
        }
    }

    bool waitForLog(const QString& text, int limitMs = kStartLimitMs) {
        QElapsedTimer timer;
        timer.start();
        while (!log().contains(text)) {
            if (timer.hasExpired(limitMs) || process.state() == QProcess::NotRunning)
                return log().contains(text);
            process.waitForReadyRead(100);
        }
        return true;
    }
    // The exit code, or nothing when the process did not end normally in time.
    std::optional<int> exitCode(int limitMs = kExitLimitMs) {
        if (!process.waitForFinished(limitMs) || process.exitStatus() != QProcess::NormalExit)
            return std::nullopt;
        log();
        return process.exitCode();
    }
    bool running() const { return process.state() == QProcess::Running; }
    void signal(int signalNumber) { ::kill(pid_t(process.processId()), signalNumber); }
    void killHard() {
        process.kill();
        process.waitForFinished();
    }
    const QString& log() {
        output += QString::fromLocal8Bit(process.readAll());
        return output;
    }

private:
    QProcess process;
    QString output;
};

const QString kAnotherInstance = QStringLiteral("Another instance is running");
const QString kReady = QStringLiteral("uiReady");

TEST(QuorvaneProcess, aSecondStartFromAnyDirectoryWarnsAndExitsWhileTheFirstRuns) {
    Environment environment;
    Quorvane first(environment, environment.path("home"));
    ASSERT_TRUE(first.waitForLog(kReady)) << first.log().toStdString();

    for (const QString& directory : {environment.path("home"), environment.path("elsewhere")}) {
        Quorvane second(environment, directory);
        EXPECT_EQ(second.exitCode(), 0) << directory.toStdString();
        EXPECT_TRUE(second.log().contains(kAnotherInstance)) << second.log().toStdString();
    }
    EXPECT_TRUE(first.running());
    EXPECT_FALSE(first.log().contains(kAnotherInstance));

    first.signal(SIGTERM);
    EXPECT_EQ(first.exitCode(), 0) << first.log().toStdString();
}

TEST(QuorvaneProcess, anInstanceKilledHardDoesNotBlockTheNextStart) {
    Environment environment;
    {
        Quorvane crashed(environment, environment.path("home"));
        ASSERT_TRUE(crashed.waitForLog(kReady)) << crashed.log().toStdString();
        crashed.killHard();
    }
    Quorvane next(environment, environment.path("elsewhere"));
    EXPECT_TRUE(next.waitForLog(kReady)) << next.log().toStdString();
    EXPECT_FALSE(next.log().contains(kAnotherInstance));
    next.signal(SIGTERM);
    EXPECT_EQ(next.exitCode(), 0) << next.log().toStdString();
}

TEST(QuorvaneProcess, aSignalShutsDownInTheWindowCloseOrderAndExitsWithZero) {
    for (int signalNumber : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(signalNumber);
        Environment environment;
        // Arguments reach nothing: Qt would refuse to start on this platform name.
        Quorvane quorvane(environment, environment.path("home"), {"-platform", "no-such-platform", "--unknown"});
        ASSERT_TRUE(quorvane.waitForLog(kReady)) << quorvane.log().toStdString();
        // Let the start-up writes of the routing settle, then check the one at
        // shutdown; the start gate (2 s after uiReady) is still closed, so its
        // waiting thread must be ended too.
        QThread::msleep(1500);
        ASSERT_TRUE(QFile::remove(environment.defaultMappingFile()));

        quorvane.signal(signalNumber);
        EXPECT_EQ(quorvane.exitCode(), 0) << quorvane.log().toStdString();
        EXPECT_TRUE(QFileInfo::exists(environment.defaultMappingFile()));
        EXPECT_TRUE(quorvane.log().contains(QStringLiteral("NDI source finder stopped")));
        EXPECT_FALSE(QFileInfo::exists(environment.segmentKeyFile())) << "the guard was not released";
    }
}

} // namespace
