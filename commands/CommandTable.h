#pragma once
// Every command a user can send the card, one row each: its command-line name and help line, what
// it runs, and for the commands behind the window's buttons the texts of their boxes. The command
// line's subcommands are made from this table; a new mode sequence is a new row here.
#include <span>

#include "commands/Commands.h"

enum class ECardCommandKind { kProbe, kModeSequence, kSimStatus };

// What the card does once the command has run: a switch into download mode drops it off the bus
// and brings it back as another device (no AT port); a switch out of it brings it back as a card.
enum class ECardAfterRun { kStays, kReturnsAsOtherDevice, kReturnsAsCard };

struct CCardCommand {
    const char* pszName;                  // "close-autorun"
    const char* pszHelp;                  // one line for --help
    ECardCommandKind eKind;
    const char* pszQuery;                 // kProbe, kSimStatus: the one command sent; else nullptr
    const CModeSequence* pSequence;       // kModeSequence: the steps; else nullptr
    const char* pszSuccessText;           // the window's box texts for a button; else nullptr
    const char* pszFailText;
    ECardAfterRun eAfterRun;
};

std::span<const CCardCommand> CardCommands();
// The row of that name, or nullptr.
const CCardCommand* FindCardCommand(const char* pszName);
