#pragma once
// One card's row on the bench: who the card is, what was sent to it, and how far its switch got.
// The runs write rows through the board; the live table and the report read copies of them.
#include <array>
#include <cstdint>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "cli/PortHolders.h"
#include "commands/Commands.h"

// Where a card's run stands. A run without --wait goes waiting -> running -> done; with --wait a
// switch goes on through sent -> left -> back -> settled (or stalls in one of them).
enum class ESwitchPhase { kWaiting, kRunning, kSent, kLeft, kBack, kSettled, kDone };
// "waiting", "running", "sent", "left", "back", "settled", "done"
const char* SwitchPhaseName(ESwitchPhase ePhase);

// The phases whose times are kept, in this order in CBenchRow::phaseSeconds.
inline constexpr std::array<ESwitchPhase, 4> kTimedPhases = {ESwitchPhase::kSent, ESwitchPhase::kLeft,
                                                             ESwitchPhase::kBack, ESwitchPhase::kSettled};

// One card's run, the one record of it: where the card is, who it is, what was sent to it, how
// far its switch got with the time of each phase, and the verdict. The result line, the JSON, the
// report's row, the live table's row and the history record are all views of it. The runs write
// rows through the board; the views read copies of them.
struct CBenchRow {
    // Where.
    std::string strCard;                  // the card's id, empty for a port named with --port
    std::string strPort;                  // the device used, as opened and printable; empty when none was chosen
    std::string strLabel;                 // the bench label of its slot (--slots), empty when none
    std::string strSlot;                  // "1-4.2"; empty when unknown
    std::vector<std::string> ports;       // the card's port devices as listed at the start
    // Who: the card's answers to AT+CGMM and AT+CGSN (else the listing's), empty when unknown.
    std::string strModel;
    std::string strImei;
    std::string strModelUnknown;          // why each is unknown, when asked
    std::string strImeiUnknown;
    std::vector<CExchange> identityExchanges;   // those two questions, asked before the command; empty when not asked
    // What was sent.
    std::string strCommand;               // the subcommand run on it
    std::vector<CExchange> exchanges;
    // How far it got, and when.
    ESwitchPhase ePhase = ESwitchPhase::kWaiting;
    bool bFollowed = false;               // --wait followed its switch (its command succeeded)
    std::array<std::optional<double>, kTimedPhases.size()> phaseSeconds;   // from its run's start
    std::string strSwitchMessage;         // what following it saw, once followed
    double dSeconds = 0;                  // time spent on the card: its run's start to its end, once finished
    std::optional<uint32_t> nStartTick;   // the clock's tick when its run started; none while waiting
    std::optional<std::chrono::system_clock::time_point> started, ended;   // the same on the wall clock
    // The verdict.
    bool bFinished = false;
    int nStatus = 0;                      // ECliStatus once finished
    std::string strMessage;               // the result in words once finished; else what it is doing
    std::string strTranscript;            // the --log file, empty when none
    // Other programs with the card's ports open: before the run (refused) or after it (shared port).
    std::vector<CPortHolder> holders;
    bool bModemManagerInhibited = false;  // ModemManager let go of the card for the run
};

// The rows as they stand at nNowTick: a row that runs shows the seconds since its start, so that a
// live table counts up while a card is worked on instead of showing 0.0 until it finishes.
std::vector<CBenchRow> RowsSoFar(std::vector<CBenchRow> rows, uint32_t nNowTick);

// The rows of one run, shared between the card threads that write them and the view that reads them.
class CBenchBoard {
public:
    explicit CBenchBoard(std::vector<CBenchRow> rows) : m_rows(std::move(rows)) {}

    template <typename Change>
    void Update(size_t nRow, Change change)
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            change(m_rows.at(nRow));
            ++m_nVersion;
        }
        m_changed.notify_all();
    }

    std::vector<CBenchRow> Snapshot() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_rows;
    }

    // Waits until a row changed since version nSeen or nMs passed; the version now.
    unsigned long WaitForChange(unsigned long nSeen, unsigned nMs)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait_for(lock, std::chrono::milliseconds(nMs), [&] { return m_nVersion != nSeen; });
        return m_nVersion;
    }

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<CBenchRow> m_rows;
    unsigned long m_nVersion = 0;
};
