// When the daily update check is due.
#include "update/UpdateSchedule.h"

#include <QtTest>

class TestUpdateSchedule : public QObject
{
    Q_OBJECT

private slots:
    void isCheckDue_data()
    {
        QTest::addColumn<QString>("last");
        QTest::addColumn<bool>("due");
        const QDateTime now(QDate(2026, 3, 1), QTime(12, 0, 0));
        const auto ago = [&](qint64 secs) {
            return now.addSecs(-secs).toString(QLatin1String(UpdateSchedule::timeFormat()));
        };
        QTest::newRow("just checked") << ago(0) << false;
        QTest::newRow("an hour ago") << ago(3600) << false;
        QTest::newRow("exactly a day ago") << ago(86400) << false;
        QTest::newRow("a day and a second ago") << ago(86401) << true;
        QTest::newRow("a year ago") << ago(365 * 86400) << true;
        QTest::newRow("in the future wraps") << ago(-10) << true;
        QTest::newRow("empty") << "" << true;
        QTest::newRow("unreadable") << "yesterday" << true;
        QTest::newRow("other format") << "2026-03-01T11:00:00" << true;
    }

    void isCheckDue()
    {
        QFETCH(QString, last);
        QFETCH(bool, due);
        const QDateTime now(QDate(2026, 3, 1), QTime(12, 0, 0));
        QCOMPARE(UpdateSchedule::isCheckDue(last, now), due);
    }
};

QTEST_GUILESS_MAIN(TestUpdateSchedule)
#include "tst_updateschedule.moc"
