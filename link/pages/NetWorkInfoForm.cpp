#include "link/pages/NetWorkInfoForm.h"
#include "ui_NetWorkInfoForm.h"

#include "link/NetBroadCast.h"
#include "settings/ReadWriteSetting.h"

#include <QPixmap>

namespace {

const SettingKey kLocalIP = SettingsKeys::LocalIP;
constexpr int kQrSide = 200;    // width of the QR picture
constexpr int kQrBoxSide = 268; // the label around it; the difference is the white quiet zone

void setLook(QWidget *w, const QColor &colour, bool alsoText = false)
{
    QFont f = w->font();
    f.setPointSize(11);
    w->setFont(f);
    QPalette p = w->palette();
    p.setColor(QPalette::WindowText, colour);
    // A disabled line edit draws its text with the disabled Text colour, which would be grey.
    if (alsoText)
        p.setColor(QPalette::Text, colour);
    w->setPalette(p);
}

} // namespace

NetWorkInfoForm::NetWorkInfoForm(QWidget *parent)
    : QWidget(parent), ui(new Ui::NetWorkInfoForm), m_broadcaster(NetBroadCast::getInstance())
{
    ui->setupUi(this);
    applyLooks();

    const QPixmap background(QStringLiteral(":/image/netback.png"));
    ui->labelNetBg->setPixmap(background);
    if (!background.isNull())
        ui->labelNetBg->setFixedSize(background.size());

    ui->netLocalPort->setText(QString::number(m_broadcaster->getPort()));

    m_ipList = m_broadcaster->getLocalIPList();
    ui->ipListComboBox->addItems(m_ipList);

    ReadWriteSetting *store = ReadWriteSetting::getInstance();
    int index = 0;
    if (!store->isStored(kLocalIP)) {
        store->setValue(kLocalIP, kLocalIP.fallback);
    } else {
        index = store->number(kLocalIP);
        if (index < 0 || index >= m_ipList.size())
            index = 0; // the stored value is kept; the list may be longer at the next start
    }

    if (m_ipList.isEmpty())
        showNoNetwork();
    else
        useAddress(index);

    connect(m_broadcaster, &NetBroadCast::localIPListChanged, this, &NetWorkInfoForm::onAddressListChanged);
    m_broadcaster->startWatchingNetwork(m_ipList);
}

int NetWorkInfoForm::pickIndex(const QStringList &list, const QString &previous)
{
    const int kept = previous.isEmpty() ? -1 : list.indexOf(previous);
    if (kept >= 0)
        return kept;
    const int stored = ReadWriteSetting::getInstance()->number(kLocalIP);
    return stored >= 0 && stored < list.size() ? stored : 0;
}

void NetWorkInfoForm::onAddressListChanged(const QStringList &addresses)
{
    const QString previous = m_currentIP;
    m_ipList = addresses;
    ui->ipListComboBox->clear();
    ui->ipListComboBox->addItems(m_ipList);
    if (m_ipList.isEmpty()) {
        showNoNetwork();
        return;
    }
    showNetwork();
    const int index = pickIndex(m_ipList, previous);
    // The user's address moved in the list: the stored index follows it, so the next start
    // announces the same address.
    if (!previous.isEmpty() && m_ipList.at(index) == previous)
        ReadWriteSetting::getInstance()->setNumber(kLocalIP, index);
    useAddress(index);
}

NetWorkInfoForm::~NetWorkInfoForm()
{
    delete ui;
}

void NetWorkInfoForm::applyLooks()
{
    for (QWidget *w : {static_cast<QWidget *>(ui->useNote), static_cast<QWidget *>(ui->label_connectInfo),
                       static_cast<QWidget *>(ui->labelIpList), static_cast<QWidget *>(ui->label_ip),
                       static_cast<QWidget *>(ui->label_port)})
        setLook(w, Qt::blue);
    setLook(ui->netLocalIP, Qt::darkRed, true);
    setLook(ui->netLocalPort, Qt::darkRed, true);
    QFont comboFont = ui->ipListComboBox->font();
    comboFont.setPointSize(11);
    ui->ipListComboBox->setFont(comboFont);

    ui->useNote->setText(QStringLiteral("用法：\n\n"
                                        "1. 移动设备可使用左边信息和当前设备连接。\n\n"
                                        "2. 请保证移动设备和当前设备在同一局域网。\n\n"
                                        "3. 可手动输入IP地址和端口Port连接当前设备。\n\n"
                                        "4. 可扫描二维码自动连接当前设备。"));

    // The symbol carries no quiet zone of its own; the label's white margin around it gives
    // phones the blank border they need to find the code against the background picture.
    ui->label_QRcode->setMinimumSize(kQrSide, kQrSide);
    ui->label_QRcode->setMaximumSize(kQrBoxSide, kQrBoxSide);
    ui->label_QRcode->setMargin((kQrBoxSide - kQrSide) / 2);
    ui->label_QRcode->setAlignment(Qt::AlignCenter);
    ui->label_QRcode->setAutoFillBackground(true);
    QPalette qr = ui->label_QRcode->palette();
    qr.setColor(QPalette::Window, Qt::white);
    ui->label_QRcode->setPalette(qr);
}

void NetWorkInfoForm::useAddress(int index)
{
    ui->ipListComboBox->setCurrentIndex(index);
    m_currentIP = m_ipList.at(index);
    m_broadcaster->setIP(m_currentIP);
    ui->label_QRcode->setPixmap(m_broadcaster->createQrCode(m_currentIP));
    ui->netLocalIP->setText(m_currentIP);
}

void NetWorkInfoForm::showNoNetwork()
{
    m_currentIP.clear();
    ui->ipListComboBox->setEnabled(false);
    ui->netLocalIP->setText(QStringLiteral("未发现网络"));
    // The message takes the code's white square, so the page keeps its shape.
    setLook(ui->label_QRcode, Qt::darkRed);
    ui->label_QRcode->setMinimumSize(kQrBoxSide, kQrBoxSide);
    ui->label_QRcode->setMargin(0);
    ui->label_QRcode->setText(QStringLiteral("未发现可用的网络，\n请连接局域网"));
}

void NetWorkInfoForm::showNetwork()
{
    ui->ipListComboBox->setEnabled(true);
    ui->label_QRcode->setMinimumSize(kQrSide, kQrSide);
    ui->label_QRcode->setMargin((kQrBoxSide - kQrSide) / 2);
}

void NetWorkInfoForm::on_ipListComboBox_activated(int index)
{
    if (index < 0 || index >= m_ipList.size())
        return;
    ReadWriteSetting::getInstance()->setNumber(kLocalIP, index);
    useAddress(index);
}
