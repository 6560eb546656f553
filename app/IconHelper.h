#pragma once

#include <QChar>
#include <QFont>
#include <QObject>

class QAbstractButton;

// The icon font (Font Awesome 4) and the glyphs drawn with it on the window buttons.
class IconHelper : public QObject
{
    Q_OBJECT
public:
    static IconHelper *getInstance();

    // Draws glyph c on the button at the given point size. The point size is kept in the shared
    // icon font, so it stays for the next call.
    void setIcon(QAbstractButton *button, QChar c, int size = 9);

    QFont iconFont() const { return m_iconFont; }
    int fontId() const { return m_fontId; } // -1 when the font resource could not be loaded

private:
    explicit IconHelper(QObject *parent);

    QFont m_iconFont;
    int m_fontId = -1;
};
