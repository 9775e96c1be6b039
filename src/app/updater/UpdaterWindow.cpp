#include "updater/UpdaterWindow.h"

#include "kit/Symbols.h"

#include <QApplication>
#include <QBoxLayout>
#include <QCloseEvent>
#include <QLabel>
#include <QLocale>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>

namespace {

// French puts a space before ":", "!" and "?"; the texts use a no-break space there, so that a
// wrapped line never starts with the sign alone.

constexpr int windowWidth = 460;
constexpr int iconSize = 64;
constexpr int notesHeight = 140;
constexpr int progressSteps = 1000;
constexpr double bytesPerMegabyte = 1000.0 * 1000.0;

QLabel *makeTextLabel(int pixelSize, bool bold, QWidget *parent)
{
    auto *label = new QLabel(parent);
    // Versions, notes and error messages come from the network: never let them be markup.
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    QFont font = label->font();
    font.setPixelSize(pixelSize);
    font.setBold(bold);
    label->setFont(font);
    return label;
}

QString megabytes(qint64 bytes)
{
    return QLocale(QLocale::French).toString(double(bytes) / bytesPerMegabyte, 'f', 1);
}

} // namespace

UpdaterWindow::UpdaterWindow(QWidget *parent)
    : QDialog(parent)
{
    setWindowTitle(QStringLiteral("Mise à jour d'OrvaneTavo"));
    setWindowIcon(Symbols::applicationIcon());

    auto *icon = new QLabel(this);
    const qreal ratio = qApp->devicePixelRatio();
    QPixmap pixmap = QPixmap::fromImage(Symbols::applicationIconImage(qRound(iconSize * ratio)));
    pixmap.setDevicePixelRatio(ratio);
    icon->setTextFormat(Qt::PlainText);
    icon->setPixmap(pixmap);
    icon->setFixedSize(iconSize, iconSize);

    m_heading = makeTextLabel(15, true, this);
    m_body = makeTextLabel(13, false, this);
    m_notesCaption = makeTextLabel(13, false, this);
    m_notesCaption->setText(QStringLiteral("Nouveautés\u00a0:"));

    m_notes = new QPlainTextEdit(this);
    m_notes->setReadOnly(true);
    m_notes->setUndoRedoEnabled(false);
    m_notes->setFixedHeight(notesHeight);

    m_progress = new QProgressBar(this);
    m_progress->setTextVisible(false);

    m_sizeLine = makeTextLabel(12, false, this);
    m_sizeLine->setWordWrap(false);
    m_sizeLine->setForegroundRole(QPalette::PlaceholderText);

    auto *content = new QVBoxLayout;
    content->setSpacing(8);
    content->addWidget(m_heading);
    content->addWidget(m_body);
    content->addSpacing(4);
    content->addWidget(m_notesCaption);
    content->addWidget(m_notes);
    content->addWidget(m_progress);
    content->addWidget(m_sizeLine);
    content->addStretch();

    auto *top = new QHBoxLayout;
    top->setSpacing(16);
    top->addWidget(icon, 0, Qt::AlignTop);
    top->addLayout(content, 1);

    m_cancelButton = new QPushButton(QStringLiteral("Annuler"), this);
    m_okButton = new QPushButton(QStringLiteral("OK"), this);
    m_laterButton = new QPushButton(QStringLiteral("Plus tard"), this);
    m_installButton = new QPushButton(QStringLiteral("Installer maintenant"), this);
    m_restartButton = new QPushButton(QStringLiteral("Redémarrer maintenant"), this);

    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    for (QPushButton *button :
        {m_cancelButton, m_laterButton, m_okButton, m_installButton, m_restartButton})
        buttons->addWidget(button);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(20, 20, 20, 16);
    layout->setSpacing(16);
    layout->addLayout(top);
    layout->addLayout(buttons);

    // Cancel and "later" close the window; closing it is what reports the choice, so that the
    // close button and Escape mean the same as the button and each reports it once.
    connect(m_cancelButton, &QPushButton::clicked, this, &QDialog::reject);
    connect(m_laterButton, &QPushButton::clicked, this, &QDialog::reject);
    connect(m_okButton, &QPushButton::clicked, this, &QDialog::accept);
    connect(this, &QDialog::rejected, this, &UpdaterWindow::dismissed);
    // Installing and restarting keep the window: the updater shows what comes next.
    connect(m_installButton, &QPushButton::clicked, this, &UpdaterWindow::installRequested);
    connect(m_restartButton, &QPushButton::clicked, this, &UpdaterWindow::restartRequested);

    showChecking();
}

void UpdaterWindow::showChecking()
{
    m_progress->setRange(0, 0);
    switchTo(Page::Checking, QStringLiteral("Recherche de mises à jour…"));
}

