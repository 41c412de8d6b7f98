#include "persistence/ChannelMappingStorage.h"

#include "persistence/ChannelMappingDocument.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <sys/mount.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

using testing::ElementsAre;
using testing::HasSubstr;
using testing::StartsWith;
using Status = ChannelMappingStorage::ReadResult::Status;

namespace {

struct LogLine {
    QtMsgType type;
    std::string text;
};

std::mutex logMutex;
std::vector<LogLine> logLines;

void captureLog(QtMsgType type, const QMessageLogContext&, const QString& message) {
    const std::lock_guard lock(logMutex);
    logLines.push_back({type, message.toStdString()});
}

std::string utf8(const QString& text) {
    return text.toUtf8().toStdString();
}

QByteArray fileContents(const QString& path) {
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << utf8(path);
    return file.readAll();
}

void putFile(const QString& path, const QByteArray& contents) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << utf8(path);
    ASSERT_EQ(file.write(contents), contents.size());
}

ChannelMappingDocument routing(int senders, uint32_t channels) {
    ChannelMappingDocument document;
    for (int i = 0; i < senders; ++i) {
        const std::string name = "Sender " + std::to_string(i);
        document.senders.push_back(
            {name, std::vector<ChannelMapping>(channels, {3, "SOME-HOST (Some Stream " + name + ")"}), "CAMERA"});
        document.delays.push_back({name, 0});
    }
    return document;
}

// A scratch directory that is also the current directory; the current
// directory and the log handler are given back afterwards.
class ChannelMappingStorageTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        root = QDir(dir.path()).canonicalPath();
        ASSERT_TRUE(QDir::setCurrent(root));
        logLines.clear();
        previousHandler = qInstallMessageHandler(captureLog);
    }

    void TearDown() override {
        qInstallMessageHandler(previousHandler);
        QDir::setCurrent(previousCurrent);
    }

    std::string path(const QString& relative) const { return utf8(root + u'/' + relative); }

    std::vector<LogLine> logged() const {
        const std::lock_guard lock(logMutex);
        return logLines;
    }

    const QString previousCurrent = QDir::currentPath();
    QTemporaryDir dir;
    QString root;
    QtMessageHandler previousHandler = nullptr;
};

TEST_F(ChannelMappingStorageTest, writtenFileReplacesTheOldOneAndReadsBackFromANewNestedDirectory) {
    const std::string file = path("a/b/c/routing.zelkac");
    const std::string first = routing(1, 2).serialize();
    const std::string second = routing(3, 4).serialize();

    EXPECT_EQ(ChannelMappingStorage::write(file, first), "");
    EXPECT_EQ(QDir::currentPath(), root + "/a/b/c");
    EXPECT_EQ(ChannelMappingStorage::write(file, second), "");

    const auto read = ChannelMappingStorage::read(file);
    EXPECT_EQ(read.status, Status::Read);
    EXPECT_EQ(read.text, second);
    EXPECT_THAT(QDir(root + "/a/b/c").entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
                ElementsAre("routing.zelkac"));
    EXPECT_TRUE(logged().empty());
}

TEST_F(ChannelMappingStorageTest, pathsWithoutSlashOrRelativeAreResolvedAgainstTheCurrentDirectoryOnce) {
    const std::string text = routing(1, 1).serialize();
    EXPECT_EQ(ChannelMappingStorage::write("plain.zelkac", text), "");
    EXPECT_EQ(fileContents(root + "/plain.zelkac").toStdString(), text);
    EXPECT_EQ(ChannelMappingStorage::read("plain.zelkac").text, text);

    // The file is addressed by its absolute path, not again relative to its
    // directory after that became current.
    EXPECT_EQ(ChannelMappingStorage::write("sub/relative.zelkac", text), "");
    EXPECT_EQ(QDir::currentPath(), root + "/sub");
    EXPECT_EQ(fileContents(root + "/sub/relative.zelkac").toStdString(), text);
    EXPECT_FALSE(QDir(root + "/sub/sub").exists());
}

TEST_F(ChannelMappingStorageTest, readTellsMissingEmptyAndUnreadableFilesApart) {
    putFile(root + "/empty.zelkac", {});
    ASSERT_TRUE(QDir(root).mkdir("folder.zelkac"));
    {
        QFile huge(root + "/huge.zelkac");
        ASSERT_TRUE(huge.open(QIODevice::WriteOnly));
        ASSERT_TRUE(huge.resize(static_cast<qint64>(ChannelMappingDocument::kMaxTextBytes) + 1)); // sparse
    }
    const struct {
        const char* file;
        Status status;
        const char* error;
    } cases[] = {
        {"missing.zelkac", Status::Missing, ""},
        {"empty.zelkac", Status::Read, ""},
        {"folder.zelkac", Status::Unreadable, "is not a regular file"},
        {"huge.zelkac", Status::Unreadable, "is larger than 16777216 bytes"},
    };
    for (const auto& c : cases) {
        const auto read = ChannelMappingStorage::read(path(c.file));
        EXPECT_EQ(read.status, c.status) << c.file;
        EXPECT_EQ(read.text, "") << c.file;
        EXPECT_THAT(read.error, HasSubstr(c.error)) << c.file;
    }
    EXPECT_TRUE(logged().empty());
}

