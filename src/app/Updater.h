#pragma once

#include <QObject>

// Looks for new versions of the application. Created started by its controller; the
// application sets its check interval at launch.
class Updater : public QObject
{
    Q_OBJECT

public:
    static constexpr int defaultCheckIntervalSeconds = 86400;

    using QObject::QObject;

    void start() { m_started = true; }
    bool isStarted() const { return m_started; }

    int updateCheckInterval() const { return m_updateCheckInterval; }
    void setUpdateCheckInterval(int seconds) { m_updateCheckInterval = seconds; }

private:
    bool m_started = false;
    int m_updateCheckInterval = defaultCheckIntervalSeconds;
};
