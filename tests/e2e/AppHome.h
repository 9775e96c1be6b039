#pragma once

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>

// Runs a helper tool (xdotool, xclip, xprop…) to its end, at most 5 s; its standard output.
inline QByteArray runTool(const QString &program, const QStringList &args)
{
    QProcess process;
    process.start(program, args);
    if (!process.waitForFinished(5000))
        process.kill();
    process.waitForFinished(1000);
    return process.readAllStandardOutput();
}

// Our visible windows that match: by default those titled "OrvaneTavo", the main window and an
// alert or the report window when one is open.
inline QStringList appWindows(const QStringList &match = {"--name", "^OrvaneTavo$"})
{
    const QByteArray ids = runTool("xdotool", QStringList{"search", "--onlyvisible"} + match);
    return QString::fromUtf8(ids).split('\n', Qt::SkipEmptyParts);
}

// A throw-away home for the real binary: its XDG folders and its settings file.
class AppHome
{
public:
    AppHome() { writeSettings({{"OTOnboarded", true}}); }

    // With changes made to it: "NAME=VALUE" sets a variable, "NAME" removes it.
    QProcessEnvironment environment(const QStringList &changes = {}) const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("HOME", m_dir.path());
        env.insert("XDG_CONFIG_HOME", m_dir.filePath(".config"));
        env.insert("XDG_DATA_HOME", m_dir.filePath(".local/share"));
        env.insert("XDG_STATE_HOME", m_dir.filePath(".local/state"));
        // Its own runtime folder, so that the one-copy rule sees only this home's copy.
        env.insert("XDG_RUNTIME_DIR", m_dir.path());
        env.insert("QT_QPA_PLATFORM", "xcb");
        env.insert("ORVANE_UPDATE_FEED_URL", "https://127.0.0.1:9/update.json");
        env.insert("ORVANE_SERVICE_URL", "https://127.0.0.1:9");
        for (const QString &change : changes) {
            const qsizetype eq = change.indexOf('=');
            eq < 0 ? env.remove(change) : env.insert(change.left(eq), change.mid(eq + 1));
        }
        return env;
    }

    QString filePath(const QString &name) const { return m_dir.filePath(name); }
    QString settingsPath() const { return filePath(".config/OrvaneTavo/OrvaneTavo.json"); }

    QJsonObject settings() const
    {
        QFile file(settingsPath());
        if (!file.open(QIODevice::ReadOnly))
            return {};
        return QJsonDocument::fromJson(file.readAll()).object();
    }

    // Writes the settings file as another program would.
    bool writeSettings(const QJsonObject &settings) const
    {
        QDir().mkpath(QFileInfo(settingsPath()).absolutePath());
        QFile file(settingsPath());
        return file.open(QIODevice::WriteOnly | QIODevice::Truncate)
            && file.write(QJsonDocument(settings).toJson()) > 0;
    }

    // The keepers (`program --keep-clipboard …`) started from this home and still running.
    QStringList keepers() const
    {
        const QByteArray home = "HOME=" + QFile::encodeName(m_dir.path()) + '\0';
        QStringList pids = QDir("/proc").entryList(QDir::Dirs);
        pids.removeIf([&](const QString &pid) {
            QFile cmdline("/proc/" + pid + "/cmdline"), environ("/proc/" + pid + "/environ");
            return !cmdline.open(QIODevice::ReadOnly)
                || !cmdline.readAll().contains(QByteArray("\0--keep-clipboard\0", 18))
                || !environ.open(QIODevice::ReadOnly)
                || !('\0' + environ.readAll()).contains('\0' + home);
        });
        return pids;
    }

private:
    QTemporaryDir m_dir;
};
