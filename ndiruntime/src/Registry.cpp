#include "Registry.h"

#include "Log.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace ndiruntime {

namespace {

constexpr off_t maxEntryBytes = 4096;
constexpr size_t maxNameBytes = 1024;

std::string defaultDirectory() {
    if (const char* dir = std::getenv("QUORVANE_NDI_DIR"); dir && *dir)
        return dir;
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime)
        return std::string(runtime) + "/quorvane-ndi";
    return "/tmp/quorvane-ndi-" + std::to_string(::getuid());
}

// The state letter and start time (clock ticks since boot) of a process, from
// /proc/<pid>/stat; false when the process is gone.
bool readProcessStat(pid_t pid, char& state, uint64_t& startTime) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    std::getline(stat, text);
    // The fields after the command name, which may itself hold blanks and parentheses.
    size_t close = text.rfind(')');
    if (close == std::string::npos || close + 2 >= text.size())
        return false;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    // The state is field 3 of the line, the start time field 22.
    for (int index = 3; index <= 22 && fields >> field; ++index) {
        if (index == 3)
            state = field[0];
        if (index == 22) {
            startTime = std::strtoull(field.c_str(), nullptr, 10);
            return true;
        }
    }
    return false;
}

bool processAlive(pid_t pid, uint64_t startTime) {
    if (pid <= 0 || (::kill(pid, 0) != 0 && errno != EPERM))
        return false;
    char state = 0;
    uint64_t actualStart = 0;
    if (!readProcessStat(pid, state, actualStart))
        return false;
    // A zombie still answers kill() but serves nobody any more.
    return state != 'Z' && (startTime == 0 || actualStart == startTime);
}

bool readEntry(const std::string& path, RegistryEntry& entry) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size > maxEntryBytes)
        return false;
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    auto json = nlohmann::json::parse(text.str(), nullptr, false);
    if (!json.is_object())
        return false;
    auto name = json.find("name");
    auto port = json.find("port");
    auto pid = json.find("pid");
    auto start = json.find("start");
    if (name == json.end() || !name->is_string() || port == json.end() || !port->is_number_unsigned() ||
        pid == json.end() || !pid->is_number_unsigned())
        return false;
    entry.name = name->get<std::string>();
    uint64_t portValue = port->get<uint64_t>();
    uint64_t pidValue = pid->get<uint64_t>();
    if (entry.name.empty() || entry.name.size() > maxNameBytes || portValue == 0 || portValue > 65535 ||
        pidValue == 0 || pidValue > 0x7fffffff)
        return false;
    entry.port = static_cast<uint16_t>(portValue);
    entry.pid = static_cast<pid_t>(pidValue);
    entry.startTime = start != json.end() && start->is_number_unsigned() ? start->get<uint64_t>() : 0;
    return true;
}

} // namespace

Registry::Registry() : _directory(defaultDirectory()) {}

bool Registry::ensureDirectory() const {
    if (::mkdir(_directory.c_str(), 0700) != 0 && errno != EEXIST) {
        logLine("cannot create the sender directory %s: %s", _directory.c_str(), std::strerror(errno));
        return false;
    }
    struct stat info {};
    if (::stat(_directory.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::getuid()) {
        logLine("the sender directory %s is not a directory of this user", _directory.c_str());
        return false;
    }
    return true;
}

std::string Registry::publish(const RegistryEntry& entry) const {
    if (!ensureDirectory())
        return {};
    static std::atomic<unsigned> counter{0};
    std::string base = std::to_string(entry.pid) + "-" + std::to_string(counter.fetch_add(1)) + ".json";
    std::string file = _directory + "/" + base;
    std::string temporary = _directory + "/." + base;
    nlohmann::json json = {{"name", entry.name}, {"port", entry.port}, {"pid", entry.pid}, {"start", entry.startTime}};
    std::string text = json.dump();
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    bool written = fd >= 0 && ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    if (fd >= 0)
        ::close(fd);
    if (!written || ::rename(temporary.c_str(), file.c_str()) != 0) {
        logLine("cannot publish the sender %s in %s: %s", entry.name.c_str(), _directory.c_str(), std::strerror(errno));
        ::unlink(temporary.c_str());
        return {};
    }
    return file;
}

void Registry::withdraw(const std::string& file) {
    if (!file.empty())
        ::unlink(file.c_str());
}

std::vector<RegistryEntry> Registry::scan() const {
    std::vector<RegistryEntry> entries;
    DIR* dir = ::opendir(_directory.c_str());
    if (!dir)
        return entries;
    while (dirent* item = ::readdir(dir)) {
        std::string base = item->d_name;
        if (base.empty() || base[0] == '.' || !base.ends_with(".json"))
            continue;
        std::string path = _directory + "/" + base;
        RegistryEntry entry;
        if (!readEntry(path, entry))
            continue;
        if (!processAlive(entry.pid, entry.startTime)) {
            ::unlink(path.c_str());
            continue;
        }
        entries.push_back(std::move(entry));
    }
    ::closedir(dir);
    std::sort(entries.begin(), entries.end(),
              [](const RegistryEntry& a, const RegistryEntry& b) { return a.name < b.name; });
    return entries;
}

std::string Registry::hostName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0)
        return "LOCALHOST";
    std::string host = name;
    for (char& c : host)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return host;
}

uint64_t Registry::processStartTime(pid_t pid) {
    char state = 0;
    uint64_t startTime = 0;
    return readProcessStat(pid, state, startTime) ? startTime : 0;
}

} // namespace ndiruntime
