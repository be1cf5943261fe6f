#include "HookBus.h"

#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdio>

extern char** environ;

CHookBus::CHookBus(int nCards, std::string strHook, int nFirstCom)
    : m_strHook(std::move(strHook)), m_nFirstCom(nFirstCom), m_places(static_cast<size_t>(nCards))
{
    m_worker = std::thread([this] { Work(); });
}

CHookBus::~CHookBus()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bStop = true;
    }
    m_changed.notify_all();
    m_worker.join();
}

std::string CHookBus::SlotName(int nSlot) const
{
    char sz[64];
    std::snprintf(sz, sizeof sz, "0000.0014.0000.001.%03d.000.000.000.000", nSlot + 1);
    return sz;
}

std::string CHookBus::Ports(int nCard, EBenchShape eShape) const
{
    const std::string strDiag = "COM" + std::to_string(m_nFirstCom + 2 * nCard + 1);
    if (eShape == EBenchShape::kDownload)
        return strDiag;
    return "COM" + std::to_string(m_nFirstCom + 2 * nCard) + "," + strDiag;
}

bool CHookBus::Plug(int nCard, int nSlot, EBenchShape eShape, Done done)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_places.at(static_cast<size_t>(nCard)) = CPlace{nSlot, eShape};
        m_pending.push_back(std::move(done));
    }
    m_changed.notify_all();
    return true;
}

bool CHookBus::Unplug(int nCard, Done done)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_places.at(static_cast<size_t>(nCard)).reset();
        m_pending.push_back(std::move(done));
    }
    m_changed.notify_all();
    return true;
}

void CHookBus::Flush()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait(lock, [this] { return m_pending.empty() && !m_bRunning; });
}

bool CHookBus::HookOk() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_bHookOk;
}

void CHookBus::Work()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_changed.wait(lock, [this] { return m_bStop || !m_pending.empty(); });
        if (m_pending.empty())
            return;   // stopping, and nothing left to show
        std::vector<Done> batch;
        batch.swap(m_pending);
        const std::vector<std::optional<CPlace>> places = m_places;
        m_bRunning = true;
        lock.unlock();
        const bool bOk = RunHook(places);
        for (Done& done : batch)
            if (done)
                done();
        lock.lock();
        m_bHookOk = m_bHookOk && bOk;
        m_bRunning = false;
        m_changed.notify_all();
    }
}

bool CHookBus::RunHook(const std::vector<std::optional<CPlace>>& places) const
{
    std::vector<std::string> args = {m_strHook, "--apply"};
    for (size_t n = 0; n < places.size(); ++n) {
        const int nCard = static_cast<int>(n);
        const char* pszShape = !places[n] ? "none" : places[n]->eShape == EBenchShape::kCard ? "card" : "download";
        args.push_back(std::to_string(n) + ":" + std::to_string(places[n] ? places[n]->nSlot : nCard) + ":" + pszShape +
                       ":" + std::to_string(m_nFirstCom + 2 * nCard) + ":" + std::to_string(m_nFirstCom + 2 * nCard + 1));
    }
    std::vector<char*> argv;
    for (std::string& s : args)
        argv.push_back(s.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, m_strHook.c_str(), nullptr, nullptr, argv.data(), environ) != 0)
        return false;
    int nStatus = 0;
    while (waitpid(pid, &nStatus, 0) < 0)
        if (errno != EINTR)
            return false;
    return WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0;
}
