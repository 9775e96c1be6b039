#pragma once

#include "updater/Updater.h"

#include <QObject>

// Owns the process's one updater, started as soon as it exists.
class UpdaterController : public QObject
{
    Q_OBJECT

public:
    explicit UpdaterController(QObject *parent = nullptr)
        : QObject(parent)
    {
        m_updater.start();
    }

    // The action of the menus' and the settings' check entries.
    void checkForUpdates() { m_updater.checkForUpdates(); }

    Updater &updater() { return m_updater; }

private:
    Updater m_updater;
};
