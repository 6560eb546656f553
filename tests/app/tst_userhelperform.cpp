#include "app/UserHelperForm.h"

#include "platform/Dialogs.h"
#include "tests/support/TestSupport.h"

#include <QFile>
#include <QTextBlock>
#include <QTextBrowser>
#include <QTextCodec>
#include <QXmlStreamReader>
#include <QtTest>

namespace {

const QString kTitle = QStringLiteral("万特相册软件使用说明");
const QStringList kSections{QStringLiteral("一、软件说明："), QStringLiteral("二、服务端软件使用说明："),
                            QStringLiteral("三、客户端软件使用说明："), QStringLiteral("四、关于我们：")};

QTextBrowser *browser(UserHelperForm *form)
{
    return form->findChild<QTextBrowser *>(QStringLiteral("textBrowser"));
}

} // namespace

class TestUserHelperForm : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void guideShowsTitleThenSections();
    void guideIsUtf8Xhtml();
    void guideDoesNotDependOnLocaleCodec();
    void missingGuideShowsBoxOnceAndEmptyPage();
    void staysEmbeddedInParent();
};

void TestUserHelperForm::initTestCase()
{
    Dialogs::setNonInteractive(true);
}

void TestUserHelperForm::init()
{
    Dialogs::clearRecords();
}

void TestUserHelperForm::guideShowsTitleThenSections()
{
    UserHelperForm form(nullptr);
    QVERIFY(Dialogs::records().isEmpty());
    QTextBrowser *view = browser(&form);
    QVERIFY(view);
    QVERIFY(view->isReadOnly());

    // The first visible line is the title, centred and bold.
    QTextBlock block = view->document()->firstBlock();
    while (block.isValid() && block.text().trimmed().isEmpty())
        block = block.next();
    QVERIFY(block.isValid());
    QCOMPARE(block.text().trimmed(), kTitle);
    QVERIFY(block.blockFormat().alignment() & Qt::AlignHCenter);
    const QTextCharFormat titleFormat = block.begin().fragment().charFormat();
    QVERIFY(titleFormat.fontWeight() >= QFont::Bold);

    const QString text = view->toPlainText();
    int last = text.indexOf(kTitle);
    for (const QString &section : kSections) {
        const int at = text.indexOf(section);
        QVERIFY2(at > last, qPrintable(section));
        QCOMPARE(text.count(section), 1);
        last = at;
    }
    // Written for a user: where the photos are, what to do when a phone does not find the PC, where
    // a report goes; nothing a user cannot act on, no placeholder left.
    for (const QString &needed : {QStringLiteral("备份位置/万特相册"), QStringLiteral("手机找不到电脑时"),
                                  QStringLiteral("二维码"), QStringLiteral("dump")})
        QVERIFY2(text.contains(needed), qPrintable(needed));
    for (const char *unwanted : {"README", "journalctl", "QT_LOGGING_RULES", "build/bin", "example.com", "000-0000"})
        QVERIFY2(!text.contains(QLatin1String(unwanted)), unwanted);
}

void TestUserHelperForm::guideIsUtf8Xhtml()
{
    QFile file(UserHelperForm::defaultGuidePath());
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();

    QTextCodec::ConverterState state;
    QTextCodec::codecForName("UTF-8")->toUnicode(bytes.constData(), bytes.size(), &state);
    QCOMPARE(state.invalidChars, 0);

    QXmlStreamReader xml(bytes);
    QString doctype;
    QString charset;
    QString firstElement;
    while (!xml.atEnd()) {
        xml.readNext();
        if (xml.isDTD())
            doctype = xml.text().toString();
        if (xml.isStartElement()) {
            if (firstElement.isEmpty())
                firstElement = xml.name().toString();
            if (xml.name() == QLatin1String("meta"))
                charset = xml.attributes().value(QLatin1String("content")).toString();
        }
    }
    QVERIFY2(!xml.hasError(),
             qPrintable(xml.errorString() + QStringLiteral(" at line ") + QString::number(xml.lineNumber())));
    QVERIFY(doctype.contains(QLatin1String("-//W3C//DTD XHTML 1.0 Transitional//EN")));
    QCOMPARE(firstElement, QStringLiteral("html"));
    QVERIFY(charset.contains(QLatin1String("charset=utf-8"), Qt::CaseInsensitive));
}

// The guide is UTF-8 whatever the process's local 8-bit codec is.
void TestUserHelperForm::guideDoesNotDependOnLocaleCodec()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("guide.htm"));
    QVERIFY(TestSupport::writeFile(path, QStringLiteral("<html><body><p>照片和视频</p></body></html>").toUtf8()));

    QTextCodec *previous = QTextCodec::codecForLocale();
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("ISO-8859-1"));
    UserHelperForm form(nullptr, path);
    QTextCodec::setCodecForLocale(previous);
    QCOMPARE(browser(&form)->toPlainText().trimmed(), QStringLiteral("照片和视频"));
}

void TestUserHelperForm::missingGuideShowsBoxOnceAndEmptyPage()
{
    QTemporaryDir dir;
    UserHelperForm form(nullptr, dir.filePath(QStringLiteral("missing.htm")));

    const QList<Dialogs::Record> records = Dialogs::records();
    QCOMPARE(records.size(), 1);
    QCOMPARE(records.first().kind, QStringLiteral("message"));
    QCOMPARE(records.first().icon, Dialogs::Information);
    QCOMPARE(records.first().title, QStringLiteral("提示"));
    QCOMPARE(records.first().text, QStringLiteral("打不开用户协议文件"));
    QCOMPARE(records.first().buttons.size(), 1);
    QVERIFY(browser(&form)->toPlainText().isEmpty());
}

void TestUserHelperForm::staysEmbeddedInParent()
{
    QWidget window;
    auto *page = new UserHelperForm(&window);
    QVERIFY(!page->isWindow());
    QCOMPARE(page->parentWidget(), &window);
    QVERIFY(page->windowFlags() & Qt::FramelessWindowHint);
}

QTEST_MAIN(TestUserHelperForm)
#include "tst_userhelperform.moc"
