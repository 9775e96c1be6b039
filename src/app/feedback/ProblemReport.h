#pragma once

#include "diagnostics/ServiceLink.h"
#include "feedback/ReportDialog.h"

#include <QList>
#include <QObject>
#include <QPointer>

#include <functional>
#include <optional>

// The user's way to write to the makers: the report window, the upload in the background and
// the alert that says whether it arrived. A report that did not arrive is kept, in memory
// only, for the next opening of the window in this run.
class ProblemReport : public QObject
{
    Q_OBJECT

public:
    static inline const QString contactAddress = QStringLiteral("support@orvanelabs.ch");

    explicit ProblemReport(QObject *parent = nullptr);
    ~ProblemReport() override;

    // Opens the report window, or brings forward the one already open. Returns at once; what
    // follows happens as the user answers and the service replies.
    void open();
    ReportDialog *dialog() const { return m_dialog; }

    // Uploads one report; `done` learns whether the service accepted it.
    void reportProblem(const QString &text, const QString &email, std::function<void(bool)> done);
    static QJsonObject body(const QString &text, const QString &email);
    static bool accepted(const std::optional<ServiceLink::Answer> &answer);

    // Shortened by tests.
    int timeoutMs = ServiceLink::reportTimeoutMs;

private:
    void send(const QString &typed, const QString &email);
    void showResult(bool accepted);
    void track(AlertDialog *window);

    QPointer<ReportDialog> m_dialog;
    QList<QPointer<AlertDialog>> m_windows;
    QString m_draftText;
    QString m_draftEmail;
};
