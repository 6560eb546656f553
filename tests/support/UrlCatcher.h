#pragma once

// Stands in for the system's file manager and viewers: while it lives, every file URL a page asks
// the desktop to open lands in urls.

#include <QDesktopServices>
#include <QList>
#include <QObject>
#include <QUrl>

namespace TestSupport {

class UrlCatcher : public QObject
{
    Q_OBJECT
public:
    UrlCatcher() { QDesktopServices::setUrlHandler(QStringLiteral("file"), this, "open"); }
    ~UrlCatcher() override { QDesktopServices::unsetUrlHandler(QStringLiteral("file")); }
    QList<QUrl> urls;
public slots:
    void open(const QUrl &url) { urls << url; }
};

} // namespace TestSupport
