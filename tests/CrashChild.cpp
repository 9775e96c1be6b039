// Dies in the way its argument names, after installing crash capture as the application does.
// Functions are exported (see CMakeLists) so that the record's frames carry their names.
#include "diagnostics/CrashCapture.h"
#include "diagnostics/CrashReporter.h"

#include <QCoreApplication>

#include <csignal>
#include <cstring>
#include <stdexcept>
#include <thread>

struct NotStd
{
    int code;
};

extern "C" {

volatile int zero = 0;
volatile int sink = 0;

__attribute__((noinline)) void segfaultHere()
{
    *static_cast<volatile int *>(nullptr) = 1;
}

__attribute__((noinline)) int overflowHere(int depth)
{
    volatile char pad[256];
    pad[0] = char(depth);
    // Always true; the compiler can't know, so it keeps the recursion.
    if (zero == 0)
        return overflowHere(depth + 1) + pad[0];
    return 0;
}

// Code after the throw keeps the return address inside the function, so the frame is named
// after it and not after whatever the linker placed next.
__attribute__((noinline)) void throwAbc()
{
    if (zero == 0)
        throw std::runtime_error("abc");
    sink = 1;
}

__attribute__((noinline)) void throwNotStd()
{
    if (zero == 0)
        throw NotStd{7};
    sink = 1;
}
}

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    CrashReporter::install();
    const QByteArray how = argc > 1 ? argv[1] : "";
    for (const int signal : {SIGABRT, SIGSEGV, SIGILL, SIGBUS, SIGFPE, SIGTRAP}) {
        if (how == QByteArray("SIG") + sigabbrev_np(signal))
            raise(signal);
    }
    if (how == "segfault")
        segfaultHere();
    else if (how == "overflow")
        sink = overflowHere(0);
    else if (how == "runtime_error")
        throwAbc();
    else if (how == "not-std")
        throwNotStd();
    else if (how == "thread-overflow")
        std::thread([] {
            CrashCapture::prepareThread();
            sink = overflowHere(0);
        }).join();
    return 3;
}
