#include "platform/QuestionBox.h"

#include <QAbstractButton>
#include <QCoreApplication>
#include <QHash>
#include <QPointer>
#include <QThread>

namespace {
QHash<int, QPointer<QMessageBox>> s_boxes;

bool onGuiThread()
{
    return QCoreApplication::instance() && QThread::currentThread() == QCoreApplication::instance()->thread();
}
} // namespace

namespace QuestionBox {

void open(int id, const Dialogs::Question &q, std::function<void(QMessageBox::StandardButton)> clicked)
{
    if (!onGuiThread())
        return;
    auto *box = new QMessageBox(q.icon, q.title, q.text, q.buttons);
    box->setAttribute(Qt::WA_DeleteOnClose);
    for (auto it = q.labels.constBegin(); it != q.labels.constEnd(); ++it) {
        if (QAbstractButton *b = box->button(it.key()))
            b->setText(it.value());
    }
    QObject::connect(box, &QDialog::finished, box, [id, clicked](int result) {
        // Closed by close(): the question was withdrawn, nobody answered it.
        if (!s_boxes.remove(id))
            return;
        clicked(static_cast<QMessageBox::StandardButton>(result));
    });
    s_boxes.insert(id, box);
    box->open();
}

void close(int id)
{
    if (!onGuiThread())
        return;
    const QPointer<QMessageBox> box = s_boxes.take(id);
    if (box) {
        // Not close(): that would report the escape button as the user's answer.
        box->hide();
        box->deleteLater();
    }
}

} // namespace QuestionBox
