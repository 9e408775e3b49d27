#include "RunningApplication.h"

#include "app/AppDelegate.h"
#include "tray/StatusItem.h"

namespace creditgauge {
namespace {

class Running final : public RunningApplication
{
public:
    explicit Running(std::unique_ptr<StatusItem> item)
        : m_delegate(std::move(item))
    {
        m_delegate.applicationDidFinishLaunching();
    }
    void showDetails() override { m_delegate.showDetails(); }
    void refresh() override { m_delegate.cycle().refresh(RefreshCycle::Trigger::User); }

private:
    AppDelegate m_delegate;
};

} // namespace

std::unique_ptr<RunningApplication> startApplication(std::unique_ptr<StatusItem> item)
{
    return std::make_unique<Running>(std::move(item));
}

} // namespace creditgauge
