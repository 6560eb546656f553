#pragma once

#include <QObject>
#include <QPoint>

// Application-wide event filter that lets the user drag frameless windows: a window with the
// property "canMove" = true follows the mouse while the left button is held on it.
class AppInit : public QObject
{
    Q_OBJECT
public:
    static AppInit *getInstance();

    bool isPressed() const { return m_pressed; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    AppInit() = default;

    bool m_pressed = false;
    QPoint m_pressOffset; // global mouse position minus window position at the press
};
