#pragma once
// The tests' simulated serial back end: CSerialPort::Open(n, ...) reaches the card plugged at Port
// number n. Time is the given clock's (a virtual clock in unit tests), so a reply's bytes become
// queued exactly when the model's delays say. Opens are exclusive, as on the real device.
//
// The card sends one chunk after the other, as a serial line does; bytes that arrive while no port
// is open on the card are lost, and the input queue holds at most 4096 bytes (the size the real
// port asks the driver for); what overflows it is dropped.
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "tools/cardsim/model/CardModel.h"

struct SimOpenRecord {
    int nPort, nBaud, nDataBits, nStopBits;
};

class CSimCard {
public:
    CSimCard(int nPort, IClock& clock, CardOptions options);
    CSimCard(const CSimCard&) = delete;
    CSimCard& operator=(const CSimCard&) = delete;

    CCardModel& Model();                 // lock-free: use from the test thread while no port uses it
    int Port() const { return m_nPort; }
    IClock& Clock() const { return m_clock; }
    bool IsOpen() const;
    bool IsPlugged() const;
    int OpenCount() const;               // successful opens so far
    std::vector<SimOpenRecord> Opens() const;
    int PurgeCount() const;              // purges: one by each successful Open, each Write, each Close
    std::string ReceivedBytes() const;   // every byte written to the card, in order
    void SetFailOpen(bool bFail);        // Open fails (device present but unusable)
    // The card is pulled out in the middle of the next write: the first half of its bytes go out on
    // the line, the write returns 0, and from then on the card behaves as unplugged.
    void PullDuringNextWrite();

    // The model, locked: safe while another thread uses a port on the card.
    void SetOptions(const CardOptions& options);
    void Script(const std::string& strCommand, CardReply reply, int nTimes = -1);
    std::vector<CardTranscriptLine> Transcript() const;   // times in ms since the card was plugged
    int CountOf(const std::string& strCommand) const;
    bool AutorunEnabled() const;
    bool DownloadMode() const;

    // The serial back end's side of the card (tests/support/sim/SerialPort.cpp).
    bool Attach(const SimOpenRecord& open);   // false when unplugged, failing or already open
    void Detach();
    int Transmit(const void* pData, int nLength);   // purge, then feed the model; 0 when unplugged
    int QueuedCount();                        // bytes arrived by the clock's now
    int Take(void* pBuffer, int nMax);        // at most min(queued, nMax) bytes
    void MarkUnplugged();

private:
    static constexpr size_t kInputQueueSize = 4096;

    uint64_t NowLocked();                     // ms since plugged, across the tick counter's wrap
    void DeliverLocked(uint64_t nNow);        // move the chunks due by nNow into the input queue
    void PurgeLocked();

    const int m_nPort;
    IClock& m_clock;
    CCardModel m_model;

    mutable std::mutex m_mutex;
    uint32_t m_nLastTick;
    uint64_t m_nNow = 0;
    uint64_t m_nOutputFreeAt = 0;             // when the card's last scheduled chunk goes out
    std::multimap<uint64_t, std::string> m_pending;   // chunks by arrival time
    std::string m_strInput;                   // arrived, not yet read
    std::string m_strReceived;
    std::vector<SimOpenRecord> m_opens;
    int m_nPurges = 0;
    bool m_bOpen = false;
    bool m_bPlugged = true;
    bool m_bFailOpen = false;
    bool m_bPullDuringWrite = false;
};

// The handle of an open simulated port. It keeps its card alive after an unplug, so that a port
// left open on a vanished card fails its transfers instead of touching freed memory.
// The simulated back end's device record of CSerialPort.
struct CSerialDevice {
    explicit CSerialDevice(std::shared_ptr<CSimCard> pCard) : m_pCard(std::move(pCard)) {}
    CSimCard& Card() const { return *m_pCard; }

private:
    std::shared_ptr<CSimCard> m_pCard;
};

namespace sim {
// Plugs a card at Port number nPort (replacing one already there) and returns it.
std::shared_ptr<CSimCard> Plug(int nPort, IClock& clock, CardOptions options = {});
// Removes the card: ports open on it see a vanished device (transfers return 0).
void Unplug(int nPort);
void UnplugAll();
// The card plugged at nPort, or null.
std::shared_ptr<CSimCard> Find(int nPort);
} // namespace sim
