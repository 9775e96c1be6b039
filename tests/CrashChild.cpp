// Dies in the way its argument names, after installing crash capture as the application does.
// Functions are exported (see CMakeLists) so that the record's frames carry their names.
#include "diagnostics/CrashCapture.h"
#include "diagnostics/CrashReporter.h"

#include <QCoreApplication>
#include <QString>

#include <csignal>
#include <cstdlib>
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

__attribute__((noinline)) void deepThenSegfault(int depth)
{
    if (depth == 0)
        segfaultHere();
    else
        deepThenSegfault(depth - 1);
    sink = depth;
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
    const QString how = QCoreApplication::arguments().value(1);
    const QString raised[] = {"SIGABRT", "SIGSEGV", "SIGILL", "SIGBUS", "SIGFPE", "SIGTRAP"};
    const int numbers[] = {SIGABRT, SIGSEGV, SIGILL, SIGBUS, SIGFPE, SIGTRAP};
    for (int i = 0; i < 6; ++i) {
        if (how == raised[i])
            raise(numbers[i]);
    }
    if (how == "segfault")
        segfaultHere();
    else if (how == "abort")
        std::abort();
    else if (how == "overflow")
        sink = overflowHere(0);
    else if (how == "divide")
        sink = 7 / zero; // not 1 / zero, which the compiler turns into a comparison
    else if (how == "deep")
        deepThenSegfault(80);
    else if (how == "runtime_error")
        throwAbc();
    else if (how == "not-std")
        throwNotStd();
    else if (how == "thread-segfault")
        std::thread(segfaultHere).join();
    else if (how == "thread-overflow")
        std::thread([] {
            CrashCapture::prepareThread();
            sink = overflowHere(0);
        }).join();
    else if (how == "thread-throw")
        std::thread(throwAbc).join();
    return 3;
}
