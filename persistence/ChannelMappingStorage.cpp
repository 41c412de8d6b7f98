#include "persistence/ChannelMappingStorage.h"

#include "persistence/ChannelMappingDocument.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

#include <mutex>

namespace {

constexpr int kMaxAsideSuffix = 1000;

QString fromUtf8(const std::string& text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

std::string toUtf8(const QString& text) {
    return text.toUtf8().toStdString();
}

// An error text: `format` with its %1, %2, ... filled in.
template <typename... Args> std::string errorText(const char* format, const Args&... args) {
    return toUtf8(QString::fromUtf8(format).arg(args...));
}

enum class Purpose { Load, Save };

struct PreparedFile {
    QString filePath; // absolute
    std::string error;
};

// The directory part of `path` is everything before its last "/"; a bare file
// name lives in the current directory. The directory is resolved against the
// current directory once, created with its parents and made current; the file
// is then addressed by its absolute path so that a relative path does not get
// resolved a second time against the new current directory.
PreparedFile prepareDirectory(const std::string& path, Purpose purpose) {
    const QString filePath = fromUtf8(path);
    const qsizetype slash = filePath.lastIndexOf(u'/');
    const QString directory = slash < 0 ? QStringLiteral(".") : slash == 0 ? QStringLiteral("/") : filePath.left(slash);
    const QString absoluteDirectory = QDir::cleanPath(QDir(directory).absolutePath());

    if (!QDir().mkpath(absoluteDirectory)) {
        if (purpose == Purpose::Load) {
            qCritical() << "Cannot create path" << absoluteDirectory;
        }
        return {{}, errorText("Cannot create path \"%1\"", absoluteDirectory)};
    }
    if (!QDir::setCurrent(absoluteDirectory)) {
        if (purpose == Purpose::Load) {
            qCritical() << "Cannot change current path to" << absoluteDirectory;
        }
        return {{}, errorText("Cannot change current path to \"%1\"", absoluteDirectory)};
    }
    return {QDir(absoluteDirectory).filePath(filePath.mid(slash + 1)), {}};
}

} // namespace

std::string ChannelMappingStorage::defaultChannelMappingsPath() {
    // The application's names are process-wide and unguarded in Qt; callers on
    // different threads take turns here, and only a change is written.
    static std::mutex identityMutex;
    const std::lock_guard lock(identityMutex);
    const QString organisation = QStringLiteral("Morvith");
    const QString application = QStringLiteral("Quorvane");
    if (QCoreApplication::organizationName() != organisation) {
        QCoreApplication::setOrganizationName(organisation);
    }
    if (QCoreApplication::applicationName() != application) {
        QCoreApplication::setApplicationName(application);
    }
    return toUtf8(QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) +
                  QStringLiteral("/sendersChannelMappings.zelkac"));
}

bool ChannelMappingStorage::channelMappingsFileExists() {
    QFile file(fromUtf8(defaultChannelMappingsPath()));
    // Opening a pipe or device would block or read forever; only a plain file counts.
    return QFileInfo(file).isFile() && file.open(QIODevice::ReadOnly);
}

ChannelMappingStorage::ReadResult ChannelMappingStorage::read(const std::string& path) {
    using Status = ReadResult::Status;
    const PreparedFile prepared = prepareDirectory(path, Purpose::Load);
    if (!prepared.error.empty()) {
        return {Status::DirectoryFailed, {}, prepared.error};
    }

    const QFileInfo info(prepared.filePath);
    if (!info.exists()) {
        return {Status::Missing, {}, {}};
    }
    if (!info.isFile()) {
        return {Status::Unreadable, {}, errorText("\"%1\" is not a regular file", prepared.filePath)};
    }
    const auto tooLarge = [&] {
        return ReadResult{Status::Unreadable,
                          {},
                          errorText("\"%1\" is larger than %2 bytes", prepared.filePath,
                                    QString::number(ChannelMappingDocument::kMaxTextBytes))};
    };
    if (static_cast<quint64>(info.size()) > ChannelMappingDocument::kMaxTextBytes) {
        return tooLarge();
    }

    QFile file(prepared.filePath);
    if (!file.open(QIODevice::ReadOnly)) {
        if (!QFileInfo::exists(prepared.filePath)) {
            return {Status::Missing, {}, {}};
        }
        return {Status::Unreadable, {}, errorText("Cannot open \"%1\": %2", prepared.filePath, file.errorString())};
    }
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        return {Status::Unreadable, {}, errorText("Cannot read \"%1\": %2", prepared.filePath, file.errorString())};
    }
    // The file may have grown since its size was checked.
    if (static_cast<quint64>(bytes.size()) > ChannelMappingDocument::kMaxTextBytes) {
        return tooLarge();
    }
    return {Status::Read, bytes.toStdString(), {}};
}

std::string ChannelMappingStorage::write(const std::string& path, const std::string& text) {
    const PreparedFile prepared = prepareDirectory(path, Purpose::Save);
    if (!prepared.error.empty()) {
        return prepared.error;
    }
    // QSaveFile writes a temporary file next to the target, syncs it and renames
    // it over the target on commit; until then the old file is untouched.
    QSaveFile file(prepared.filePath);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text)) {
        return errorText("Cannot open \"%1\" for writing: %2", prepared.filePath, file.errorString());
    }
    const auto size = static_cast<qint64>(text.size());
    // The text may still sit in Qt's write buffer; flush it here, because
    // commit() renames the temporary file even when its own final flush fails
    // (a full disk would then replace the routing with an empty file).
    if (file.write(text.data(), size) != size || !file.flush() || file.error() != QFileDevice::NoError) {
        const std::string error = errorText("Cannot write \"%1\": %2", prepared.filePath, file.errorString());
        file.cancelWriting();
        return error;
    }
    if (!file.commit()) {
        return errorText("Cannot write \"%1\": %2", prepared.filePath, file.errorString());
    }
    return {};
}

std::optional<std::string> ChannelMappingStorage::moveAside(const std::string& path) {
    const QString from = fromUtf8(path);
    const QString stem = from + QStringLiteral(".unreadable-") +
                         QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    QString to = stem;
    for (int suffix = 2; QFileInfo::exists(to) && suffix <= kMaxAsideSuffix; ++suffix) {
        to = stem + u'-' + QString::number(suffix);
    }
    QFile file(from);
    if (!file.rename(to)) {
        qCritical() << "Cannot move unreadable channel mappings file" << from << "aside to" << to << ":"
                    << file.errorString();
        return std::nullopt;
    }
    qWarning() << "Moved unreadable channel mappings file" << from << "to" << to;
    return toUtf8(to);
}
