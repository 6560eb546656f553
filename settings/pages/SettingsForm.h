#pragma once

#include "settings/SettingsKeys.h"

#include <QString>
#include <QWidget>

class ArchiveMove;
class QProgressDialog;

namespace Ui {
class SettingsForm;
}

// The settings page: shows the storage root (备份位置) and lets the user choose another (used at
// once, archive moved too), switches picture and video organising on or off, asks for the two
// resets that the next start carries out (says which are pending, and withdraws them), and shows the organiser's and
// the backups' fixed paths, suffixes and sizes for information (those controls are disabled).
class SettingsForm : public QWidget
{
    Q_OBJECT
public:
    SettingsForm(QWidget *parent, QString savepath);
    ~SettingsForm() override;

protected:
    // Shortens the fixed paths again when their boxes change size.
    bool eventFilter(QObject *watched, QEvent *event) override;

private slots:
    // Connected by name by the form's setup.
    void on_checkBoxDoubleFile_stateChanged(int state);
    void on_checkBoxDoubleName_stateChanged(int state);
    void on_checkBoxAutostart_toggled(bool on);
    void on_localResetButton_clicked();
    void on_remoteResetButton_clicked();
    void on_pushButtonCancelReset_clicked();
    void on_pushBtnCheckUpdate_clicked();
    void on_checkLocalPicture_stateChanged(int state);
    void on_checkLocalVideo_stateChanged(int state);
    void on_pushButtonStorageRoot_clicked();

private:
    void applyLooks();
    void readStoredOptions();
    void showFixedValues();
    // The storage root in use with its free space and state, and a root chosen for the next start.
    void showStorageRoot();
    // Moves the archive from the root in use to to, with progress and a stop button.
    void startArchiveMove(const QString &from, const QString &to);
    void archiveMoveProgress(qint64 filesDone, qint64 filesTotal, qint64 bytesDone, qint64 bytesTotal);
    void archiveMoveFinished(int outcome, const QString &message);
    // Asks with text for a reset and, when confirmed, marks it for the next start under key.
    void confirmReset(const SettingKey &key, const QString &text);
    // Shows which resets wait for the next start, with the button that withdraws them (hidden when none).
    void showPendingResets();

    Ui::SettingsForm *ui;
    int m_doubleFile = 0; // mirrors doubleFile
    int m_doubleName = 1; // mirrors the 去重名 box, which the form shows checked
    QString m_savePath;   // the root in use (since the start, or since it was changed here)

    ArchiveMove *m_move = nullptr; // while the archive is being moved
    QProgressDialog *m_moveProgress = nullptr;
};
