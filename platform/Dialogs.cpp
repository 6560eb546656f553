#include "platform/Dialogs.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QMutex>
#include <QMap>
#include <QMutexLocker>
#include <QPointer>
#include <QThread>
#include <QVariant>

Q_LOGGING_CATEGORY(lcDialogs, "vanteo.dialogs")

namespace {

struct Answer
{
    QString kind;
    QVariant value;
};

QMutex s_mutex;
QList<Answer> s_answers;
QList<Dialogs::Record> s_records;
bool s_nonInteractive = false;
DialogPresenter *s_presenter = nullptr;

// Questions of ask() from the moment they are asked until done has run or they were cancelled.
struct OpenQuestion
{
    QPointer<QObject> context;
    Dialogs::AnswerFn done;
    bool answered = false;
};
QMap<int, OpenQuestion> s_open;
int s_lastId = 0;

DialogPresenter *presenterToShow()
{
    QMutexLocker lock(&s_mutex);
    if (s_nonInteractive || !s_presenter)
        return nullptr;
    auto *app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread() ? s_presenter : nullptr;
}

void closeBox(int id)
{
    if (DialogPresenter *p = presenterToShow())
        p->closeQuestion(id);
}

} // namespace

bool Dialogs::takeAnswer(const QString &kind, QVariant *answer)
{
    QMutexLocker lock(&s_mutex);
    for (int i = 0; i < s_answers.size(); ++i) {
        if (s_answers.at(i).kind == kind) {
            *answer = s_answers.takeAt(i).value;
            return true;
        }
    }
    return false;
}

void Dialogs::record(const Record &r)
{
    QMutexLocker lock(&s_mutex);
    s_records.append(r);
}

Dialogs::Record Dialogs::recordOf(const QString &kind, Icon icon, const QString &title, const QString &text,
                                  StandardButtons buttons, const QHash<StandardButton, QString> &labels)
{
    Record r{kind, icon, title, text, {}};
    for (int b = FirstButton; b <= LastButton; b <<= 1) {
        const auto sb = static_cast<StandardButton>(b);
        if (buttons.testFlag(sb))
            r.buttons << labels.value(sb, QString::number(b));
    }
    return r;
}

namespace {

// Hands the answer to the asker through its event loop, so done never runs inside ask(), a test
// hook or the box's own signal; a cancel() that comes first still wins.
bool deliver(int id, Dialogs::StandardButton button)
{
    QPointer<QObject> context;
    {
        QMutexLocker lock(&s_mutex);
        auto it = s_open.find(id);
        if (it == s_open.end() || it->answered)
            return false;
        it->answered = true;
        context = it->context;
    }
    closeBox(id);
    if (!context) {
        QMutexLocker lock(&s_mutex);
        s_open.remove(id);
        return true;
    }
    QMetaObject::invokeMethod(
        context.data(),
        [id, button] {
            Dialogs::AnswerFn done;
            {
                QMutexLocker lock(&s_mutex);
                auto it = s_open.find(id);
                if (it == s_open.end())
                    return;
                done = std::move(it->done);
                s_open.erase(it);
            }
            if (done)
                done(button);
        },
        Qt::QueuedConnection);
    return true;
}

} // namespace

int Dialogs::ask(const Question &q, QObject *context, AnswerFn done)
{
    record(recordOf(QStringLiteral("message"), q.icon, q.title, q.text, q.buttons, q.labels));
    int id = 0;
    {
        QMutexLocker lock(&s_mutex);
        id = ++s_lastId;
        s_open.insert(id, OpenQuestion{context, std::move(done), false});
    }
    QVariant queued;
    if (takeAnswer(QStringLiteral("message"), &queued)) {
        deliver(id, static_cast<StandardButton>(queued.toInt()));
        return id;
    }
    DialogPresenter *presenter = presenterToShow();
    if (!presenter) {
        qCInfo(lcDialogs) << "waiting for an answer:" << q.title << q.text;
        return id;
    }
    presenter->openQuestion(id, q, [id](StandardButton clicked) { deliver(id, clicked); });
    return id;
}

void Dialogs::cancel(int id)
{
    {
        QMutexLocker lock(&s_mutex);
        if (!s_open.remove(id))
            return;
    }
    closeBox(id);
}

