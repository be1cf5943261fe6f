#pragma once
// A vostrel-cli --log transcript as the card's part of it: what the card sent after each command,
// so that the simulated card can play a real card back (cardsim --replay FILE).
//
// The transcript's lines are "<ms> <port> > <bytes>" (the host wrote them), "<ms> <port> < <bytes>"
// (the host read them) and "# <note>"; bytes are written with \r, \n, \\ and \xNN. Each written line
// is one command; the bytes read after it, up to the next command on that port, are the card's
// answer, each read at its delay after the one before.
#include <optional>
#include <string>
#include <vector>

#include "tools/cardsim/model/CardModel.h"

struct CardReplayParse {
    std::vector<CardReplayStep> steps;
    std::string strPort;        // the port whose exchanges they are
    std::string strError;       // why the text cannot be replayed; empty when it can
};

// The steps of strPort's exchanges (empty: the first port the transcript names).
CardReplayParse ParseCardTranscript(const std::string& strText, const std::string& strPort = "");

// The bytes of a transcript's escaped text, or nothing when an escape is malformed.
std::optional<std::string> UnescapeTranscriptBytes(const std::string& strText);
