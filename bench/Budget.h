#pragma once

#include <cstdio>

// Prints one figure beside its budget and remembers whether any was over.
class Budget
{
public:
    void report(const char *what, double value, const char *unit, double budget, int decimals = 3)
    {
        const bool ok = value < budget;
        m_failures += ok ? 0 : 1;
        std::printf("%-48s %10.*f %-3s (budget < %g %s) %s\n", what, decimals, value, unit, budget,
            unit, ok ? "ok" : "OVER BUDGET");
    }

    void check(const char *what, bool ok)
    {
        m_failures += ok ? 0 : 1;
        std::printf("%-48s %s\n", what, ok ? "yes" : "NO");
    }

    int exitCode() const { return m_failures == 0 ? 0 : 1; }

private:
    int m_failures = 0;
};
