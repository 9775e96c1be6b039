#include "RateLimiter.h"

#include <algorithm>

namespace {

constexpr double msPerHour = 3600.0 * 1000.0;
// Past this many keys, buckets that have filled up again are forgotten: they hold nothing a
// fresh bucket would not. Keeps memory bounded when devices rotate their identifiers.
constexpr qsizetype pruneAbove = 50000;

} // namespace

RateLimiter::RateLimiter(int perHour)
{
    setPerHour(perHour);
}

void RateLimiter::setPerHour(int perHour)
{
    m_perHour = std::max(0, perHour);
    m_capacity = std::max(1.0, m_perHour / 2.0);
    m_buckets.clear();
}

bool RateLimiter::take(const QString &key, qint64 nowMs)
{
    if (m_perHour == 0)
        return true;
    if (m_buckets.size() > pruneAbove)
        forgetFullBuckets(nowMs);
    auto it = m_buckets.find(key);
    if (it == m_buckets.end())
        it = m_buckets.insert(key, Bucket{m_capacity, nowMs});
    Bucket &b = *it;
    const double refill = std::max<qint64>(0, nowMs - b.at) * m_perHour / msPerHour;
    b.tokens = std::min(m_capacity, b.tokens + refill);
    b.at = nowMs;
    if (b.tokens < 1.0)
        return false;
    b.tokens -= 1.0;
    return true;
}

void RateLimiter::forgetFullBuckets(qint64 nowMs)
{
    for (auto it = m_buckets.begin(); it != m_buckets.end();) {
        const double refill = std::max<qint64>(0, nowMs - it->at) * m_perHour / msPerHour;
        if (it->tokens + refill >= m_capacity)
            it = m_buckets.erase(it);
        else
            ++it;
    }
}
