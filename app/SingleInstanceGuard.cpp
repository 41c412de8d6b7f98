#include "app/SingleInstanceGuard.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QDir>
#include <QTemporaryFile>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
const QString kBaseKey = QStringLiteral("some_random_key");
const QString kMemLockSalt = QStringLiteral("_memLockQuorvaneKey");
const QString kSharedMemSalt = QStringLiteral("_sharedmemQuorvaneKey");
// One 64-bit word: our mark in the high half, the holder's process id in the low half.
constexpr qsizetype kSegmentSize = sizeof(quint64);
constexpr quint64 kMark = quint64(0x5152564e) << 32;
constexpr quint64 kPidBits = 0xffffffffu;
// Fresh key files tried when strangers answer to the key.
constexpr int kKeyAttempts = 4;

bool isAlive(pid_t pid) {
    return pid > 0 && (::kill(pid, 0) == 0 || errno == EPERM);
}

QString keyPath(const QString& key, const QString& salt) {
    return SingleInstanceGuard::keyDirectory() + QLatin1Char('/') + SingleInstanceGuard::deriveKey(key, salt);
}
} // namespace

SingleInstanceGuard::SingleInstanceGuard()
    : key(kBaseKey), memLockKey(keyPath(key, kMemLockSalt)), sharedMemKey(keyPath(key, kSharedMemSalt)),
      sharedMem(std::make_unique<QSharedMemory>()), memLock(memLockKey, 1, QSystemSemaphore::Open) {
    sharedMem->setNativeKey(sharedMemKey);
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

SingleInstanceGuard::Found SingleInstanceGuard::lookUp() {
    // A handle of its own: a QSharedMemory keeps some errors and then fails every
    // later attach.
    QSharedMemory probe;
    probe.setNativeKey(sharedMemKey);
    if (!probe.attach(QSharedMemory::ReadWrite))
        return probe.error() == QSharedMemory::NotFound ? Found::Nothing : Found::Stranger;
    quint64 word = 0;
    if (probe.size() >= kSegmentSize)
        std::memcpy(&word, probe.constData(), sizeof word);
    probe.detach();
    const bool instance = (word & ~kPidBits) == kMark && isAlive(static_cast<pid_t>(word & kPidBits));
    return instance ? Found::Instance : Found::Stranger;
}

void SingleInstanceGuard::renewKey() {
    qWarning() << "Instance key" << sharedMemKey << "is taken by a segment that is not ours; making a new key";
    // The new file is made before the old one goes, so that it cannot get the
    // old inode back (ext4 hands out a freed inode again at once).
    QTemporaryFile fresh(sharedMemKey + QStringLiteral(".XXXXXX"));
    fresh.setAutoRemove(false);
    if (!fresh.open() ||
        ::rename(QFile::encodeName(fresh.fileName()).constData(), QFile::encodeName(sharedMemKey).constData()) != 0) {
        qWarning() << "Cannot make a new instance key file:" << fresh.errorString();
        fresh.remove();
    }
}

bool SingleInstanceGuard::isAnotherRunning() {
    if (sharedMem->isAttached())
        return false;
    memLock.acquire();
    const bool found = lookUp() == Found::Instance;
    memLock.release();
    return found;
}

bool SingleInstanceGuard::tryToRun() {
    if (sharedMem->isAttached())
        return true;
    removeStaleSegment();

    memLock.acquire();
    bool created = false;
    for (int attempt = 0; attempt < kKeyAttempts; ++attempt) {
        const Found found = lookUp();
        if (found == Found::Instance)
            break;
        if (found == Found::Stranger) {
            renewKey();
            continue;
        }
        sharedMem = std::make_unique<QSharedMemory>();
        sharedMem->setNativeKey(sharedMemKey);
        created = sharedMem->create(kSegmentSize, QSharedMemory::ReadWrite);
        if (created) {
            const quint64 word = kMark | (static_cast<quint64>(::getpid()) & kPidBits);
            std::memcpy(sharedMem->data(), &word, sizeof word);
            break;
        }
        if (sharedMem->error() != QSharedMemory::AlreadyExists) {
            qWarning() << "Cannot create the instance segment:" << sharedMem->errorString();
            break;
        }
    }
    memLock.release();
    return created;
}

void SingleInstanceGuard::release() {
    memLock.acquire();
    if (sharedMem->isAttached())
        sharedMem->detach();
    memLock.release();
}
