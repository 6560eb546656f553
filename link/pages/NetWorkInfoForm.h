#pragma once

#include <QString>
#include <QStringList>
#include <QWidget>

class NetBroadCast;

namespace Ui {
class NetWorkInfoForm;
}

// The page that tells the user how a phone reaches this PC: the selectable IPv4 addresses,
// the announced one and the command port, and a QR code with the same connection data for
// networks that drop the discovery broadcast. Choosing another address changes what the
// broadcast announces and is remembered as localIP. The page follows network changes while the
// program runs: a new or vanished address updates the list, the code and the broadcast.
class NetWorkInfoForm : public QWidget
{
    Q_OBJECT
public:
    explicit NetWorkInfoForm(QWidget *parent = nullptr);
    ~NetWorkInfoForm() override;

    QString currentIP() const { return m_currentIP; }
    QStringList addressList() const { return m_ipList; }

private slots:
    // Connected by name by the form's setup.
    void on_ipListComboBox_activated(int index);

private:
    void applyLooks();
    // Announces and shows the address at index of the list.
    void useAddress(int index);
    // Nothing to choose: say so plainly; the broadcaster keeps the address it has.
    void showNoNetwork();
    // Back from showNoNetwork() when addresses are there again.
    void showNetwork();
    // The network changed: the new list, keeping the user's address while it exists.
    void onAddressListChanged(const QStringList &addresses);
    // The address to show from list: previous when it is there, else the stored choice, else the first.
    static int pickIndex(const QStringList &list, const QString &previous);

    Ui::NetWorkInfoForm *ui;
    QStringList m_ipList;
    QString m_currentIP;
    NetBroadCast *m_broadcaster;
};
