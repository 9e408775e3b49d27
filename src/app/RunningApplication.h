#pragma once

#include <memory>

namespace creditgauge {

class StatusItem;

// The tray application once its item is on screen, as the start that made the item sees it:
// the controller, the refresh cycle, the panel and everything they need. On Linux it lives in
// a module of its own, loaded only after the item has gone to the host, so that the network,
// database and secret-store libraries do not hold up the item.
class RunningApplication
{
public:
    virtual ~RunningApplication() = default;
    // A second start of the program: the panel, opened and refreshed.
    virtual void showDetails() = 0;
    // A text bar's click (SIGUSR1): a refresh as the user asks for it.
    virtual void refresh() = 0;
};

// Takes over the item and starts: the menu, the first title, the first query.
std::unique_ptr<RunningApplication> startApplication(std::unique_ptr<StatusItem> item);

} // namespace creditgauge
