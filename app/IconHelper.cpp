#include "app/IconHelper.h"

#include <QAbstractButton>
#include <QCoreApplication>
#include <QFontDatabase>
#include <QPointer>

IconHelper *IconHelper::getInstance()
{
    // A child of the application object: it goes with it, and a later application gets its own.
    static QPointer<IconHelper> instance;
    if (!instance)
        instance = new IconHelper(QCoreApplication::instance());
    return instance;
}

IconHelper::IconHelper(QObject *parent) : QObject(parent)
{
    m_fontId = QFontDatabase::addApplicationFont(QStringLiteral(":/image/fontawesome-webfont.ttf"));
    const QStringList families = QFontDatabase::applicationFontFamilies(m_fontId);
    if (!families.isEmpty())
        m_iconFont = QFont(families.first());
}

void IconHelper::setIcon(QAbstractButton *button, QChar c, int size)
{
    m_iconFont.setPointSize(size);
    button->setFont(m_iconFont);
    button->setText(QString(c));
}
