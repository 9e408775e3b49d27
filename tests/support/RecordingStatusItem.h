#pragma once

#include "tray/StatusItem.h"

#include <QList>
#include <QMenu>
#include <QPointer>

// Stands in for the desktop's tray in controller tests: records what the controller shows and
// lets the test click. The real tray is driven in the end-to-end test.
class RecordingStatusItem : public creditgauge::StatusItem
{
    Q_OBJECT
public:
    struct Title
    {
        QString text;
        bool alarm = false;
        friend bool operator==(const Title &, const Title &) = default;
    };

    void setTitle(const QString &title, bool alarm) override { titles.append({title, alarm}); }
    void setDetails(const QStringList &lines) override { details = lines; }
    void setMenu(QMenu *m) override { menu = m; }
    // What a tray does when it opens the menu: the controller fills it now.
    void popUpMenu() override
    {
        if (menu)
            Q_EMIT menu->aboutToShow();
    }
    QRect anchor() const override { return {900, 0, 24, 24}; }

    void click() { Q_EMIT clicked(); }
    Title lastTitle() const { return titles.isEmpty() ? Title {} : titles.last(); }

    QList<Title> titles;
    QStringList details;
    QPointer<QMenu> menu;
};
