#pragma once

#include <QSharedMemory>
#include <QString>
#include <QSystemSemaphore>

#include <memory>

// Lets one instance run per user: the first process holds a small shared-memory
// segment, a second one finds it and steps back. A system semaphore serialises
// the look-ups of processes that start at the same moment. GUI thread only.
//
// Qt resolves a relative native key against the current directory, so both keys
// are absolute paths in one per-user directory (`keyDirectory`); the file names
// are the 40-character digests of `deriveKey`.
//
// Qt turns a key file into a System V key with ftok(), which keeps only the low
// bits of the file's device and inode: an unrelated segment (another user's,
// another program's, an instance's under another runtime directory) can answer
// to the same key. The segment therefore carries a mark and the holder's
// process id; a segment without our mark, or whose holder has gone, is not
// another instance, and the key file is then made anew, which gives a new key.
class SingleInstanceGuard {
public:
    SingleInstanceGuard();
    // Releases the segment (detaching the last handle removes it).
    ~SingleInstanceGuard();

    SingleInstanceGuard(const SingleInstanceGuard&) = delete;
    SingleInstanceGuard& operator=(const SingleInstanceGuard&) = delete;

    // Frees a segment that a crashed instance left behind, then claims the
    // segment. False when another instance holds it (or it cannot be created).
    bool tryToRun();
    // True while another process holds the segment.
    bool isAnotherRunning();
    // Drops this process's hold on the segment; safe to call when holding nothing.
    void release();

    // Lower-case hex SHA-1 of the UTF-8 bytes of `key` followed by those of `salt`.
    static QString deriveKey(const QString& key, const QString& salt);
    // The per-user directory of the key files: $XDG_RUNTIME_DIR when set, else
    // /tmp/quorvane-<uid> (created private to the user).
    static QString keyDirectory();

    const QString& sharedMemoryKey() const { return sharedMemKey; }
    const QString& semaphoreKey() const { return memLockKey; }

private:
    enum class Found { Nothing, Instance, Stranger };

    void removeStaleSegment();
    // What answers to the key now; memLock held.
    Found lookUp();
    // Replaces the key file, so that ftok() gives another key; memLock held.
    void renewKey();

    const QString key;
    const QString memLockKey;
    const QString sharedMemKey;
    // Made anew for each attempt to create the segment (see lookUp).
    std::unique_ptr<QSharedMemory> sharedMem;
    QSystemSemaphore memLock;
};
