#include "SimSerial.h"

#include <algorithm>
#include <cstring>
#include <utility>

CSimCard::CSimCard(int nPort, IClock& clock, CardOptions options)
    : m_nPort(nPort), m_clock(clock), m_model(std::move(options)), m_nLastTick(clock.GetTickCount())
{
}

CCardModel& CSimCard::Model()
{
    return m_model;
}

bool CSimCard::IsOpen() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_bOpen;
}

bool CSimCard::IsPlugged() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_bPlugged;
}

int CSimCard::OpenCount() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return static_cast<int>(m_opens.size());
}

std::vector<SimOpenRecord> CSimCard::Opens() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_opens;
}

int CSimCard::PurgeCount() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_nPurges;
}

std::string CSimCard::ReceivedBytes() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_strReceived;
}

void CSimCard::SetFailOpen(bool bFail)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bFailOpen = bFail;
}

void CSimCard::PullDuringNextWrite()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bPullDuringWrite = true;
}

void CSimCard::SetOptions(const CardOptions& options)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_model.SetOptions(options);
}

void CSimCard::Script(const std::string& strCommand, CardReply reply, int nTimes)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_model.Script(strCommand, std::move(reply), nTimes);
}

std::vector<CardTranscriptLine> CSimCard::Transcript() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_model.Transcript();
}

int CSimCard::CountOf(const std::string& strCommand) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_model.CountOf(strCommand);
}

bool CSimCard::AutorunEnabled() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_model.AutorunEnabled();
}

bool CSimCard::DownloadMode() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_model.DownloadMode();
}

bool CSimCard::Attach(const SimOpenRecord& open)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_bPlugged || m_bFailOpen || m_bOpen)
        return false;
    const uint64_t nNow = NowLocked();
    DeliverLocked(nNow);   // what came while closed is lost
    m_bOpen = true;
    m_opens.push_back(open);
    DeliverLocked(nNow);   // a babbling card starts its period at the open
    PurgeLocked();
    return true;
}

void CSimCard::Detach()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_bOpen)
        return;
    PurgeLocked();
    m_bOpen = false;
}

int CSimCard::Transmit(const void* pData, int nLength)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_bPlugged || !m_bOpen)
        return 0;
    const uint64_t nNow = NowLocked();
    DeliverLocked(nNow);
    PurgeLocked();
    const std::string strBytes = nLength > 0 ? std::string(static_cast<const char*>(pData), static_cast<size_t>(nLength))
                                             : std::string();
    if (m_bPullDuringWrite) {
        // Half the bytes left the host before the device vanished; the card never acts on them.
        m_strReceived += strBytes.substr(0, strBytes.size() / 2);
        m_bPullDuringWrite = false;
        m_bPlugged = false;
        m_pending.clear();
        m_strInput.clear();
        return 0;
    }
    m_strReceived += strBytes;
    uint64_t nAt = std::max(nNow, m_nOutputFreeAt);
    for (CardChunk& chunk : m_model.Receive(strBytes, nNow)) {
        nAt += chunk.nDelayMs;
        m_pending.emplace(nAt, std::move(chunk.strBytes));
    }
    m_nOutputFreeAt = std::max(m_nOutputFreeAt, nAt);
    return nLength;
}

int CSimCard::QueuedCount()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_bPlugged || !m_bOpen)
        return 0;
    DeliverLocked(NowLocked());
    return static_cast<int>(m_strInput.size());
}

int CSimCard::Take(void* pBuffer, int nMax)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_bPlugged || !m_bOpen)
        return 0;
    DeliverLocked(NowLocked());
    const size_t nCount = std::min(m_strInput.size(), static_cast<size_t>(nMax));
    std::memcpy(pBuffer, m_strInput.data(), nCount);
    m_strInput.erase(0, nCount);
    return static_cast<int>(nCount);
}

void CSimCard::MarkUnplugged()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bPlugged = false;
    m_pending.clear();
    m_strInput.clear();
}

uint64_t CSimCard::NowLocked()
{
    const uint32_t nTick = m_clock.GetTickCount();
    m_nNow += static_cast<uint32_t>(nTick - m_nLastTick);
    m_nLastTick = nTick;
    return m_nNow;
}

void CSimCard::DeliverLocked(uint64_t nNow)
{
    if (m_bOpen) {
        for (CardChunk& chunk : m_model.Idle(nNow))
            m_pending.emplace(nNow, std::move(chunk.strBytes));
    }
    const auto itDue = m_pending.upper_bound(nNow);
    for (auto it = m_pending.begin(); it != itDue; ++it) {
        // Bytes for a closed port fall on the floor; a full input queue drops what overflows.
        if (m_bOpen)
            m_strInput.append(it->second, 0, kInputQueueSize - std::min(kInputQueueSize, m_strInput.size()));
    }
    m_pending.erase(m_pending.begin(), itDue);
}

void CSimCard::PurgeLocked()
{
    m_strInput.clear();
    ++m_nPurges;
}

namespace sim {
namespace {

std::mutex& RegistryMutex()
{
    static std::mutex mutex;
    return mutex;
}

std::map<int, std::shared_ptr<CSimCard>>& Cards()
{
    static std::map<int, std::shared_ptr<CSimCard>> cards;
    return cards;
}

} // namespace

std::shared_ptr<CSimCard> Plug(int nPort, IClock& clock, CardOptions options)
{
    auto pCard = std::make_shared<CSimCard>(nPort, clock, std::move(options));
    std::shared_ptr<CSimCard> pOld;
    {
        std::lock_guard<std::mutex> lock(RegistryMutex());
        pOld = std::exchange(Cards()[nPort], pCard);
    }
    if (pOld)
        pOld->MarkUnplugged();
    return pCard;
}

void Unplug(int nPort)
{
    std::shared_ptr<CSimCard> pOld;
    {
        std::lock_guard<std::mutex> lock(RegistryMutex());
        auto it = Cards().find(nPort);
        if (it == Cards().end())
            return;
        pOld = std::move(it->second);
        Cards().erase(it);
    }
    pOld->MarkUnplugged();
}

void UnplugAll()
{
    std::map<int, std::shared_ptr<CSimCard>> old;
    {
        std::lock_guard<std::mutex> lock(RegistryMutex());
        old.swap(Cards());
    }
    for (auto& entry : old)
        entry.second->MarkUnplugged();
}

std::shared_ptr<CSimCard> Find(int nPort)
{
    std::lock_guard<std::mutex> lock(RegistryMutex());
    auto it = Cards().find(nPort);
    return it == Cards().end() ? nullptr : it->second;
}

} // namespace sim
