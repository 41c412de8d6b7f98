#include "app/CrashReporter.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <execinfo.h>
#include <fcntl.h>
#include <unistd.h>

namespace {
constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGABRT};
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kUnderSanitizer = true;
#else
constexpr bool kUnderSanitizer = false;
#endif
constexpr int kMaxFrames = 64;
// Room for the handler when the main thread's stack itself overflowed (other
// threads report on their own stacks).
constexpr std::size_t kAltStackBytes = 64 * 1024;
alignas(16) char altStack[kAltStackBytes];

// A small text buffer filled without allocation and written in one go.
class Line {
public:
    Line& text(const char* s) { return text(s, std::strlen(s)); }
    Line& text(const char* s, std::size_t n) {
        for (std::size_t i = 0; i < n && used < buffer.size(); ++i)
            buffer[used++] = s[i];
        return *this;
    }
    Line& number(std::uintptr_t value, unsigned base) {
        char digits[24];
        std::size_t n = 0;
        do {
            digits[n++] = "0123456789abcdef"[value % base];
            value /= base;
        } while (value != 0);
        if (base == 16)
            text("0x");
        while (n > 0 && used < buffer.size())
            buffer[used++] = digits[--n];
        return *this;
    }
    void writeTo(int fd) {
        text("\n");
        std::size_t done = 0;
        while (done < used) {
            const ssize_t n = ::write(fd, buffer.data() + done, used - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            done += static_cast<std::size_t>(n);
        }
        used = 0;
    }

private:
    std::array<char, 512> buffer{};
    std::size_t used = 0;
};

const char* signalName(int signalNumber) {
    switch (signalNumber) {
    case SIGSEGV:
        return "SIGSEGV";
    case SIGBUS:
        return "SIGBUS";
    case SIGFPE:
        return "SIGFPE";
    case SIGABRT:
        return "SIGABRT";
    default:
        return "signal";
    }
}

std::uintptr_t parseHex(const char*& p, const char* end) {
    std::uintptr_t value = 0;
    for (; p < end; ++p) {
        const char c = *p;
        if (c >= '0' && c <= '9')
            value = value * 16 + static_cast<std::uintptr_t>(c - '0');
        else if (c >= 'a' && c <= 'f')
            value = value * 16 + static_cast<std::uintptr_t>(c - 'a' + 10);
        else
            break;
    }
    return value;
}

// Finds the mapping of `address` in /proc/self/maps, read line by line with
// plain reads; writes "module+0xoffset" (offset into the file) or "?".
void describe(Line& line, std::uintptr_t address) {
    const int fd = ::open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        line.text("?");
        return;
    }
    char chunk[4096];
    char current[1024];
    std::size_t length = 0;
    bool found = false;
    ssize_t n = 0;
    while (!found && (n = ::read(fd, chunk, sizeof chunk)) > 0) {
        for (ssize_t i = 0; i < n && !found; ++i) {
            if (chunk[i] != '\n') {
                if (length < sizeof current)
                    current[length++] = chunk[i];
                continue;
            }
            // "start-end perms offset dev inode   path"
            const char* p = current;
            const char* end = current + length;
            const std::uintptr_t start = parseHex(p, end);
            ++p;
            const std::uintptr_t stop = parseHex(p, end);
            if (address >= start && address < stop) {
                found = true;
                p += 6; // " rwxp "
                const std::uintptr_t fileOffset = parseHex(p, end);
                const char* path = end;
                for (const char* q = p; q < end; ++q) {
                    if (*q == '/' || *q == '[') {
                        path = q;
                        break;
                    }
                }
                if (path < end)
                    line.text(path, static_cast<std::size_t>(end - path));
                else
                    line.text("(anonymous)");
                line.text("+").number(address - start + fileOffset, 16);
            }
            length = 0;
        }
    }
    ::close(fd);
    if (!found)
        line.text("?");
}

void onFatalSignal(int signalNumber, siginfo_t* info, void*) {
    const int savedErrno = errno;
    CrashReporter::writeReport(STDERR_FILENO, signalNumber, info != nullptr ? info->si_addr : nullptr);
    errno = savedErrno;
    // Dies with the default action: the exit status still tells the signal.
    ::signal(signalNumber, SIG_DFL);
    ::raise(signalNumber);
}
} // namespace

void CrashReporter::writeReport(int fd, int signalNumber, const void* faultAddress) {
    Line line;
    line.text("Fatal signal ").number(static_cast<std::uintptr_t>(signalNumber), 10).text(" (");
    line.text(signalName(signalNumber)).text(")");
    if (faultAddress != nullptr)
        line.text(" at address ").number(reinterpret_cast<std::uintptr_t>(faultAddress), 16);
    line.text(" in thread ").number(static_cast<std::uintptr_t>(::gettid()), 10).text("; stack:");
    line.writeTo(fd);

    void* frames[kMaxFrames];
    const int count = ::backtrace(frames, kMaxFrames);
    for (int i = 0; i < count; ++i) {
        const auto address = reinterpret_cast<std::uintptr_t>(frames[i]);
        line.text("  #").number(static_cast<std::uintptr_t>(i), 10).text(" ");
        // A return address points past its call: look up the call itself.
        describe(line, i == 0 ? address : address - 1);
        line.writeTo(fd);
    }
}

void CrashReporter::install() {
    if (kUnderSanitizer)
        return;
    // The first backtrace() loads the unwinder; doing it here keeps that out of
    // the handler.
    void* warmUp[2];
    ::backtrace(warmUp, 2);

    stack_t stack{};
    stack.ss_sp = altStack;
    stack.ss_size = sizeof altStack;
    ::sigaltstack(&stack, nullptr);

    struct sigaction action {};
    action.sa_sigaction = &onFatalSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESETHAND;
    for (int signalNumber : kFatalSignals)
        ::sigaction(signalNumber, &action, nullptr);
}
