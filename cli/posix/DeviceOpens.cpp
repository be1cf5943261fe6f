// Opens of the cards' port nodes as inotify reports them. IN_OPEN comes for every successful open of
// the node by any process, whoever's; the open that then fails on the exclusive lock counts too. A
// removed node ends its watch (IN_DELETE_SELF, IN_IGNORED): its successor is a node not watched.
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>

#include "cli/CliPlatform.h"
#include "cli/posix/DescriptorLook.h"

namespace {

class CInotifyOpens : public IDeviceOpenSource {
public:
    ~CInotifyOpens() override
    {
        if (m_fd >= 0)
            close(m_fd);
    }

    int Watch(const std::string& strDevice) override
    {
        if (m_fd < 0) {
            // A descriptor made beside libudev's: see DescriptorLook.h.
            std::lock_guard<std::mutex> lock(DescriptorLookMutex());
            m_fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        }
        const int nWatch = m_fd < 0 ? -1 : inotify_add_watch(m_fd, strDevice.c_str(), IN_OPEN | IN_DELETE_SELF);
        return nWatch < 0 ? -1 : nWatch;
    }

    void EndWatch(int nWatch) override { inotify_rm_watch(m_fd, nWatch); }

    std::vector<CDeviceOpenReport> Read() override
    {
        std::vector<CDeviceOpenReport> reports;
        alignas(inotify_event) char events[4096];
        ssize_t nRead = 0;
        while (m_fd >= 0 && ((nRead = read(m_fd, events, sizeof events)) > 0 || (nRead < 0 && errno == EINTR))) {
            for (ssize_t nAt = 0; nAt < nRead;) {
                const inotify_event* pEvent = reinterpret_cast<const inotify_event*>(events + nAt);
                nAt += static_cast<ssize_t>(sizeof(inotify_event) + pEvent->len);
                if (pEvent->mask & IN_Q_OVERFLOW)
                    reports.push_back({-1, false});
                else
                    reports.push_back({pEvent->wd, (pEvent->mask & IN_OPEN) != 0});
            }
        }
        return reports;
    }

private:
    int m_fd = -1;
};

} // namespace

std::unique_ptr<IDeviceOpenSource> NewDeviceOpenSource()
{
    return std::make_unique<CInotifyOpens>();
}
