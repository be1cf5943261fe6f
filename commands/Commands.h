#pragma once
// The pure parts of the command handlers: what a card's answers mean and which texts are shown.
// The handlers themselves are operations of CMainDlg (app/MainDlg.h).
#include <string>
#include <vector>

class CAtChannel;

// One exchange on the channel; "error", as for a card that stays silent, when there is no channel.
std::string ExchangeOrError(CAtChannel* pChannel, const std::string& strCommand);

// ---- device mode commands -------------------------------------------------------------------------

// True when the answer to "AT+CGMM" names one of the models that also need "AT+YCDRUN=N"
// (case-sensitive, anywhere in the answer).
bool NamesSwitchableModel(const std::string& strModelAnswer);

// Whether a mode switch run is reported as done. strFirst is the final answer of the run's first
// command; laterAnswers the final answers of every command sent after it. The first command must be
// answered by the card (neither empty nor "error"); no command may end rejected ("ERROR"). The later
// commands may go unanswered: the card may already be switching modes.
bool ModeRunSucceeded(const std::string& strFirst, const std::vector<std::string>& laterAnswers);

// ---- hidden service commands ----------------------------------------------------------------------

// The SIM query's answer as it is compared: upper case (ASCII), every space removed.
std::string NormaliseSimAnswer(const std::string& strAnswer);
// The message shown for a raw answer to "AT+ysec?".
std::string SimStatusMessage(const std::string& strAnswer);

struct CReversePortTexts {
    const char* pszNoCard;
    const char* pszPortError;
    const char* pszFail;
};
// English texts when bEnglish is non-zero, else the Chinese ones as code page 936 bytes.
CReversePortTexts ReversePortTexts(int bEnglish);