void UpdaterWindow::showUpToDate(const QString &currentVersion)
{
    switchTo(Page::UpToDate, QStringLiteral("Tu es à jour\u00a0!"),
        QStringLiteral("OrvaneTavo %1 est la dernière version disponible.").arg(currentVersion));
}

void UpdaterWindow::showAvailable(
    const QString &newVersion, const QString &currentVersion, const QString &notes)
{
    m_notes->setPlainText(notes);
    switchTo(Page::Available, QStringLiteral("OrvaneTavo %1 est disponible\u00a0!").arg(newVersion),
        QStringLiteral("Tu as la version %1. Veux-tu l'installer maintenant\u00a0?")
            .arg(currentVersion));
}

void UpdaterWindow::showDownloading(qint64 received, qint64 total)
{
    updateDownloadProgress(received, total);
    // Progress arrives many times a second: once on the page, only the bar and the line change.
    if (m_page != Page::Downloading)
        switchTo(Page::Downloading, QStringLiteral("Téléchargement de la mise à jour…"));
}

void UpdaterWindow::showReadyToRestart(const QString &newVersion)
{
    switchTo(Page::ReadyToRestart, QStringLiteral("La mise à jour est prête\u00a0!"),
        QStringLiteral("OrvaneTavo %1 est installé. Redémarre l'app pour l'utiliser.")
            .arg(newVersion));
}

void UpdaterWindow::showFailure(const QString &message)
{
    switchTo(Page::Failure, QStringLiteral("La mise à jour a échoué"), message);
}

void UpdaterWindow::closeEvent(QCloseEvent *event)
{
    // The title bar's close button is the user's choice, reported like Escape. The updater
    // closes the window itself once it is done with it, and that reports nothing back to it.
    if (event->spontaneous()) {
        QDialog::closeEvent(event);
        return;
    }
    event->accept();
}

void UpdaterWindow::dismissed()
{
    switch (m_page) {
    case Page::Checking:
    case Page::Downloading:
        Q_EMIT cancelRequested();
        break;
    case Page::Available:
    case Page::ReadyToRestart:
        Q_EMIT laterChosen();
        break;
    case Page::UpToDate:
    case Page::Failure:
        break;
    }
}

void UpdaterWindow::switchTo(Page page, const QString &heading, const QString &body)
{
    m_page = page;
    m_heading->setText(heading);
    m_body->setText(body);
    m_body->setVisible(!body.isEmpty());

    const bool busy = page == Page::Checking || page == Page::Downloading;
    m_notesCaption->setVisible(page == Page::Available);
    m_notes->setVisible(page == Page::Available);
    m_progress->setVisible(busy);
    m_sizeLine->setVisible(page == Page::Downloading);

    m_cancelButton->setVisible(busy);
    m_okButton->setVisible(page == Page::UpToDate || page == Page::Failure);
    m_laterButton->setVisible(page == Page::Available || page == Page::ReadyToRestart);
    m_installButton->setVisible(page == Page::Available);
    m_restartButton->setVisible(page == Page::ReadyToRestart);

    // Return acts on the choice that moves things forward; while busy it does nothing, so that
    // a stray key press never cancels a download.
    QPushButton *primary = nullptr;
    if (page == Page::UpToDate || page == Page::Failure)
        primary = m_okButton;
    else if (page == Page::Available)
        primary = m_installButton;
    else if (page == Page::ReadyToRestart)
        primary = m_restartButton;
    for (QPushButton *button :
        {m_cancelButton, m_okButton, m_laterButton, m_installButton, m_restartButton}) {
        button->setDefault(button == primary);
        button->setAutoDefault(button == primary);
    }
    (primary ? primary : m_cancelButton)->setFocus();

    fitHeight();
}

void UpdaterWindow::updateDownloadProgress(qint64 received, qint64 total)
{
    if (total <= 0) {
        m_progress->setRange(0, 0);
        m_sizeLine->setText(QStringLiteral("%1 Mo").arg(megabytes(qMax<qint64>(received, 0))));
        return;
    }
    // Servers may send more than they announced: never show more than all of it.
    received = qBound<qint64>(0, received, total);
    m_progress->setRange(0, progressSteps);
    m_progress->setValue(int(double(received) / double(total) * progressSteps));
    m_sizeLine->setText(
        QStringLiteral("%1 Mo sur %2 Mo").arg(megabytes(received), megabytes(total)));
}

void UpdaterWindow::fitHeight()
{
    // The width never changes; the height follows the page, wrapped lines included.
    QLayout *layout = this->layout();
    layout->activate();
    const int height = layout->hasHeightForWidth() ? layout->totalHeightForWidth(windowWidth)
                                                   : layout->totalSizeHint().height();
    if (minimumSize() != QSize(windowWidth, height) || maximumSize() != minimumSize())
        setFixedSize(windowWidth, height);
}
