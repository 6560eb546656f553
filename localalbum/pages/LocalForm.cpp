#include "localalbum/pages/LocalForm.h"

#include "platform/SearchEngine.h"

LocalForm::LocalForm(QWidget *parent, QString savepath)
    : QWidget(parent)
    , m_organiser(std::make_unique<LocalOrganiser>(savepath))
{
    LocalOrganiser *o = m_organiser.get();
    // Emitted from pool threads; queued to the page.
    connect(o, &LocalOrganiser::setFileName, this, &LocalForm::setFileName);
    connect(o, &LocalOrganiser::sendSearchFinish, this, &LocalForm::sendSearchFinish);
    connect(o, &LocalOrganiser::setCurrentStatus, this, &LocalForm::setCurrentStatus);
    connect(o, &LocalOrganiser::setCurrentPercent, this, &LocalForm::setCurrentPercent);
    o->readMediaSettings();
    o->startBackQuery();
}

LocalForm::~LocalForm()
{
    // Stops and waits for every search, worker and the start-up query, then closes the database.
    m_organiser.reset();
    // The page's end is the engine's end, as the program's start was its start.
    SearchEngine::stop();
}
