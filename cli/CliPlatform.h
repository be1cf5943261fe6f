#pragma once
// What vostrel-cli asks of its platform; one implementation file per platform (cli/win32, cli/posix).
#include <optional>
#include <string>
#include <vector>

#include "discovery/CardInventory.h"
#include "serial/SerialPort.h"

// "windows" or "linux".
const char* CliPlatformName();

// Every card on this machine: the drivers' registry entries, or udev.
std::vector<CInventoryCard> ListPlatformCards();

// The port the window would pick when none is named, without opening any port (the registry's
// search); nothing where the platform picks by probing the listed cards instead.
std::optional<std::string> WindowChoiceOfPort();

// Whether a port of this role may be sent "AT" to find or check the card's AT port: on Windows the
// modem and AT ports (never the diagnostic port); on Linux every listed port.
bool MayProbeRole(EPortRole eRole);

// True while the window (Vostrel.exe) runs on this machine: it polls the card, and two programs on
// one port corrupt each other's exchanges.
bool WindowIsRunning();

// The cause of a failed system call in words, with what the user can do about it where that is
// clear: "access denied: another program holds the port".
std::string DescribeSystemError(const CSerialError& error);
