#include "app/SingleInstanceGuard.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QDir>

#include <sys/stat.h>
#include <unistd.h>

namespace {
const QString kBaseKey = QStringLiteral("some_random_key");
const QString kMemLockSalt = QStringLiteral("_memLockQuorvaneKey");
const QString kSharedMemSalt = QStringLiteral("_sharedmemQuorvaneKey");
// One 64-bit integer: the segment only has to exist.
constexpr qsizetype kSegmentSize = sizeof(quint64);

QString keyPath(const QString& key, const QString& salt) {
    return SingleInstanceGuard::keyDirectory() + QLatin1Char('/') + SingleInstanceGuard::deriveKey(key, salt);
}
} // namespace

SingleInstanceGuard::SingleInstanceGuard()
    : key(kBaseKey), memLockKey(keyPath(key, kMemLockSalt)), sharedMemKey(keyPath(key, kSharedMemSalt)),
      memLock(memLockKey, 1, QSystemSemaphore::Open) {
    sharedMem.setNativeKey(sharedMemKey);
}

SingleInstanceGuard::~SingleInstanceGuard() {
    release();
}

QString SingleInstanceGuard::deriveKey(const QString& key, const QString& salt) {
    QCryptographicHash hash(QCryptographicHash::Sha1);
    hash.addData(key.toUtf8());
    hash.addData(salt.toUtf8());
    return QString::fromLatin1(hash.result().toHex());
}

QString SingleInstanceGuard::keyDirectory() {
    const QString runtimeDir = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtimeDir.isEmpty() && QDir::isAbsolutePath(runtimeDir) && QFileInfo(runtimeDir).isDir())
        return QDir::cleanPath(runtimeDir);

    const uid_t uid = ::getuid();
    const QString dir = QStringLiteral("/tmp/quorvane-%1").arg(uid);
    const QByteArray encoded = QFile::encodeName(dir);
    ::mkdir(encoded.constData(), 0700);
    struct stat info {};
    if (::lstat(encoded.constData(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != uid)
        qWarning() << "Instance key directory" << dir << "is not a directory of this user";
    return dir;
}

void SingleInstanceGuard::removeStaleSegment() {
    // Attaching to a segment nobody holds any more and dropping the handle
    // again makes the last detach remove it.
    memLock.acquire();
    {
        QSharedMemory stale;
        stale.setNativeKey(sharedMemKey);
        stale.attach(QSharedMemory::ReadWrite);
    }
    memLock.release();
}

bool SingleInstanceGuard::isAnotherRunning() {
    if (sharedMem.isAttached())
        return false;
    memLock.acquire();
    const bool found = sharedMem.attach(QSharedMemory::ReadWrite);
    if (found)
        sharedMem.detach();
    memLock.release();
    return found;
}

bool SingleInstanceGuard::tryToRun() {
    removeStaleSegment();
    if (isAnotherRunning())
        return false;

    memLock.acquire();
    const bool created = sharedMem.create(kSegmentSize, QSharedMemory::ReadWrite);
    memLock.release();
    if (!created) {
        if (sharedMem.error() != QSharedMemory::AlreadyExists)
            qWarning() << "Cannot create the instance segment:" << sharedMem.errorString();
        release();
        return false;
    }
    return true;
}

void SingleInstanceGuard::release() {
    memLock.acquire();
    if (sharedMem.isAttached())
        sharedMem.detach();
    memLock.release();
}
