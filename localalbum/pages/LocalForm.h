#pragma once

#include "localalbum/LocalOrganiser.h"

#include <QString>
#include <QWidget>

#include <memory>

// The local album page. The searches, the organise workers and the state they share
// (m_foundFiles, m_order, m_stopSearch, the locks, the database) live in LocalOrganiser, which
// can be driven without a window; the page owns one and relays its signals under the page's
// own signal names. Destroying the page stops every search and worker and waits for them
// before any member goes away.
class LocalForm : public QWidget
{
    Q_OBJECT
public:
    LocalForm(QWidget *parent, QString savepath);
    ~LocalForm() override;

    LocalOrganiser *organiser() const { return m_organiser.get(); }

signals:
    void setFileName(int order, QString filename);
    void sendSearchFinish();
    void setCurrentStatus(QString status, bool bShowLoading);
    void setCurrentPercent(int percent);
    void signalDbFileName(int order, QString filename);

protected:
    std::unique_ptr<LocalOrganiser> m_organiser;
    // Page state (the worker state is in m_organiser).
    bool m_searching = false;
    int m_pageItems = 0;
    bool m_pageJump = false;
    int m_lastListPercent = 0;
};
