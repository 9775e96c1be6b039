#pragma once

#include <QDialog>

class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;

// The updater's own window. It shows one page at a time and reports the user's choices; the
// updater decides what happens next. Every text shown is plain text: notes come from the network.
class UpdaterWindow : public QDialog
{
    Q_OBJECT

public:
    enum class Page { Checking, UpToDate, Available, Downloading, ReadyToRestart, Failure };

    explicit UpdaterWindow(QWidget *parent = nullptr);

    Page page() const { return m_page; }

    void showChecking();
    void showUpToDate(const QString &currentVersion);
    void showAvailable(
        const QString &newVersion, const QString &currentVersion, const QString &notes);
    // `total` <= 0: size unknown, the bar runs without an end.
    void showDownloading(qint64 received, qint64 total);
    void showReadyToRestart(const QString &newVersion);
    void showFailure(const QString &message);

Q_SIGNALS:
    // Cancel while checking or downloading, or the window closed then.
    void cancelRequested();
    void installRequested();
    void laterChosen();
    void restartRequested();

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void dismissed();
    void switchTo(Page page, const QString &heading, const QString &body = {});
    void updateDownloadProgress(qint64 received, qint64 total);
    void fitHeight();

    Page m_page = Page::Checking;
    QLabel *m_heading = nullptr;
    QLabel *m_body = nullptr;
    QLabel *m_notesCaption = nullptr;
    QPlainTextEdit *m_notes = nullptr;
    QProgressBar *m_progress = nullptr;
    QLabel *m_sizeLine = nullptr;
    QPushButton *m_cancelButton = nullptr;
    QPushButton *m_okButton = nullptr;
    QPushButton *m_laterButton = nullptr;
    QPushButton *m_installButton = nullptr;
    QPushButton *m_restartButton = nullptr;
};
