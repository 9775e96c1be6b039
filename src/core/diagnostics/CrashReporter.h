#pragma once

// Crash capture: records fatal signals and uncaught exceptions so that they can be sent at the
// next start. Installed first thing at launch.
namespace CrashReporter {

void install();

} // namespace CrashReporter
