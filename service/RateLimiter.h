#pragma once

#include <QHash>
#include <QString>

// A token bucket per key (a device, an address): a burst of half the hourly allowance, then a
// steady trickle. Held in memory: a flood is cut off at the door, before the store is touched.
class RateLimiter
{
public:
    // perHour 0 means no limit.
    explicit RateLimiter(int perHour = 0);

    void setPerHour(int perHour);
    int perHour() const { return m_perHour; }

    // True when the key may go on; takes one token.
    bool take(const QString &key, qint64 nowMs);

private:
    struct Bucket
    {
        double tokens;
        qint64 at;
    };

    void forgetFullBuckets(qint64 nowMs);

    int m_perHour = 0;
    double m_capacity = 0;
    QHash<QString, Bucket> m_buckets;
};
