#pragma once
// What vostrel-cli asks of its platform; one implementation file per platform (cli/win32, cli/posix).
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "cli/OpenWatch.h"
#include "cli/PortHolders.h"
#include "discovery/CardInventory.h"
#include "platform/File.h"
#include "serial/SerialPort.h"

// "windows" or "linux".
const char* CliPlatformName();

// Every card on this machine: the drivers' registry entries, or udev.
std::vector<CInventoryCard> ListPlatformCards();
// What is at the followed cards' slots now, a one-port device too (what a switched card may come
// back as): each slot looked at directly where the platform can (udev: the slot's USB device and its
// ttys), else the followed cards' own driver entries, and everything listed only once one of them has
// gone (Windows).
std::vector<CInventoryCard> LookAtPlatformSlots(const std::vector<CInventoryCard>& followed);

// The port the window would pick when none is named, without opening any port (the registry's
// search); nothing where the platform picks by probing the listed cards instead.
std::optional<std::string> WindowChoiceOfPort();

// Whether a port of this role may be sent "AT" to find or check the card's AT port: on Windows the
// modem and AT ports (never the diagnostic port); on Linux every listed port.
bool MayProbeRole(EPortRole eRole);

// True while the window (Vostrel.exe) runs on this machine: it polls the card, and two programs on
// one port corrupt each other's exchanges.
bool WindowIsRunning();

// Why a port may not be opened at all, before anything is sent: the program's own controlling
// terminal, or the system console (a serial console named as a port): a card command there would
// type into a shell or a login. Nothing where the platform has no such devices.
std::optional<std::string> RefusedPort(const std::string& strDevice);

// The cause of a port's failed system call in words, with what the user can do about it where that
// is clear: "access denied: another program holds the port". strDevice is the device it opened.
std::string DescribeSystemError(const CSerialError& error, const std::string& strDevice);

// The cause of a failed call on a file (errno) in words: the system's own text, lower case first,
// or what the file is when that explains it ("a pipe that nobody reads").
std::string DescribeFileError(const CSerialError& error, const std::string& strPath);

// An output file's problem in words: a refusal's reason, or the failing call and its cause
// ("open: permission denied").
std::string DescribeOutputProblem(const COutputProblem& problem, const std::string& strPath);

// Opens the transcript file for appending, as OpenOutputForAppend opens output (new files 0600);
// nullptr and what went wrong, in words.
FILE* OpenTranscriptFile(const std::string& strPath, std::string& strProblem);

// From now on every signal that would end the program (Ctrl-C, SIGTERM, SIGHUP, SIGPIPE, SIGUSR1...;
// on Windows Ctrl-C, Ctrl-Break and closing the console) is noted for the runs to stop, with the exit
// status 128 + its number; a second one from outside ends the program at once, its ports handed back.
void InstallInterruptHandlers();
// Windows: the console handler's work for one event (CTRL_C_EVENT...). A closing console, a logoff
// and a shutdown stop the run as Ctrl-C does, then wait (at most 4.5 s) for its end to be noted, as
// Windows ends the process once the handler returns.
bool HandleConsoleEvent(unsigned long nEvent);
// The help's section on them: "Signals (...):" and one line per signal with its exit status.
std::string InterruptHelp();

// Whether pStream is a terminal that moves its cursor on ANSI sequences, so that a table can be
// redrawn in place on it. On Windows this turns the console's sequence processing on; a console
// that refuses it, a pipe or a file give false (print plain lines there).
bool PrepareLiveTerminal(FILE* pStream);

// The width of pStream's terminal in columns: what the terminal says, else COLUMNS, else 80.
size_t TerminalWidth(FILE* pStream);

// This machine's name, as the history's station: the host name, or the computer's name on Windows.
std::string StationName();

// The default history store: $XDG_DATA_HOME/vostrel/history.db, else under the home directory of
// the user's passwd entry (not a $HOME that sudo kept), on Windows %LOCALAPPDATA%\Vostrel\history.db;
// nothing when there is no such folder to put it in.
std::optional<std::string> DefaultHistoryPath();
// The number of the character device strDevice names (links followed); nothing when it names none.
std::optional<uint64_t> CharacterDeviceNumber(const std::string& strDevice);
// Every character device that another process has open, read from the processes' descriptors
// (Linux: /proc/*/fd). Nothing on Windows, which refuses a second open of a port by itself.
CHolderLook LookAtOpenDevices();
// The command name (comm) of a process; empty once it has ended.
std::string ProcessName(long nPid);
// The system's reports of opens of port nodes (Linux: inotify); nothing on Windows, where a port
// another program has open cannot be opened.
std::unique_ptr<IDeviceOpenSource> NewDeviceOpenSource();

// ModemManager's answer when asked to let go of a card for the rest of the run.
enum class EInhibit {
    kNoManager,   // ModemManager is not on the system bus (or the platform has none)
    kNoModem,     // it runs but has no modem object for the card (still probing it, or not a modem to it)
    kInhibited,   // it lets go of the card until the program ends or ReleaseModemManager
    kRefused,     // it, or polkit, said no, or did not answer
};
struct CInhibitAnswer {
    EInhibit eInhibit = EInhibit::kNoManager;
    std::string strWhy;      // kRefused: the reason in words
    long nManagerPid = 0;    // the daemon's pid when known
};
// Asks ModemManager to inhibit the card whose USB device is at strSlot ("1-4.2") or that has one
// of the port devices. The connection stays open, so the inhibition ends with the program whatever
// ends it; a card asked for again is answered from what the first call did.
CInhibitAnswer InhibitModemManager(const std::string& strSlot, const std::vector<std::string>& devices);
// Hands every inhibited card back to ModemManager and closes the connection.
void ReleaseModemManager();
