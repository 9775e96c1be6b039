#include "diagnostics/CrashCapture.h"

#include <cxxabi.h>
#include <execinfo.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <typeinfo>

namespace {

constexpr int trappedSignals[] = {SIGABRT, SIGSEGV, SIGILL, SIGBUS, SIGFPE, SIGTRAP};
constexpr char separator[] = "\n---\n";

constexpr std::size_t pathCapacity = 4096;
char s_recordPath[pathCapacity];

// Room for the handler, backtrace and its unwinder when the thread's own stack is used up.
constexpr std::size_t altStackSize = 64 * 1024;
alignas(16) char s_altStack[altStackSize];

// Set once an uncaught exception's record is on disk: the runtime's abort that follows must not
// replace it with a bare "Signal 6".
std::atomic<bool> s_exceptionRecorded{false};

// Appends the decimal digits of `value` at `out`; returns how many.
std::size_t appendNumber(char *out, unsigned long value)
{
    char digits[24];
    std::size_t count = 0;
    do {
        digits[count++] = char('0' + value % 10);
        value /= 10;
    } while (value != 0);
    for (std::size_t i = 0; i < count; ++i)
        out[i] = digits[count - 1 - i];
    return count;
}

bool writeAll(int fd, const char *data, std::size_t size)
{
    while (size > 0) {
        const ssize_t written = write(fd, data, size);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        data += written;
        size -= std::size_t(written);
    }
    return true;
}

// Writes the record beside the pending file under a name of the crashing thread's own, then
// renames it into place: two threads dying at once leave one whole record, never a mixture.
// Async-signal-safe throughout.
void writeRecord(const char *header, std::size_t headerSize, void *const *frames, int frameCount)
{
    const std::size_t pathSize = std::strlen(s_recordPath);
    if (pathSize == 0)
        return;
    char temporary[pathCapacity + 32];
    std::memcpy(temporary, s_recordPath, pathSize);
    std::size_t size = pathSize;
    temporary[size++] = '.';
    size += appendNumber(temporary + size, static_cast<unsigned long>(gettid()));
    std::memcpy(temporary + size, ".tmp", 5);

    const int fd = open(temporary, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return;
    bool whole = writeAll(fd, header, headerSize) && writeAll(fd, separator, sizeof separator - 1);
    if (whole && frameCount > 0) {
        // backtrace_symbols_fd ends every frame with a line feed; the record has none after the
        // last, so the file is cut back by one.
        const off_t start = lseek(fd, 0, SEEK_CUR);
        backtrace_symbols_fd(frames, frameCount, fd);
        const off_t end = lseek(fd, 0, SEEK_CUR);
        whole = end > start && ftruncate(fd, end - 1) == 0;
    }
    whole = close(fd) == 0 && whole;
    if (!whole || rename(temporary, s_recordPath) != 0)
        unlink(temporary);
}

void onSignal(int signalNumber)
{
    if (!(signalNumber == SIGABRT && s_exceptionRecorded.load())) {
        void *frames[CrashCapture::maxFrames];
        const int frameCount = backtrace(frames, CrashCapture::maxFrames);
        char header[32] = "Signal ";
        const std::size_t headerSize
            = 7 + appendNumber(header + 7, static_cast<unsigned long>(signalNumber));
        writeRecord(header, headerSize, frames, frameCount);
    }
    // Dies the way it would have without us, so the system's crash collector sees the same
    // death. The signal stays blocked until this handler returns, then the default action ends
    // the process; a fault from an instruction comes back again as it is retried.
    signal(signalNumber, SIG_DFL);
    raise(signalNumber);
}

std::string exceptionHeader(const std::type_info &type)
{
    std::string header = "Exception: ";
    int status = -1;
    char *name = abi::__cxa_demangle(type.name(), nullptr, nullptr, &status);
    header += status == 0 && name ? name : type.name();
    std::free(name);
    header += " : ";
    try {
        std::rethrow_exception(std::current_exception());
    } catch (const std::exception &exception) {
        header += exception.what();
    } catch (...) {
        // Not a std::exception: there is nothing to say after the type.
    }
    return header;
}

[[noreturn]] void onTerminate()
{
    // Without a current exception this is a plain abort, and SIGABRT's handler records it.
    if (const std::type_info *type = abi::__cxa_current_exception_type()) {
        // Nothing caught the exception, so nothing was unwound: these are the throw site's frames.
        void *frames[CrashCapture::maxFrames];
        const int frameCount = backtrace(frames, CrashCapture::maxFrames);
        const std::string header = exceptionHeader(*type);
        writeRecord(header.data(), header.size(), frames, frameCount);
        s_exceptionRecorded.store(true);
    }
    std::abort();
}

} // namespace

namespace CrashCapture {

void install(const char *recordPath)
{
    const std::size_t size = std::strlen(recordPath);
    if (size < pathCapacity)
        std::memcpy(s_recordPath, recordPath, size + 1);

    // The first backtrace loads the unwinder's library, which must not happen inside a handler.
    void *frame[1];
    backtrace(frame, 1);

    stack_t altStack{};
    altStack.ss_sp = s_altStack;
    altStack.ss_size = altStackSize;
    sigaltstack(&altStack, nullptr);

    std::set_terminate(onTerminate);
    struct sigaction action
    {
    };
    action.sa_handler = onSignal;
    action.sa_flags = SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    for (const int signalNumber : trappedSignals)
        sigaction(signalNumber, &action, nullptr);
}

void prepareThread()
{
    stack_t altStack{};
    altStack.ss_sp = new char[altStackSize];
    altStack.ss_size = altStackSize;
    sigaltstack(&altStack, nullptr);
}

} // namespace CrashCapture
