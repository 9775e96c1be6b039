#include "diagnostics/CrashReporter.h"

namespace CrashReporter {

void install()
{
    // Nothing is captured yet: the launch sequence already calls this at its first step so that
    // capture, once it exists, covers everything that follows.
}

} // namespace CrashReporter
