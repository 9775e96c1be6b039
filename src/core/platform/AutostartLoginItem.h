#pragma once

#include "platform/LoginItem.h"

// The XDG autostart entry $XDG_CONFIG_HOME/autostart/orvanetavo.desktop: registered means
// the file is present and not marked Hidden=true.
class AutostartLoginItem : public LoginItem
{
public:
    // `command`: what the desktop runs at login (the running AppImage, or this binary).
    explicit AutostartLoginItem(const QString &command = commandForThisProcess(),
        const QString &autostartFolder = defaultAutostartFolder());

    static QString commandForThisProcess();
    static QString defaultAutostartFolder();

    QString filePath() const;

    Status status() const override;
    bool registerItem(QString *error) override;
    bool unregisterItem(QString *error) override;

private:
    QString m_command;
    QString m_folder;
};
