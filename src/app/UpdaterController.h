#pragma once

#include "Updater.h"

#include <QObject>

// Owns the process's one updater, started as soon as it exists.
class UpdaterController : public QObject
{
    Q_OBJECT

public:
    explicit UpdaterController(QObject *parent = nullptr)
        : QObject(parent)
        , m_updater(this)
    {
        m_updater.start();
    }

    Updater &updater() { return m_updater; }

private:
    Updater m_updater;
};
