#pragma once

#include <optional>
#include <string>

// Where channel-mapping files live and how they are read, written and put
// aside. Paths are UTF-8 with "/" as the separator. Every operation runs on the
// calling thread and may be called from any thread; read() and write() make the
// file's directory the process's current directory, which affects every thread.
class ChannelMappingStorage {
public:
    struct ReadResult {
        enum class Status {
            Read,            // `text` holds the whole file (empty for an empty file)
            Missing,         // no file at the path
            DirectoryFailed, // the directory could not be created or made current; already logged
            Unreadable,      // the file exists but could not be read; `error` says why
        };
        Status status = Status::Missing;
        std::string text;
        std::string error; // set for DirectoryFailed and Unreadable
    };

    // The per-user application-data folder of organisation "Morvith" and
    // application "Quorvane", followed by "/sendersChannelMappings.zelkac".
    // Sets those two names on the application (an application object is not
    // needed); does not create the folder.
    static std::string defaultChannelMappingsPath();

    // Whether the default file is a regular file that can be opened for reading.
    static bool channelMappingsFileExists();

    // Prepares the file's directory for a load (created with its parents and
    // made current; a failure is logged at critical level as "Cannot create
    // path" or "Cannot change current path to" with the quoted absolute
    // directory), then reads the file whole. Files larger than
    // ChannelMappingDocument::kMaxTextBytes are refused.
    static ReadResult read(const std::string& path);

    // Prepares the file's directory as read() does but silently, then replaces
    // the file with `text` atomically: the text goes to a temporary file in the
    // same directory, is flushed to disk and renamed over the old file, so a
    // failure or a crash on the way leaves the old file as it was. Returns why
    // nothing was written; empty when the file was written.
    [[nodiscard]] static std::string write(const std::string& path, const std::string& text);

    // Renames a file that could not be used to
    // "<path>.unreadable-<yyyyMMdd-HHmmss>" (with "-2", "-3", ... appended if
    // that name is taken) so that rewriting `path` does not lose it. Logs where
    // it went (warning) or why it could not be moved (critical); returns the
    // new path, or nothing when the file stayed where it was.
    static std::optional<std::string> moveAside(const std::string& path);
};
