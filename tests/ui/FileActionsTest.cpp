// The page's Load Config, Save Config and Save Config As: the dialogs are
// driven as a user would (choose a file and accept, or cancel), under Xvfb.
#include "BridgeTestSupport.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QTimer>

#include <gtest/gtest.h>

#include <optional>

using bridgetest::LogCapture;

namespace {

// Answers the next modal file dialog: picks `path` and accepts, or cancels
// when `path` is empty. Records the caption the dialog showed.
class DialogAnswer {
public:
    explicit DialogAnswer(QString path) : chosen(std::move(path)) { poll(); }
    std::optional<QString> caption;
    QStringList filters;

private:
    void poll() {
        QTimer::singleShot(20, [this] {
            auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
            if (!dialog) {
                poll();
                return;
            }
            caption = dialog->windowTitle();
            filters = dialog->nameFilters();
            if (chosen.isEmpty()) {
                dialog->reject();
                return;
            }
            // Typed into the name field, as a user would; the dialog's own
            // accept() then checks and returns it.
            if (auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit")))
                name->setText(chosen);
            QMetaObject::invokeMethod(dialog, "accept");
            if (dialog->isVisible()) {
                ADD_FAILURE() << "the dialog did not take " << chosen.toStdString();
                dialog->reject();
            }
        });
    }
    QString chosen;
};

QByteArray readAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

class FileActions : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        static int argc = 1;
        static char name[] = "file-action-tests";
        static char* argv[] = {name, nullptr};
        if (!QCoreApplication::instance())
            new QApplication(argc, argv);
    }

    // A copy of the routing as saved now, for the user to load.
    QString loadableFile() {
        const QString path = environment.path(QStringLiteral("loadable.zelkac"));
        engine.bridge->saveFileButtonPressed();
        QFile::copy(environment.defaultMappingFile(), path);
        return path;
    }

    std::string currentPath() const { return engine.bridge->audioEngine().currentMappingsPath(); }

    bridgetest::PrivateEnvironment environment;
    bridgetest::ManualBridge engine;
    QMLWrapper& bridge = *engine.bridge;
    bridgetest::MessageLog messages{bridge};
};

TEST_F(FileActions, loadThenSaveWritesThePreviousCurrentFileAndLeavesTheLoadedOneAlone) {
    const QString loaded = loadableFile();
    const QByteArray loadedBefore = readAll(loaded);
    const std::string before = currentPath();
    QFile::remove(QString::fromStdString(before));

    DialogAnswer answer(loaded);
    bridge.loadFileButtonPressed();
    ASSERT_EQ(answer.caption, QStringLiteral("Open File"));
    EXPECT_EQ(answer.filters, QStringList{QStringLiteral("Config file (*.zelkac)")});
    EXPECT_EQ(currentPath(), before);

    LogCapture log;
    bridge.saveFileButtonPressed();
    EXPECT_TRUE(QFile::exists(QString::fromStdString(before)));
    EXPECT_TRUE(log.contains(QStringLiteral("Saved to")));
    EXPECT_EQ(readAll(loaded), loadedBefore);
}

TEST_F(FileActions, saveAsMovesTheCurrentFileForLaterSaves) {
    const QString chosen = environment.path(QStringLiteral("chosen.zelkac"));
    DialogAnswer answer(chosen);
    bridge.saveAsFileButtonPressed();
    ASSERT_EQ(answer.caption, QStringLiteral("Open File"));
    EXPECT_EQ(answer.filters, QStringList{QStringLiteral("Config file (*.zelkac)")});
    EXPECT_EQ(QString::fromStdString(currentPath()), chosen);
    ASSERT_TRUE(QFile::remove(chosen));

    bridge.saveFileButtonPressed();
    EXPECT_TRUE(QFile::exists(chosen));
}

TEST_F(FileActions, cancellingTheOpenDialogLogsFilePathIsEmptyAndTheSaveDialogNothing) {
    const std::string before = currentPath();
    {
        LogCapture log;
        DialogAnswer cancel{QString()};
        bridge.loadFileButtonPressed();
        ASSERT_TRUE(cancel.caption);
        EXPECT_EQ(log.lines(), std::vector<QString>{QStringLiteral("File path is empty")});
    }
    {
        LogCapture log;
        DialogAnswer cancel{QString()};
        bridge.saveAsFileButtonPressed();
        ASSERT_TRUE(cancel.caption);
        EXPECT_TRUE(log.lines().empty());
    }
    EXPECT_EQ(currentPath(), before);
}

TEST_F(FileActions, loadingAFileThatCannotBeUsedIsOnlyLoggedAndChangesNoRouting) {
    engine.clock->tick(); // applies the start-up routing
    const auto before = bridge.audioEngine().routingSnapshot();
    messages.take();
    const QString garbage = environment.path(QStringLiteral("garbage.zelkac"));
    QFile file(garbage);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("{\"not\": [\"a routing\"");
    file.close();

    LogCapture log;
    DialogAnswer answer(garbage);
    bridge.loadFileButtonPressed();
    ASSERT_TRUE(answer.caption);
    engine.clock->tick();
    EXPECT_EQ(bridge.audioEngine().routingSnapshot(), before);
    EXPECT_FALSE(log.lines().empty());
    EXPECT_TRUE(messages.take().empty()) << "the page hears nothing of a load";
}

// A regular file where a folder should be: not even root can write below it.
QString blockFolder(const QString& folder) {
    QDir(folder).removeRecursively();
    QFile(folder).open(QIODevice::WriteOnly);
    return folder;
}

TEST_F(FileActions, aSaveAsThatCannotWriteSaysWhyAndKeepsTheCurrentFile) {
    const QString unwritable = blockFolder(environment.path(QStringLiteral("blocked"))) + QStringLiteral("/a.zelkac");
    const std::string before = currentPath();

    LogCapture log;
    DialogAnswer answer(unwritable);
    bridge.saveAsFileButtonPressed();
    ASSERT_TRUE(answer.caption);
    EXPECT_EQ(currentPath(), before);
    const auto failures = messages.take();
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0].first, QStringLiteral("saveFailed"));
    EXPECT_TRUE(failures[0].second.contains(unwritable)) << failures[0].second.toStdString();
    EXPECT_TRUE(log.contains(unwritable));
}

TEST_F(FileActions, aSaveThatCannotWriteSaysWhyAndDoesNotClaimSaved) {
    const QString current = QString::fromStdString(currentPath());
    blockFolder(QFileInfo(current).absolutePath());

    LogCapture log;
    bridge.saveFileButtonPressed();
    const auto failures = messages.take();
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0].first, QStringLiteral("saveFailed"));
    EXPECT_TRUE(failures[0].second.contains(current)) << failures[0].second.toStdString();
    EXPECT_FALSE(log.contains(QStringLiteral("Saved to")));
}

} // namespace
