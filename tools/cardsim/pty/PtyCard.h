#pragma once
// The simulated card on a pseudo-terminal: the program under test opens the slave side as its
// serial device; a service thread reads command lines on the master side and writes the model's
// replies with their real-time delays. Thread-safe.
//
// The card holds one descriptor of its own on the slave side for as long as the pty exists: without
// it, every close of the slave by the program under test would hang the pty up (the master then
// polls as hung up and reads EIO) until the next open. That descriptor takes no lock and does not
// set TIOCEXCL, so the program's exclusive open of the slave still works, and only the program
// reads from it.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tools/cardsim/model/CardModel.h"

class CPtyCard {
public:
    explicit CPtyCard(CardOptions options = {});
    ~CPtyCard();   // stops the thread, closes the master side, removes the link it made
    CPtyCard(const CPtyCard&) = delete;
    CPtyCard& operator=(const CPtyCard&) = delete;

    bool Start();                                       // opens the pty (raw) and starts serving
    std::string SlavePath() const;                      // e.g. /dev/pts/3
    bool LinkTo(const std::string& strLinkPath);        // symlink to the slave path (replaces one)
    // Closes the master side: the device is gone, and so is the link (the pts number may be reused).
    void Unplug();
    // Reopens a new pty after Unplug (a new slave path; the link, if any, is re-pointed).
    bool Replug();

    void SetOptions(const CardOptions& options);
    void Script(const std::string& strCommand, CardReply reply, int nTimes = -1);
    void SetReplay(std::vector<CardReplayStep> steps, bool bSimulateTheRest = false);
    void StopReplay();
    std::vector<CardTranscriptLine> Transcript() const; // times in ms since Start
    int CountOf(const std::string& strCommand) const;
    bool AutorunEnabled() const;
    bool DownloadMode() const;
    // Polls until the transcript holds at least nLines lines or nTimeoutMs pass; true when it does.
    bool WaitForLines(size_t nLines, uint32_t nTimeoutMs) const;
    // Raw bytes the card received, in order (for checking the exact bytes on the wire).
    std::string ReceivedBytes() const;

    // Called on the service thread for each command line, after the card carried it out and before
    // its reply goes out, with the card's state after it. It must not call back into the card.
    using CommandObserver = std::function<void(const CardTranscriptLine& line, bool bAutorun, bool bDownload)>;
    void SetCommandObserver(CommandObserver observer);

private:
    struct State;
    std::unique_ptr<State> m_pState;
};
