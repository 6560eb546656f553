#include "app/AppInit.h"

#include <QMouseEvent>
#include <QWidget>

AppInit *AppInit::getInstance()
{
    static AppInit *instance = new AppInit; // lives as long as the process, like the filter
    return instance;
}

bool AppInit::eventFilter(QObject *watched, QEvent *event)
{
    auto *widget = qobject_cast<QWidget *>(watched);
    if (!widget || !widget->property("canMove").toBool())
        return QObject::eventFilter(watched, event);

    switch (event->type()) {
    case QEvent::MouseButtonPress: {
        auto *e = static_cast<QMouseEvent *>(event);
        if (e->button() != Qt::LeftButton)
            break;
        m_pressed = true;
        m_pressOffset = e->globalPos() - widget->pos();
        return true;
    }
    case QEvent::MouseButtonRelease: m_pressed = false; return true;
    case QEvent::MouseMove: {
        auto *e = static_cast<QMouseEvent *>(event);
        if (m_pressed && e->buttons() != Qt::NoButton) {
            widget->move(e->globalPos() - m_pressOffset);
            return true;
        }
        break;
    }
    default: break;
    }
    return QObject::eventFilter(watched, event);
}