TEST_F(ChannelMappingStorageTest, directoryThatCannotBeCreatedIsLoggedForLoadsOnlyAndChangesNothing) {
    putFile(root + "/blocker", "a file where a directory is needed");
    const std::string file = path("blocker/sub/routing.zelkac");

    const auto read = ChannelMappingStorage::read(file);
    EXPECT_EQ(read.status, Status::DirectoryFailed);
    const auto lines = logged();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].type, QtCriticalMsg);
    EXPECT_EQ(lines[0].text, "Cannot create path \"" + utf8(root) + "/blocker/sub\"");

    EXPECT_EQ(ChannelMappingStorage::write(file, "{}"), "Cannot create path \"" + utf8(root) + "/blocker/sub\"");
    EXPECT_EQ(logged().size(), 1u) << "saves stay silent";
    EXPECT_EQ(QDir::currentPath(), root);
}

// Mounts a 64 KiB tmpfs so that a full disk and a read-only file system can be
// made for real (as root no permission bits stop a write).
class SmallFileSystemTest : public ChannelMappingStorageTest {
protected:
    void SetUp() override {
        ChannelMappingStorageTest::SetUp();
        mountPoint = root + "/small";
        ASSERT_TRUE(QDir(root).mkdir("small"));
        if (mount("tmpfs", mountPoint.toLocal8Bit().constData(), "tmpfs", 0, "size=64k") != 0) {
            GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
        }
        mounted = true;
    }

    void TearDown() override {
        ChannelMappingStorageTest::TearDown();
        if (mounted) {
            umount2(mountPoint.toLocal8Bit().constData(), MNT_DETACH);
        }
    }

    void makeReadOnly() {
        ASSERT_EQ(mount(nullptr, mountPoint.toLocal8Bit().constData(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0)
            << std::strerror(errno);
    }

    QString mountPoint;
    bool mounted = false;
};

TEST_F(SmallFileSystemTest, failedWriteLeavesThePreviousFileIntact) {
    const std::string file = utf8(mountPoint) + "/routing.zelkac";
    const std::string old = routing(1, 2).serialize();
    ASSERT_EQ(ChannelMappingStorage::write(file, old), "");
    const auto onlyTheOldFileIsThere = [&] {
        EXPECT_TRUE(ChannelMappingStorage::read(file).text == old) << "the old file changed";
        EXPECT_THAT(QDir(mountPoint).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
                    ElementsAre("routing.zelkac"));
    };

    const std::string tooLarge = routing(20, 64).serialize();
    ASSERT_GT(tooLarge.size(), 64u * 1024u);
    EXPECT_THAT(ChannelMappingStorage::write(file, tooLarge), StartsWith("Cannot write"));
    onlyTheOldFileIsThere();

    // A small document that fits Qt's write buffer fails only when it is flushed.
    {
        QFile filler(mountPoint + "/filler");
        ASSERT_TRUE(filler.open(QIODevice::WriteOnly));
        const QByteArray chunk(4096, 'x');
        while (filler.write(chunk) > 0 && filler.flush()) {
        }
    }
    EXPECT_THAT(ChannelMappingStorage::write(file, routing(1, 3).serialize()), StartsWith("Cannot write"));
    EXPECT_TRUE(ChannelMappingStorage::read(file).text == old) << "a full disk emptied the file";
    ASSERT_TRUE(QFile::remove(mountPoint + "/filler"));

    makeReadOnly();
    EXPECT_THAT(ChannelMappingStorage::write(file, routing(2, 2).serialize()), HasSubstr("for writing"));
    onlyTheOldFileIsThere();
}

TEST_F(ChannelMappingStorageTest, unparsableFileIsMovedAsideNextToItAndTheLogSaysWhere) {
    const std::string file = path("sendersChannelMappings.zelkac");
    std::vector<std::string> movedTo;
    for (const QByteArray& contents : {QByteArray("{ not json"), QByteArray("[1]")}) {
        putFile(QString::fromStdString(file), contents);
        const auto moved = ChannelMappingStorage::moveAside(file);
        ASSERT_TRUE(moved.has_value());
        EXPECT_THAT(*moved, StartsWith(file + ".unreadable-"));
        EXPECT_FALSE(QFile::exists(QString::fromStdString(file)));
        EXPECT_EQ(fileContents(QString::fromStdString(*moved)), contents);
        movedTo.push_back(*moved);
    }
    EXPECT_NE(movedTo[0], movedTo[1]) << "an earlier moved file is never overwritten";

    const auto lines = logged();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1].type, QtWarningMsg);
    EXPECT_THAT(lines[1].text, HasSubstr("\"" + movedTo[1] + "\""));

    EXPECT_FALSE(ChannelMappingStorage::moveAside(file).has_value());
    ASSERT_EQ(logged().size(), 3u);
    EXPECT_EQ(logged()[2].type, QtCriticalMsg);
}

TEST_F(ChannelMappingStorageTest, defaultFileLivesInTheUsersApplicationDataFolder) {
    ASSERT_TRUE(qputenv("XDG_DATA_HOME", root.toLocal8Bit()));
    const std::string expected = utf8(root) + "/Morvith/Quorvane/sendersChannelMappings.zelkac";

    // Callable from any thread; the application's names are set on the way.
    std::vector<std::string> paths(4);
    std::vector<std::thread> threads;
    for (auto& result : paths) {
        threads.emplace_back([&result] { result = ChannelMappingStorage::defaultChannelMappingsPath(); });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_THAT(paths, testing::Each(expected));
    EXPECT_EQ(QCoreApplication::organizationName(), "Morvith");
    EXPECT_EQ(QCoreApplication::applicationName(), "Quorvane");
    EXPECT_FALSE(QDir(root + "/Morvith").exists()) << "computing the path creates nothing";

    EXPECT_FALSE(ChannelMappingStorage::channelMappingsFileExists());
    ASSERT_EQ(ChannelMappingStorage::write(expected, ChannelMappingDocument{}.serialize()), "");
    EXPECT_TRUE(ChannelMappingStorage::channelMappingsFileExists());
}

} // namespace
