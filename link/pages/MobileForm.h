#pragma once

#include <QHash>
#include <QString>
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
class MobileForm : public QWidget
{
    Q_OBJECT
public:
    enum Column { ColName = 0, ColCount, ColPath, ColTime, ColState, ColumnCount };
    static constexpr int kRefreshMs = 40000;

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

signals:
    void sendDeleteInfo(QString devName);
    void sendUserNumber(int num);

public slots:
    void onRecvPublicMsg(int type, QString devName);
    void timerUpDate();
    void onRecvDBNumberMsg(int num, QString devName);
    void onDelete();
    void onRecvUserNumberSlot(int num);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void applyLooks();
    void setupTable();
    // The row showing devName, or -1.
    int rowOf(const QString &devName) const;
    void showState(int row, bool online);

    Ui::MobileForm *ui;
    QStandardItemModel *m_model;
    QMenu *m_menu;
    QTimer *m_timer;
    // 1: a status message saying online arrived since the last refresh; 0: none, or offline.
    QHash<QString, int> m_status;
    bool m_loaded = false;
};
