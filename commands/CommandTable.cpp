#include "commands/CommandTable.h"

#include <cstring>

namespace {

const CCardCommand kCardCommands[] = {
    {"probe", "send \"AT\" to the card; success when it answers OK", ECardCommandKind::kProbe, kProbeCommand, nullptr, nullptr, nullptr,
     ECardAfterRun::kStays},
    {"close-autorun", "close autorun and enter download mode", ECardCommandKind::kModeSequence, nullptr, &kCloseAutorunSequence,
     "Close autorun and enter download success!", "Close autorun and enter download fail!", ECardAfterRun::kReturnsAsOtherDevice},
    {"open-autorun", "open autorun and exit download mode", ECardCommandKind::kModeSequence, nullptr, &kOpenAutorunSequence,
     "Open autorun and exit download success!", "Open autorun and exit download fail!", ECardAfterRun::kReturnsAsCard},
    {"sim-status", "ask the card for its SIM status", ECardCommandKind::kSimStatus, kSimStatusCommand, nullptr, nullptr, nullptr,
     ECardAfterRun::kStays},
};

} // namespace

std::span<const CCardCommand> CardCommands()
{
    return kCardCommands;
}

const CCardCommand* FindCardCommand(const char* pszName)
{
    for (const CCardCommand& command : kCardCommands) {
        if (std::strcmp(command.pszName, pszName) == 0)
            return &command;
    }
    return nullptr;
}
