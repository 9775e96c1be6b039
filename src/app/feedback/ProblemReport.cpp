#include "feedback/ProblemReport.h"

#include "feedback/ReportDialog.h"

#include <QJsonDocument>
#include <QLineEdit>
#include <QNetworkReply>
#include <QPlainTextEdit>

ProblemReport::ProblemReport(QObject *parent)
    : QObject(parent)
{
}

ProblemReport::~ProblemReport()
{
    for (const QPointer<AlertDialog> &window : std::as_const(m_windows))
        delete window.data();
}

void ProblemReport::track(AlertDialog *window)
{
    m_windows.removeAll(nullptr);
    m_windows.append(window);
    connect(window, &QDialog::finished, window, &QObject::deleteLater);
}

void ProblemReport::open()
{
    if (m_dialog) {
        m_dialog->present();
        return;
    }
    auto *dialog = new ReportDialog;
    track(dialog);
    dialog->setDraft(m_draftText, m_draftEmail);
    connect(dialog, &QDialog::finished, this, [this, dialog](int answer) {
        m_dialog = nullptr;
        if (answer == AlertDialog::firstButton)
            send(dialog->textArea->toPlainText(), dialog->emailField->text());
    });
    m_dialog = dialog;
    dialog->present();
}

void ProblemReport::send(const QString &typed, const QString &email)
{
    const QString text = typed.trimmed();
    if (text.isEmpty())
        return;
    reportProblem(text, email, [this, typed, email](bool accepted) {
        // What did not arrive is offered again next time; what arrived is done with.
        m_draftText = accepted ? QString() : typed;
        m_draftEmail = accepted ? QString() : email;
        showResult(accepted);
    });
}

void ProblemReport::reportProblem(
    const QString &text, const QString &email, std::function<void(bool)> done)
{
    QNetworkReply *reply = ServiceLink::post(ServiceLink::reportPath, body(text, email), timeoutMs);
    if (!reply) {
        QMetaObject::invokeMethod(
            this, [done] { done(false); }, Qt::QueuedConnection);
        return;
    }
    connect(reply, &QNetworkReply::finished, this,
        [reply, done] { done(accepted(ServiceLink::answerOf(reply))); });
}

QJsonObject ProblemReport::body(const QString &text, const QString &email)
{
    QJsonObject body = ServiceLink::identity(ServiceLink::deviceId());
    body.insert(QStringLiteral("text"), text);
    if (!email.isEmpty())
        body.insert(QStringLiteral("email"), email);
    return body;
}

bool ProblemReport::accepted(const std::optional<ServiceLink::Answer> &answer)
{
    if (!answer || answer->status != 200)
        return false;
    const QJsonValue ok
        = QJsonDocument::fromJson(answer->body).object().value(QStringLiteral("ok"));
    return ok.isBool() && ok.toBool();
}

void ProblemReport::showResult(bool accepted)
{
    auto *alert = new AlertDialog;
    track(alert);
    if (accepted) {
        alert->setMessageText(QStringLiteral("Merci !"));
        alert->setInformativeText(
            QStringLiteral("Ton signalement est bien parti. La réponse arrivera dans l'app."));
    } else {
        alert->setMessageText(QStringLiteral("Envoi impossible"));
        alert->setInformativeText(QStringLiteral("Impossible d'envoyer pour le moment (réseau ?). "
                                                 "Réessaie plus tard ou écris à ")
            + contactAddress + QLatin1Char('.'));
    }
    alert->addButton(QStringLiteral("OK"));
    alert->present();
}
