#pragma once
// Whether anybody else opened a card's ports while a run had them, learnt without a look at every
// process: the system reports each open of a watched device node (Linux: inotify's IN_OPEN), and the
// run's own opens are counted out. Only a run whose watch saw another open, or cannot tell, needs
// the look after the run (cli/PortHolders.h) that names who has the port now.
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

// One report of the system about a watched node.
struct CDeviceOpenReport {
    int nWatch = -1;        // -1: reports were lost (the queue overflowed), for every watch
    bool bOpened = false;   // the node was opened; false: the watch ended (the node was removed)
};

// The system's side: one per program, used under CDeviceOpenCounts's lock.
class IDeviceOpenSource {
public:
    virtual ~IDeviceOpenSource() = default;
    virtual int Watch(const std::string& strDevice) = 0;   // the watch's number; -1 when it cannot be watched
    virtual void EndWatch(int nWatch) = 0;
    virtual std::vector<CDeviceOpenReport> Read() = 0;     // what came since the last call; never waits
};

// The opens reported per watch, for all the runs of the program: two runs on one node share its watch.
class CDeviceOpenCounts {
public:
    explicit CDeviceOpenCounts(std::unique_ptr<IDeviceOpenSource> source) : m_source(std::move(source)) {}
    int Watch(const std::string& strDevice);
    void EndWatch(int nWatch);
    // The opens of the watch's node reported until now; nothing once one may have gone unreported.
    std::optional<unsigned long> OpensNow(int nWatch);

private:
    struct CCount {
        unsigned nUsers = 0;
        unsigned long nOpens = 0;
        bool bWhole = true;   // no report of it was lost, and its node is the one watched
    };
    std::mutex m_mutex;
    std::unique_ptr<IDeviceOpenSource> m_source;
    std::map<int, CCount> m_counts;
};

// One run's watch on its card's ports. It starts before the look that clears the run, so an open
// after that look's start is reported, and one before it is a holder the look finds.
class CRunOpenWatch {
public:
    CRunOpenWatch(CDeviceOpenCounts& counts, const std::vector<std::string>& devices);
    ~CRunOpenWatch();
    CRunOpenWatch(const CRunOpenWatch&) = delete;
    CRunOpenWatch& operator=(const CRunOpenWatch&) = delete;

    // The run's own open of one of its ports (open() true when it opened it): exactly one report
    // is expected meanwhile. None means the watch does not see the node opened; more, another did.
    bool OwnOpen(const std::string& strDevice, const std::function<bool()>& open);
    // True when every open of the ports reported since the watch began was the run's own.
    bool OnlyOwnOpens();

private:
    struct CPortWatch {
        std::string strDevice;
        int nWatch = -1;
        unsigned long nBefore = 0;   // the opens reported before the run's watch began
        bool bFirst = true;          // the first of the run's names for its node: only it is counted
    };
    CDeviceOpenCounts& m_counts;
    std::vector<CPortWatch> m_ports;
    unsigned long m_nOwnOpens = 0;
    bool m_bTells = true;   // every port watched and every own open seen as one report
};
