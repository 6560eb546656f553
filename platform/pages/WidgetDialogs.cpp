#include "platform/pages/WidgetDialogs.h"

#include <QAbstractButton>
#include <QFileDialog>
#include <QHash>
#include <QInputDialog>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>

namespace {

QHash<int, QPointer<QMessageBox>> s_boxes;

QMessageBox::Icon toIcon(Dialogs::Icon icon)
{
    return static_cast<QMessageBox::Icon>(icon);
}

QMessageBox::StandardButtons toButtons(Dialogs::StandardButtons buttons)
{
    return QMessageBox::StandardButtons(int(buttons));
}

void applyLabels(QMessageBox &box, const QHash<Dialogs::StandardButton, QString> &labels)
{
    for (auto it = labels.constBegin(); it != labels.constEnd(); ++it) {
        if (QAbstractButton *b = box.button(static_cast<QMessageBox::StandardButton>(it.key())))
            b->setText(it.value());
    }
}

} // namespace

Dialogs::StandardButton WidgetDialogs::message(QWidget *parent, Dialogs::Icon icon, const QString &title,
                                               const QString &text, Dialogs::StandardButtons buttons,
                                               const QHash<Dialogs::StandardButton, QString> &labels,
                                               Qt::WindowFlags flags)
{
    QMessageBox box(toIcon(icon), title, text, toButtons(buttons), parent);
    if (flags)
        box.setWindowFlags(flags);
    applyLabels(box, labels);
    return static_cast<Dialogs::StandardButton>(box.exec());
}

int WidgetDialogs::choice(QWidget *parent, Dialogs::Icon icon, const QString &title, const QString &text,
                          const Dialogs::ButtonList &buttons)
{
    QMessageBox box(toIcon(icon), title, text, QMessageBox::NoButton, parent);
    QList<QAbstractButton *> added;
    for (const auto &b : buttons)
        added << box.addButton(b.first, static_cast<QMessageBox::ButtonRole>(b.second));
    box.exec();
    return added.indexOf(box.clickedButton());
}

QString WidgetDialogs::existingDirectory(QWidget *parent, const QString &caption, const QString &dir, int options)
{
    return QFileDialog::getExistingDirectory(parent, caption, dir, QFileDialog::Options(options));
}

QString WidgetDialogs::text(QWidget *parent, const QString &title, const QString &label, const QString &defaultText,
                            bool *ok)
{
    return QInputDialog::getText(parent, title, label, QLineEdit::Normal, defaultText, ok);
}

void WidgetDialogs::openQuestion(int id, const Dialogs::Question &q,
                                 std::function<void(Dialogs::StandardButton)> clicked)
{
    auto *box = new QMessageBox(toIcon(q.icon), q.title, q.text, toButtons(q.buttons));
    box->setAttribute(Qt::WA_DeleteOnClose);
    applyLabels(*box, q.labels);
    QObject::connect(box, &QDialog::finished, box, [id, clicked](int result) {
        // Closed by closeQuestion(): the question was withdrawn, nobody answered it.
        if (!s_boxes.remove(id))
            return;
        clicked(static_cast<Dialogs::StandardButton>(result));
    });
    s_boxes.insert(id, box);
    box->open();
}

void WidgetDialogs::closeQuestion(int id)
{
    const QPointer<QMessageBox> box = s_boxes.take(id);
    if (box) {
        // Not close(): that would report the escape button as the user's answer.
        box->hide();
        box->deleteLater();
    }
}
