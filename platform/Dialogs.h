#pragma once

#include <QFileDialog>
#include <QHash>
#include <QList>
#include <QMessageBox>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <functional>

class QObject;

// The one seam every modal dialog of the program goes through, so tests can answer them.
// Answers queued with the setNext...() hooks are taken in order by the next dialogs, which
// are then not shown at all; every dialog asked for is recorded, shown or answered.
//
// ask() is the non-blocking form for questions that arrive from outside (a phone asking to back
// up): no nested event loop, so answers come in the order the questions were shown and a
// question can be withdrawn with cancel() when its reason has gone.
class Dialogs
{
public:
    struct Question
    {
        QMessageBox::Icon icon = QMessageBox::Information;
        QString title;
        QString text;
        QMessageBox::StandardButtons buttons = QMessageBox::Ok;
        QHash<QMessageBox::StandardButton, QString> labels;
    };
    using AnswerFn = std::function<void(QMessageBox::StandardButton)>;

    using ButtonList = QList<QPair<QString, QMessageBox::ButtonRole>>;

    struct Record
    {
        QString kind; // "message", "choice", "directory", "text"
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        QString title;
        QString text;
        QStringList buttons; // button texts in the order they were added
    };

    // A message box with standard buttons; labels replace the texts of some of them.
    // Returns the button clicked (the escape button, or NoButton, when closed otherwise).
    static QMessageBox::StandardButton message(QWidget *parent, QMessageBox::Icon icon, const QString &title,
                                               const QString &text,
                                               QMessageBox::StandardButtons buttons = QMessageBox::Ok,
                                               const QHash<QMessageBox::StandardButton, QString> &labels = {},
                                               Qt::WindowFlags flags = {});

    // A message box with buttons of our own, added in the given order.
    // Returns the index of the clicked button, or -1 when the box was closed without one.
    static int choice(QWidget *parent, QMessageBox::Icon icon, const QString &title, const QString &text,
                      const ButtonList &buttons);

    // Asks without blocking; done runs later on context's thread with the button clicked (the
    // escape button, or NoButton, when the box is closed otherwise), never when the question is
    // cancelled or context is gone. A queued setNextAnswer() answers it from the event loop. A
    // non-interactive seam shows nothing and keeps the question open until a test hook answers it.
    // Returns the question's id (> 0).
    static int ask(const Question &q, QObject *context, AnswerFn done);
    // Withdraws an open question: its box closes, done is not called. Unknown ids are ignored.
    static void cancel(int id);

    // QFileDialog::getExistingDirectory.
    static QString existingDirectory(QWidget *parent, const QString &caption, const QString &dir,
                                     QFileDialog::Options options);

    // QInputDialog::getText.
    static QString text(QWidget *parent, const QString &title, const QString &label, const QString &defaultText,
                        bool *ok);

    // --- test hooks ---
    // For message(), or the oldest open question of ask() when one waits.
    static void setNextAnswer(QMessageBox::StandardButton button);
    static void setNextChoice(int index);                          // for choice(); -1 closes
    static void setNextDirectory(const QString &dir);              // for existingDirectory()
    static void setNextText(const QString &text, bool ok = true);  // for text()
    // With no queued answer, a non-interactive seam shows nothing and answers as if closed.
    static void setNonInteractive(bool on);
    static QList<Record> records();
    static void clearRecords();
    static int pendingAnswers();
    // Ids of the questions of ask() still waiting for an answer, oldest first.
    static QList<int> openQuestions();
    // Answers an open question as if its button had been clicked; false when it is not open.
    static bool answer(int id, QMessageBox::StandardButton button);

private:
    static bool takeAnswer(const QString &kind, QVariant *answer);
    static void record(const Record &r);
    static Record recordOf(const QString &kind, QMessageBox::Icon icon, const QString &title, const QString &text,
                           QMessageBox::StandardButtons buttons,
                           const QHash<QMessageBox::StandardButton, QString> &labels);
};
