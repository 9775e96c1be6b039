// What crash capture costs at launch when there is nothing to send: no pending record, no new
// system report. It runs before the window is built, so every millisecond is one the user waits.
#include "diagnostics/CrashReporter.h"
#include "settings/TavoSettings.h"

#include "Budget.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <algorithm>
#include <vector>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    Budget budget;

    // An installation that has looked before: the mark is a date. The first call is the one a
    // launch pays, with the journal library and the files still cold.
    TavoSettings::defaults().setObject(
        TavoSettings::lastCrashScanKey, QDateTime::currentDateTimeUtc());
    QElapsedTimer timer;
    timer.start();
    CrashReporter::install();
    budget.report("crash capture install(), launch", timer.nsecsElapsed() / 1e6, "ms", 5);

    std::vector<double> runs;
    for (int i = 0; i < 21; ++i) {
        timer.restart();
        CrashReporter::install();
        runs.push_back(timer.nsecsElapsed() / 1e6);
    }
    std::sort(runs.begin(), runs.end());
    budget.report("crash capture install(), warm, median of 21", runs[runs.size() / 2], "ms", 5);
    return budget.exitCode();
}
