#pragma once

#include <QFileDialog>
#include <QHash>
#include <QList>
#include <QMessageBox>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QVariant>

// The one seam every modal dialog of the program goes through, so tests can answer them.
// Answers queued with the setNext...() hooks are taken in order by the next dialogs, which
// are then not shown at all; every dialog asked for is recorded, shown or answered.
class Dialogs
{
public:
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

    // QFileDialog::getExistingDirectory.
    static QString existingDirectory(QWidget *parent, const QString &caption, const QString &dir,
                                     QFileDialog::Options options);

    // QInputDialog::getText.
    static QString text(QWidget *parent, const QString &title, const QString &label, const QString &defaultText,
                        bool *ok);

    // --- test hooks ---
    static void setNextAnswer(QMessageBox::StandardButton button); // for message()
    static void setNextChoice(int index);                          // for choice(); -1 closes
    static void setNextDirectory(const QString &dir);              // for existingDirectory()
    static void setNextText(const QString &text, bool ok = true);  // for text()
    // With no queued answer, a non-interactive seam shows nothing and answers as if closed.
    static void setNonInteractive(bool on);
    static QList<Record> records();
    static void clearRecords();
    static int pendingAnswers();

private:
    static bool takeAnswer(const QString &kind, QVariant *answer);
    static void record(const Record &r);
};
