#pragma once

#include "backup/TransferMonitor.h"

#include <QDateTime>
#include <QHash>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QWidget>

class QMenu;
class QStandardItemModel;
class QTimer;

namespace Ui {
class MobileForm;
}

// The page that lists the phones known to this PC: name, number of backed-up files, folder,
// last connection and whether the phone is online now. A phone counts as online while its
// status messages keep arriving within the 40 s refresh period; the user can delete a phone
// from here, which removes it from the device list and has its album database wiped.
//
// Below the table, the 传输 panel follows what each connected phone is sending (from
// TransferMonitor): 备份中 or 空闲, this session's files, the current file, the speed, a 备份完成
// note once the phone has sent its files, and the last error. The phone protocol has no "all
// sent" record, so a phone counts as finished when no file has arrived for kFinishedAfterMs, or
// when it disconnected after a whole file.
class MobileForm : public QWidget
{
    Q_OBJECT
public:
    enum Column { ColName = 0, ColCount, ColPath, ColTime, ColState, ColumnCount };
    static constexpr int kRefreshMs = 40000;
    // A phone that has sent nothing for this long after its last file has finished sending.
    static constexpr int kFinishedAfterMs = 5000;
    // The transfer panel is redrawn at most this often.
    static constexpr int kPanelRepaintMs = 250;

    explicit MobileForm(QWidget *parent = nullptr);
    ~MobileForm() override;

    // Fills the table from the device list, unless it was filled before and force is false.
    void loadUsers(bool force);
    // Called when a phone was accepted: reloads when force is set (a new phone), then marks
    // devName online.
    void refreshUser(QString devName, bool force);
    // Files recorded in the phone's album database whose file still exists; 0 without one.
    int countBackups(QString devName);

    QStandardItemModel *model() const { return m_model; }
    // Tests drive the refresh directly instead of waiting for it.
    QTimer *refreshTimer() const { return m_timer; }
    QMenu *contextMenu() const { return m_menu; }

    // Whether a phone is sending files now: a file is arriving, or one ended less than
    // kFinishedAfterMs ago on a connection still open.
    static bool isSending(const TransferMonitor::Activity &a, const QDateTime &now);
    // The connected phones that are sending files now (see isSending).
    static QStringList sendingPhones();
    // The panel's text for one phone, plain (tests and the panel's rich text share it).
    static QStringList describeActivity(const QString &device, const TransferMonitor::Activity &a,
                                        const QDateTime &now);
    // The backup folder of the phone in the current row; empty without one.
    QString currentFolder() const;
    // Redraws the transfer panel now (the throttle's timeout; tests call it directly).
    void updateTransferPanel();
    QString transferText() const;

signals:
    void sendDeleteInfo(QString devName);
    void sendUserNumber(int num);

public slots:
    void onRecvPublicMsg(int type, QString devName);
    void timerUpDate();
    void onRecvDBNumberMsg(int num, QString devName);
    void onDelete();
    void onRecvUserNumberSlot(int num);
    // Opens the current phone's backup folder with the desktop's file manager.
    void openBackupFolder();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void applyLooks();
    void setupTable();
    // The row showing devName, or -1.
    int rowOf(const QString &devName) const;
    void showState(int row, bool online);
    void onTransferChanged(const QString &device);
    void updateFolderButton();

    Ui::MobileForm *ui;
    QStandardItemModel *m_model;
    QMenu *m_menu;
    QTimer *m_timer;
    // 1: a status message saying online arrived since the last refresh; 0: none, or offline.
    QHash<QString, int> m_status;
    bool m_loaded = false;
    // Repaint throttle of the transfer panel, and a slow tick while a phone is connected so that
    // 备份完成 appears although nothing is reported while a phone is idle.
    QTimer *m_panelTimer;
    QTimer *m_panelTick;
};