QList<int> Dialogs::openQuestions()
{
    QMutexLocker lock(&s_mutex);
    QList<int> ids;
    for (auto it = s_open.cbegin(); it != s_open.cend(); ++it) {
        if (!it->answered)
            ids << it.key();
    }
    return ids;
}

bool Dialogs::answer(int id, StandardButton button)
{
    return deliver(id, button);
}

Dialogs::StandardButton Dialogs::message(QWidget *parent, Icon icon, const QString &title, const QString &text,
                                         StandardButtons buttons, const QHash<StandardButton, QString> &labels,
                                         Qt::WindowFlags flags)
{
    const Record r = recordOf(QStringLiteral("message"), icon, title, text, buttons, labels);
    record(r);

    QVariant answer;
    if (takeAnswer(r.kind, &answer))
        return static_cast<StandardButton>(answer.toInt());
    DialogPresenter *presenter = presenterToShow();
    if (!presenter) {
        qCInfo(lcDialogs) << "not shown:" << title << text;
        return buttons.testFlag(Cancel) ? Cancel : NoButton;
    }
    return presenter->message(parent, icon, title, text, buttons, labels, flags);
}

int Dialogs::choice(QWidget *parent, Icon icon, const QString &title, const QString &text, const ButtonList &buttons)
{
    Record r{QStringLiteral("choice"), icon, title, text, {}};
    for (const auto &b : buttons)
        r.buttons << b.first;
    record(r);

    QVariant answer;
    if (takeAnswer(r.kind, &answer))
        return answer.toInt();
    DialogPresenter *presenter = presenterToShow();
    if (!presenter) {
        qCInfo(lcDialogs) << "not shown:" << title << text;
        return -1;
    }
    return presenter->choice(parent, icon, title, text, buttons);
}

QString Dialogs::existingDirectory(QWidget *parent, const QString &caption, const QString &dir, int options)
{
    record(Record{QStringLiteral("directory"), NoIcon, caption, dir, {}});
    QVariant answer;
    if (takeAnswer(QStringLiteral("directory"), &answer))
        return answer.toString();
    DialogPresenter *presenter = presenterToShow();
    return presenter ? presenter->existingDirectory(parent, caption, dir, options) : QString();
}

QString Dialogs::text(QWidget *parent, const QString &title, const QString &label, const QString &defaultText, bool *ok)
{
    record(Record{QStringLiteral("text"), NoIcon, title, label, {}});
    QVariant answer;
    if (takeAnswer(QStringLiteral("text"), &answer)) {
        const QStringList pair = answer.toStringList();
        if (ok)
            *ok = pair.value(1) == QLatin1String("1");
        return pair.value(0);
    }
    DialogPresenter *presenter = presenterToShow();
    if (!presenter) {
        if (ok)
            *ok = false;
        return QString();
    }
    return presenter->text(parent, title, label, defaultText, ok);
}

void Dialogs::setNextAnswer(StandardButton button)
{
    const QList<int> open = openQuestions();
    if (!open.isEmpty() && deliver(open.first(), button))
        return;
    QMutexLocker lock(&s_mutex);
    s_answers.append({QStringLiteral("message"), static_cast<int>(button)});
}

void Dialogs::setNextChoice(int index)
{
    QMutexLocker lock(&s_mutex);
    s_answers.append({QStringLiteral("choice"), index});
}

void Dialogs::setNextDirectory(const QString &dir)
{
    QMutexLocker lock(&s_mutex);
    s_answers.append({QStringLiteral("directory"), dir});
}

void Dialogs::setNextText(const QString &text, bool ok)
{
    QMutexLocker lock(&s_mutex);
    s_answers.append({QStringLiteral("text"), QStringList{text, ok ? QStringLiteral("1") : QStringLiteral("0")}});
}

void Dialogs::setPresenter(DialogPresenter *presenter)
{
    QMutexLocker lock(&s_mutex);
    s_presenter = presenter;
}

void Dialogs::setNonInteractive(bool on)
{
    QMutexLocker lock(&s_mutex);
    s_nonInteractive = on;
}

QList<Dialogs::Record> Dialogs::records()
{
    QMutexLocker lock(&s_mutex);
    return s_records;
}

void Dialogs::clearRecords()
{
    QMutexLocker lock(&s_mutex);
    s_records.clear();
    s_answers.clear();
}

int Dialogs::pendingAnswers()
{
    QMutexLocker lock(&s_mutex);
    return s_answers.size();
}
