#pragma once

#include <QFlags>
#include <QHash>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <functional>

class QObject;
class QWidget;
class DialogPresenter;

// The one seam every modal dialog of the program goes through, so tests can answer them. It knows
// no widgets: the program installs a DialogPresenter (the widget half) at start; without one, or
// when non-interactive, nothing is shown and questions are answered as if closed.
// Answers queued with the setNext...() hooks are taken in order by the next dialogs, which
// are then not shown at all; every dialog asked for is recorded, shown or answered.
//
// ask() is the non-blocking form for questions that arrive from outside (a phone asking to back
// up): no nested event loop, so answers come in the order the questions were shown and a
// question can be withdrawn with cancel() when its reason has gone.
class Dialogs
{
public:
    // Same values as QMessageBox's, so the widget half converts by a cast.
    enum Icon { NoIcon = 0, Information = 1, Warning = 2, Critical = 3, QuestionIcon = 4 };
    enum StandardButton {
        NoButton = 0x00000000,
        Ok = 0x00000400,
        Save = 0x00000800,
        Open = 0x00002000,
        Yes = 0x00004000,
        No = 0x00010000,
        Abort = 0x00040000,
        Retry = 0x00080000,
        Ignore = 0x00100000,
        Close = 0x00200000,
        Cancel = 0x00400000,
        Discard = 0x00800000,
        FirstButton = Ok,
        LastButton = Discard
    };
    Q_DECLARE_FLAGS(StandardButtons, StandardButton)
    enum ButtonRole { AcceptRole = 0, RejectRole = 1, DestructiveRole = 2, ActionRole = 3, YesRole = 5, NoRole = 6 };
    // QFileDialog's option values.
    enum DirectoryOption { ShowDirsOnly = 0x1, DontResolveSymlinks = 0x2 };

    struct Question
    {
        Icon icon = Information;
        QString title;
        QString text;
        StandardButtons buttons = Ok;
        QHash<StandardButton, QString> labels;
    };
    using AnswerFn = std::function<void(StandardButton)>;

    using ButtonList = QList<QPair<QString, ButtonRole>>;

    struct Record
    {
        QString kind; // "message", "choice", "directory", "text"
        Icon icon = NoIcon;
        QString title;
        QString text;
        QStringList buttons; // button texts in the order they were added
    };

    // A message box with standard buttons; labels replace the texts of some of them.
    // Returns the button clicked (the escape button, or NoButton, when closed otherwise).
    static StandardButton message(QWidget *parent, Icon icon, const QString &title, const QString &text,
                                  StandardButtons buttons = Ok, const QHash<StandardButton, QString> &labels = {},
                                  Qt::WindowFlags flags = {});

    // A message box with buttons of our own, added in the given order.
    // Returns the index of the clicked button, or -1 when the box was closed without one.
    static int choice(QWidget *parent, Icon icon, const QString &title, const QString &text, const ButtonList &buttons);

    // Asks without blocking; done runs later on context's thread with the button clicked (the
    // escape button, or NoButton, when the box is closed otherwise), never when the question is
    // cancelled or context is gone. A queued setNextAnswer() answers it from the event loop. A
    // non-interactive seam shows nothing and keeps the question open until a test hook answers it.
    // Returns the question's id (> 0).
    static int ask(const Question &q, QObject *context, AnswerFn done);
    // Withdraws an open question: its box closes, done is not called. Unknown ids are ignored.
    static void cancel(int id);

    // A folder chooser (QFileDialog::getExistingDirectory); options are DirectoryOption values.
    static QString existingDirectory(QWidget *parent, const QString &caption, const QString &dir, int options);

    // A line of text (QInputDialog::getText).
    static QString text(QWidget *parent, const QString &title, const QString &label, const QString &defaultText,
                        bool *ok);

    // --- test hooks ---
    // For message(), or the oldest open question of ask() when one waits.
    static void setNextAnswer(StandardButton button);
    static void setNextChoice(int index);                         // for choice(); -1 closes
    static void setNextDirectory(const QString &dir);             // for existingDirectory()
    static void setNextText(const QString &text, bool ok = true); // for text()
    // With no queued answer, a non-interactive seam shows nothing and answers as if closed.
    static void setNonInteractive(bool on);
    static QList<Record> records();
    static void clearRecords();
    static int pendingAnswers();
    // Ids of the questions of ask() still waiting for an answer, oldest first.
    static QList<int> openQuestions();
    // Answers an open question as if its button had been clicked; false when it is not open.
    static bool answer(int id, StandardButton button);

    // The widget half, installed once by the program (not owned); nullptr removes it.
    static void setPresenter(DialogPresenter *presenter);

private:
    static bool takeAnswer(const QString &kind, QVariant *answer);
    static void record(const Record &r);
    static Record recordOf(const QString &kind, Icon icon, const QString &title, const QString &text,
                           StandardButtons buttons, const QHash<StandardButton, QString> &labels);
};

Q_DECLARE_OPERATORS_FOR_FLAGS(Dialogs::StandardButtons)

// What shows the dialogs: called on the GUI thread only, after the seam has recorded the dialog and
// found no queued answer.
class DialogPresenter
{
public:
    virtual ~DialogPresenter() = default;
    virtual Dialogs::StandardButton message(QWidget *parent, Dialogs::Icon icon, const QString &title,
                                            const QString &text, Dialogs::StandardButtons buttons,
                                            const QHash<Dialogs::StandardButton, QString> &labels,
                                            Qt::WindowFlags flags) = 0;
    virtual int choice(QWidget *parent, Dialogs::Icon icon, const QString &title, const QString &text,
                       const Dialogs::ButtonList &buttons) = 0;
    virtual QString existingDirectory(QWidget *parent, const QString &caption, const QString &dir, int options) = 0;
    virtual QString text(QWidget *parent, const QString &title, const QString &label, const QString &defaultText,
                         bool *ok) = 0;
    // Shows a question without blocking; clicked runs once when the user closes it.
    virtual void openQuestion(int id, const Dialogs::Question &q,
                              std::function<void(Dialogs::StandardButton)> clicked) = 0;
    // Closes that question's box, if shown, without calling its clicked.
    virtual void closeQuestion(int id) = 0;
};
