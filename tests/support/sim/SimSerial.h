#pragma once
// The tests' simulated serial back end: CSerialPort::Open(n, ...) reaches the card plugged at Port
// number n. Time is the given clock's (a virtual clock in unit tests), so a reply's bytes become
// queued exactly when the model's delays say. Opens are exclusive, as on the real device.
#include <memory>
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

    CCardModel& Model();                 // lock-free: use from the test thread while no port uses it
    int Port() const { return m_nPort; }
    IClock& Clock() const { return m_clock; }
    bool IsOpen() const;
    int OpenCount() const;               // successful opens so far
    std::vector<SimOpenRecord> Opens() const;
    int PurgeCount() const;              // purges (each Write purges first)
    std::string ReceivedBytes() const;   // every byte written to the card, in order
    void SetFailOpen(bool bFail);        // Open fails (device present but unusable)

    // ... implementation's own members
private:
    int m_nPort;
    IClock& m_clock;
    CCardModel m_model;
};

namespace sim {
// Plugs a card at Port number nPort (replacing one already there) and returns it.
std::shared_ptr<CSimCard> Plug(int nPort, IClock& clock, CardOptions options = {});
// Removes the card: ports open on it see a vanished device (transfers return 0).
void Unplug(int nPort);
void UnplugAll();
} // namespace sim
