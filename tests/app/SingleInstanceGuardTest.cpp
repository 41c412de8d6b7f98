// The guard's keys and its hold on the segment, within one process.
#include "app/SingleInstanceGuard.h"

#include <QDir>
#include <QFileInfo>
#include <QSharedMemory>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {

// Points XDG_RUNTIME_DIR at a private folder for the test's guards.
class GuardEnvironment : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(runtime.isValid());
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));
        startDirectory = QDir::currentPath();
    }
    void TearDown() override { QDir::setCurrent(startDirectory); }

    QTemporaryDir runtime;
    QTemporaryDir elsewhere;
    QString startDirectory;
};

TEST(SingleInstanceGuardKeys, areSha1DigestsOfTheFixedKeyAndSalt) {
    EXPECT_EQ(
        SingleInstanceGuard::deriveKey(QStringLiteral("some_random_key"), QStringLiteral("_sharedmemQuorvaneKey")),
        QStringLiteral("2a67f15b0fd88e1ff3142e1e2d0d64c9d7845dc6"));
    EXPECT_EQ(SingleInstanceGuard::deriveKey(QStringLiteral("some_random_key"), QStringLiteral("_memLockQuorvaneKey")),
              QStringLiteral("a5e0d5b089d03af6e76c29c5ccdd907480505026"));
    // UTF-8 bytes of both parts, joined.
    EXPECT_EQ(SingleInstanceGuard::deriveKey(QStringLiteral("k\u00e9y"), QStringLiteral("")),
              SingleInstanceGuard::deriveKey(QStringLiteral("k"), QStringLiteral("\u00e9y")));
}

TEST_F(GuardEnvironment, keysAreTheSameAbsolutePathsFromAnyWorkingDirectory) {
    SingleInstanceGuard here;
    ASSERT_TRUE(QDir::setCurrent(elsewhere.path()));
    SingleInstanceGuard there;
    for (const SingleInstanceGuard* guard : {&here, &there}) {
        EXPECT_EQ(guard->sharedMemoryKey(), runtime.path() + "/2a67f15b0fd88e1ff3142e1e2d0d64c9d7845dc6");
        EXPECT_EQ(guard->semaphoreKey(), runtime.path() + "/a5e0d5b089d03af6e76c29c5ccdd907480505026");
    }
}

TEST_F(GuardEnvironment, aSecondGuardStepsBackUntilTheFirstReleases) {
    SingleInstanceGuard first;
    ASSERT_TRUE(first.tryToRun());
    ASSERT_TRUE(QDir::setCurrent(elsewhere.path()));
    SingleInstanceGuard second;
    EXPECT_TRUE(second.isAnotherRunning());
    EXPECT_FALSE(second.tryToRun());
    EXPECT_FALSE(first.isAnotherRunning()) << "a guard that holds the segment is not another instance";

    first.release();
    EXPECT_FALSE(QFileInfo::exists(first.sharedMemoryKey())) << "the last detach removes the segment";
    SingleInstanceGuard third;
    EXPECT_TRUE(third.tryToRun());
}

// ftok() keeps only a few bits of the key file's inode, so a segment that is
// not an instance of ours can answer to our key; it must not stop the start.
TEST_F(GuardEnvironment, aSegmentThatIsNotOursAtTheKeyDoesNotCountAsAnInstance) {
    struct Stranger {
        const char* what;
        quint64 word;
    };
    const quint64 mark = quint64(0x5152564e) << 32;
    const Stranger strangers[] = {
        {"another program's segment", 0},
        {"our mark with a holder that has gone", mark | 0x7ffffffe},
        {"a live process id without our mark", quint64(::getpid())},
    };
    for (const Stranger& stranger : strangers) {
        SCOPED_TRACE(stranger.what);
        QSharedMemory foreign;
        {
            SingleInstanceGuard keys;
            foreign.setNativeKey(keys.sharedMemoryKey());
        }
        ASSERT_TRUE(foreign.create(sizeof(quint64)));
        std::memcpy(foreign.data(), &stranger.word, sizeof stranger.word);

        SingleInstanceGuard first;
        EXPECT_FALSE(first.isAnotherRunning());
        ASSERT_TRUE(first.tryToRun());
        SingleInstanceGuard second;
        EXPECT_TRUE(second.isAnotherRunning());
        EXPECT_FALSE(second.tryToRun());
        first.release();
        EXPECT_TRUE(second.tryToRun());
        second.release();
    }
}

TEST(SingleInstanceGuardFolder, withoutARuntimeFolderIsPrivateToTheUserUnderTmp) {
    const QByteArray saved = qgetenv("XDG_RUNTIME_DIR");
    qunsetenv("XDG_RUNTIME_DIR");
    const QString folder = SingleInstanceGuard::keyDirectory();
    qputenv("XDG_RUNTIME_DIR", saved);

    EXPECT_EQ(folder, QStringLiteral("/tmp/quorvane-%1").arg(::getuid()));
    const QFileInfo info(folder);
    EXPECT_TRUE(info.isDir());
    EXPECT_EQ(info.ownerId(), ::getuid());
    EXPECT_EQ(info.permissions() & (QFile::ReadGroup | QFile::WriteGroup | QFile::ReadOther | QFile::WriteOther),
              QFile::Permissions());
}

} // namespace
