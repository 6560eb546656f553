#include "app/UserHelperForm.h"
#include "ui_UserHelperForm.h"

#include "platform/Dialogs.h"

#include <QFile>

UserHelperForm::UserHelperForm(QWidget *parent) : UserHelperForm(parent, defaultGuidePath())
{
}

UserHelperForm::UserHelperForm(QWidget *parent, const QString &guidePath) : QWidget(parent), ui(new Ui::UserHelperForm)
{
    ui->setupUi(this);
    // Frameless, so that the page stays embedded in the page stack without decorations.
    setWindowFlags(windowFlags() | Qt::FramelessWindowHint);
    ui->textBrowser->setOpenExternalLinks(true);

    QFile guide(guidePath);
    if (!guide.open(QIODevice::ReadOnly | QIODevice::Text)) {
        Dialogs::message(nullptr, Dialogs::Information, QStringLiteral("提示"), QStringLiteral("打不开用户协议文件"),
                         Dialogs::Ok);
    }
    // The guide is UTF-8 whatever the locale; a guide that could not be opened leaves the page empty.
    ui->textBrowser->setHtml(guide.isOpen() ? QString::fromUtf8(guide.readAll()) : QString());
}

UserHelperForm::~UserHelperForm()
{
    delete ui;
}

QString UserHelperForm::defaultGuidePath()
{
    return QStringLiteral(":/files/readme.htm");
}
