#pragma once

#include "platform/Dialogs.h"

// The widget half of the dialog seam: message boxes, the folder chooser and the text prompt, and a
// non-modal box per open question. The program installs one at start (Dialogs::setPresenter).
class WidgetDialogs : public DialogPresenter
{
public:
    Dialogs::StandardButton message(QWidget *parent, Dialogs::Icon icon, const QString &title, const QString &text,
                                    Dialogs::StandardButtons buttons,
                                    const QHash<Dialogs::StandardButton, QString> &labels,
                                    Qt::WindowFlags flags) override;
    int choice(QWidget *parent, Dialogs::Icon icon, const QString &title, const QString &text,
               const Dialogs::ButtonList &buttons) override;
    QString existingDirectory(QWidget *parent, const QString &caption, const QString &dir, int options) override;
    QString text(QWidget *parent, const QString &title, const QString &label, const QString &defaultText,
                 bool *ok) override;
    void openQuestion(int id, const Dialogs::Question &q,
                      std::function<void(Dialogs::StandardButton)> clicked) override;
    void closeQuestion(int id) override;
};
