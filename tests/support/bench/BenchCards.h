#pragma once
// The bench's simulated cards: one cardsim process per card, steered through its control FIFO,
// heard through its transcript (a line per command it received).
#include <sys/types.h>

#include <string>
#include <vector>

struct CBenchCardSetup {
    std::string strLink;   // where cardsim links the card's device (re-made at each replug)
    std::string strImei;   // empty: cardsim's own
};

class CBenchCards {
public:
    CBenchCards(std::string strCardsim, std::string strDir) : m_strCardsim(std::move(strCardsim)), m_strDir(std::move(strDir)) {}
    ~CBenchCards() { Stop(); }
    CBenchCards(const CBenchCards&) = delete;
    CBenchCards& operator=(const CBenchCards&) = delete;

    // Starts a cardsim for each entry and waits until all of them listen; the error text, empty
    // when every card is up.
    std::string Start(const std::vector<CBenchCardSetup>& setups);
    void Stop();

    // Whether this cardsim takes --imei and the "imei" control command.
    bool KnowsImei() const { return m_bImei; }
    // The command lines card nCard received since the last call.
    std::vector<std::string> NewLines(int nCard);
    // Sends a control line; false when the FIFO cannot be written.
    bool Control(int nCard, const std::string& strLine);
    // Whether the card's link is there (after a replug: the card is served again).
    bool LinkReady(int nCard) const;
    const std::string& Transcript(int nCard) const { return m_cards.at(static_cast<size_t>(nCard)).strTranscript; }

private:
    struct CCard {
        pid_t pid = -1;
        std::string strLink, strTranscript, strControl, strOut;
        off_t nOffset = 0;
        std::string strPartial;
    };
    bool Spawn(CCard& card, const CBenchCardSetup& setup);

    std::string m_strCardsim;
    std::string m_strDir;
    bool m_bImei = false;
    std::vector<CCard> m_cards;
};
