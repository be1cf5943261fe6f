// cardsim: a simulated USB data card on a pseudo-terminal, for running the tool and its tests
// without hardware. Prints the slave path it listens on, then serves until SIGINT or SIGTERM.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "tools/cardsim/model/CardReplay.h"
#include "tools/cardsim/pty/PtyCard.h"

namespace {

const char kUsage[] =
    "usage: cardsim [OPTIONS]\n"
    "  --link PATH           make PATH a symlink to the card's device (e.g. a Wine prefix's dosdevices/com5)\n"
    "  --no-echo             do not echo command lines\n"
    "  --model NAME          answer AT+CGMM with NAME (default R2280-Y)\n"
    "  --imei DIGITS         answer AT+CGSN with DIGITS (default 356938035643809)\n"
    "  --no-sim              answer AT+ysec? with no SIM card present\n"
    "  --fault KIND          silent, empty, error, pause, dribble, garbage, long, babble or flood\n"
    "  --fault-count N       apply the fault to the next N commands only (default -1: all)\n"
    "  --pause MS            timing of the pause, dribble and babble faults (default 400)\n"
    "  --reply-delay MS      think time between the echo and the answer (default 0)\n"
    "  --script CMD=REPLY[:N]  answer CMD with the line REPLY, <empty> or <silent>, N times (repeatable)\n"
    "  --urc WHERE:LINE      send the unsolicited LINE with every reply (repeatable); WHERE is before-echo,\n"
    "                        after-echo, before-result, after-result, or later (on its own, --urc-later ms after)\n"
    "  --urc-later MS        when a later unsolicited line follows its reply (default 200)\n"
    "  --late CMD=MS[:N]     answer CMD (echo included) MS late, N times (CMD * : every command; repeatable)\n"
    "  --replay FILE         answer as the vostrel-cli --log transcript FILE records (its first port)\n"
    "  --replay-port NAME    replay the exchanges of this port of the transcript\n"
    "  --transcript FILE     write \"<ms> <line>\" for each command received, flushed at once\n"
    "  --state FILE          keep \"autorun=1 download=0\" in FILE, rewritten after each change\n"
    "  --control PATH        make the FIFO PATH and obey its lines: fault KIND [N], model NAME, "
    "imei DIGITS, script CMD=REPLY[:N], urc WHERE:LINE, urc clear, late CMD=MS[:N], late clear, echo on|off, sim on|off, "
    "replay FILE (the rest answered as before), replay off, link PATH (the --link moves there), unplug, replug, quit\n"
    "  --help                show this text\n";

// An IMEI as the card may give one: 1 to 32 decimal digits (a test may want a wrong length).
bool IsImeiText(const std::string& str)
{
    return !str.empty() && str.size() <= 32 && str.find_first_not_of("0123456789") == std::string::npos;
}

struct CScript {
    std::string strCommand;
    CardReply reply;
    int nTimes = -1;
};

struct CConfig {
    CardOptions options;
    std::vector<CScript> scripts;
    std::string strLink, strTranscript, strState, strControl, strReplay, strReplayPort;
};

bool ParseInt(const std::string& str, long nMin, long nMax, int& nOut)
{
    if (str.empty())
        return false;
    errno = 0;
    char* pEnd = nullptr;
    const long n = std::strtol(str.c_str(), &pEnd, 10);
    if (errno != 0 || *pEnd != '\0' || n < nMin || n > nMax)
        return false;
    nOut = static_cast<int>(n);
    return true;
}

std::optional<CardFault> ParseFault(const std::string& str)
{
    static const struct {
        const char* name;
        CardFault fault;
    } kKinds[] = {{"none", CardFault::None},          {"silent", CardFault::Silent},
                  {"empty", CardFault::EmptyLine},    {"error", CardFault::Error},
                  {"pause", CardFault::PauseMidReply}, {"dribble", CardFault::Dribble},
                  {"garbage", CardFault::Garbage},    {"long", CardFault::LongReply},
                  {"babble", CardFault::Babble},      {"flood", CardFault::Flood}};
    for (const auto& kind : kKinds) {
        if (str == kind.name)
            return kind.fault;
    }
    return std::nullopt;
}

// "CMD=REPLY[:N]": the last '=' ends the command (which may hold one: AT+YCDRUN=E=ERROR); a trailing
// colon and integer is the count, so a reply line that itself ends in ":<digits>" needs an explicit
// count after it.
std::optional<CScript> ParseScript(const std::string& str)
{
    const size_t nEq = str.rfind('=');
    if (nEq == std::string::npos || nEq == 0)
        return std::nullopt;
    CScript script;
    script.strCommand = str.substr(0, nEq);
    std::string strReply = str.substr(nEq + 1);
    const size_t nColon = strReply.rfind(':');
    if (nColon != std::string::npos && ParseInt(strReply.substr(nColon + 1), -1, 1000000000, script.nTimes))
        strReply.resize(nColon);
    if (script.nTimes == 0)
        return std::nullopt;
    if (strReply == "<empty>")
        script.reply = CardReply::Empty();
    else if (strReply == "<silent>")
        script.reply = CardReply::None();
    else
        script.reply = CardReply::Text(strReply);
    return script;
}

// "WHERE:LINE": an unsolicited line and its place in every reply.
std::optional<CardUrc> ParseUrc(const std::string& str)
{
    static const struct {
        const char* name;
        CardUrcAt at;
    } kPlaces[] = {{"before-echo", CardUrcAt::BeforeEcho}, {"after-echo", CardUrcAt::AfterEcho},
                   {"before-result", CardUrcAt::BeforeResult}, {"after-result", CardUrcAt::AfterResult},
                   {"later", CardUrcAt::Later}};
    const size_t nColon = str.find(':');
    if (nColon == std::string::npos || nColon + 1 >= str.size())
        return std::nullopt;
    for (const auto& place : kPlaces) {
        if (str.compare(0, nColon, place.name) == 0)
            return CardUrc{place.at, str.substr(nColon + 1)};
    }
    return std::nullopt;
}

// "CMD=MS[:N]": a command answered late.
std::optional<CardLate> ParseLate(const std::string& str)
{
    const size_t nEq = str.rfind('=');
    if (nEq == std::string::npos || nEq == 0)
        return std::nullopt;
    CardLate late;
    late.strCommand = str.substr(0, nEq);
    std::string strValue = str.substr(nEq + 1);
    const size_t nColon = strValue.find(':');
    if (nColon != std::string::npos) {
        if (!ParseInt(strValue.substr(nColon + 1), 1, 1000000000, late.nTimes))
            return std::nullopt;
        strValue.resize(nColon);
    }
    int nMs = 0;
    if (!ParseInt(strValue, 0, 3600000, nMs))
        return std::nullopt;
    late.nMs = static_cast<uint32_t>(nMs);
    return late;
}

// Parses the command line; a message on stderr and false for anything wrong.
bool ParseArgs(int argc, char** argv, CConfig& config, bool& bHelp)
{
    for (int i = 1; i < argc; ++i) {
        const std::string strOpt = argv[i];
        if (strOpt == "--help") {
            bHelp = true;
            return true;
        }
        if (strOpt == "--no-echo") {
            config.options.bEcho = false;
            continue;
        }
        if (strOpt == "--no-sim") {
            config.options.bSimPresent = false;
            continue;
        }
        static const char* const kWithValue[] = {"--link",  "--model",       "--fault",  "--fault-count", "--pause",
                                                 "--script", "--transcript", "--state",  "--control",
                                                 "--reply-delay", "--imei", "--urc", "--urc-later", "--late",
                                                 "--replay", "--replay-port"};
        bool bKnown = false;
        for (const char* name : kWithValue)
            bKnown = bKnown || strOpt == name;
        if (!bKnown) {
            std::fprintf(stderr, "cardsim: unknown option: %s (see --help)\n", strOpt.c_str());
            return false;
        }
        if (i + 1 >= argc) {
            std::fprintf(stderr, "cardsim: %s needs a value\n", strOpt.c_str());
            return false;
        }
        const std::string strValue = argv[++i];
        int n = 0;
        bool bOk = true;
        if (strOpt == "--link")
            config.strLink = strValue;
        else if (strOpt == "--model")
            config.options.strModel = strValue;
        else if (strOpt == "--imei") {
            bOk = IsImeiText(strValue);
            config.options.strImei = strValue;
        }
        else if (strOpt == "--transcript")
            config.strTranscript = strValue;
        else if (strOpt == "--state")
            config.strState = strValue;
        else if (strOpt == "--control")
            config.strControl = strValue;
        else if (strOpt == "--fault") {
            const auto fault = ParseFault(strValue);
            bOk = fault.has_value();
            if (bOk)
                config.options.fault = *fault;
        } else if (strOpt == "--fault-count") {
            bOk = ParseInt(strValue, -1, 1000000000, n);
            config.options.nFaultCount = n;
        } else if (strOpt == "--pause") {
            bOk = ParseInt(strValue, 0, 3600000, n);
            config.options.nPauseMs = static_cast<uint32_t>(n);
        } else if (strOpt == "--reply-delay") {
            bOk = ParseInt(strValue, 0, 3600000, n);
            config.options.nReplyDelayMs = static_cast<uint32_t>(n);
        } else if (strOpt == "--script") {
            const auto script = ParseScript(strValue);
            bOk = script.has_value();
            if (bOk)
                config.scripts.push_back(*script);
        } else if (strOpt == "--urc") {
            const auto urc = ParseUrc(strValue);
            bOk = urc.has_value();
            if (bOk)
                config.options.unsolicited.push_back(*urc);
        } else if (strOpt == "--urc-later") {
            bOk = ParseInt(strValue, 0, 3600000, n);
            config.options.nUrcLaterMs = static_cast<uint32_t>(n);
        } else if (strOpt == "--late") {
            const auto late = ParseLate(strValue);
            bOk = late.has_value();
            if (bOk)
                config.options.late.push_back(*late);
        } else if (strOpt == "--replay") {
            config.strReplay = strValue;
        } else if (strOpt == "--replay-port") {
            config.strReplayPort = strValue;
        }
        if (!bOk || strValue.empty()) {
            std::fprintf(stderr, "cardsim: bad value for %s: '%s' (see --help)\n", strOpt.c_str(), strValue.c_str());
            return false;
        }
    }
    return true;
}

// Replaces the state file in one step, so a reader never sees half of it.
void WriteState(const std::string& strPath, bool bAutorun, bool bDownload)
{
    const std::string strTemp = strPath + ".tmp";
    FILE* pFile = std::fopen(strTemp.c_str(), "w");
    if (!pFile)
        return;
    std::fprintf(pFile, "autorun=%d download=%d\n", bAutorun ? 1 : 0, bDownload ? 1 : 0);
    const bool bOk = std::fclose(pFile) == 0;
    if (!bOk || std::rename(strTemp.c_str(), strPath.c_str()) != 0)
        std::remove(strTemp.c_str());
}

// The control FIFO: read end plus a writer of our own, so that it never reads end-of-file.
struct CControl {
    int nRead = -1;
    int nKeepOpen = -1;
    bool bCreated = false;
    std::string strPending;
};

bool OpenControl(const std::string& strPath, CControl& control)
{
    struct stat st {};
    if (lstat(strPath.c_str(), &st) == 0) {
        if (!S_ISFIFO(st.st_mode))
            return false;
    } else if (mkfifo(strPath.c_str(), 0600) == 0) {
        control.bCreated = true;
    } else {
        return false;
    }
    control.nRead = open(strPath.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    control.nKeepOpen = open(strPath.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    return control.nRead >= 0 && control.nKeepOpen >= 0;
}

// The steps of the transcript to replay; a message on stderr and nothing when it cannot be.
std::optional<std::vector<CardReplayStep>> LoadReplay(const std::string& strPath, const std::string& strPort)
{
    FILE* pFile = std::fopen(strPath.c_str(), "rb");
    if (!pFile) {
        std::fprintf(stderr, "cardsim: cannot read the transcript %s: %s\n", strPath.c_str(), std::strerror(errno));
        return std::nullopt;
    }
    std::string strText;
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pFile)) > 0;)
        strText.append(buffer, n);
    std::fclose(pFile);
    CardReplayParse parse = ParseCardTranscript(strText, strPort);
    if (!parse.strError.empty()) {
        std::fprintf(stderr, "cardsim: cannot replay %s: %s\n", strPath.c_str(), parse.strError.c_str());
        return std::nullopt;
    }
    std::printf("cardsim: replaying %zu commands to %s from %s\n", parse.steps.size(), parse.strPort.c_str(),
                strPath.c_str());
    return std::move(parse.steps);
}

// Carries out one control line; false for "quit".
bool RunControl(const std::string& strLine, CPtyCard& card, CardOptions& options)
{
    const size_t nSpace = strLine.find(' ');
    const std::string strVerb = strLine.substr(0, nSpace);
    const std::string strArg = nSpace == std::string::npos ? "" : strLine.substr(nSpace + 1);
    bool bOk = true;
    if (strVerb == "quit") {
        return false;
    } else if (strVerb == "unplug") {
        card.Unplug();
    } else if (strVerb == "link" && !strArg.empty()) {
        // The card's one link moves: an unplug takes it away before the pts number can go to
        // another pty, which a second link made by hand would still lead to.
        bOk = card.LinkTo(strArg);
    } else if (strVerb == "replug") {
        bOk = card.Replug();
        if (bOk)
            std::printf("cardsim: listening on %s\n", card.SlavePath().c_str());
    } else if (strVerb == "fault") {
        const size_t nCount = strArg.find(' ');
        const auto fault = ParseFault(strArg.substr(0, nCount));
        int n = -1;
        bOk = fault.has_value() && (nCount == std::string::npos || ParseInt(strArg.substr(nCount + 1), -1, 1000000000, n));
        if (bOk) {
            options.fault = *fault;
            options.nFaultCount = n;
            card.SetOptions(options);
        }
    } else if (strVerb == "imei" && IsImeiText(strArg)) {
        options.strImei = strArg;
        card.SetOptions(options);
    } else if (strVerb == "model" && !strArg.empty()) {
        options.strModel = strArg;
        card.SetOptions(options);
    } else if ((strVerb == "echo" || strVerb == "sim") && (strArg == "on" || strArg == "off")) {
        (strVerb == "echo" ? options.bEcho : options.bSimPresent) = strArg == "on";
        card.SetOptions(options);
    } else if (strVerb == "urc" || strVerb == "late") {
        if (strArg == "clear") {
            (strVerb == "urc") ? options.unsolicited.clear() : options.late.clear();
        } else if (strVerb == "urc") {
            const auto urc = ParseUrc(strArg);
            bOk = urc.has_value();
            if (bOk)
                options.unsolicited.push_back(*urc);
        } else {
            const auto late = ParseLate(strArg);
            bOk = late.has_value();
            if (bOk)
                options.late.push_back(*late);
        }
        if (bOk)
            card.SetOptions(options);
    } else if (strVerb == "replay" && strArg == "off") {
        card.StopReplay();
    } else if (strVerb == "replay" && !strArg.empty()) {
        std::optional<std::vector<CardReplayStep>> steps = LoadReplay(strArg, "");
        bOk = steps.has_value();
        if (bOk)
            card.SetReplay(std::move(*steps), true);
    } else if (strVerb == "script") {
        const auto script = ParseScript(strArg);
        bOk = script.has_value();
        if (bOk)
            card.Script(script->strCommand, script->reply, script->nTimes);
    } else {
        bOk = false;
    }
    if (!bOk)
        std::fprintf(stderr, "cardsim: control: cannot do '%s'\n", strLine.c_str());
    std::fflush(stdout);
    return true;
}

// Reads what the FIFO holds and runs its complete lines; false once "quit" came.
bool ServeControl(CControl& control, CPtyCard& card, CardOptions& options)
{
    char buffer[512];
    ssize_t n;
    while ((n = read(control.nRead, buffer, sizeof buffer)) > 0)
        control.strPending.append(buffer, static_cast<size_t>(n));
    size_t nEnd;
    while ((nEnd = control.strPending.find('\n')) != std::string::npos) {
        std::string strLine = control.strPending.substr(0, nEnd);
        control.strPending.erase(0, nEnd + 1);
        if (!strLine.empty() && strLine.back() == '\r')
            strLine.pop_back();
        if (!strLine.empty() && !RunControl(strLine, card, options))
            return false;
    }
    return true;
}

bool StopSignalPending(const sigset_t& stopSignals)
{
    const timespec zero{0, 0};
    return sigtimedwait(&stopSignals, nullptr, &zero) > 0;
}


int Serve(const CConfig& config)
{
    CardOptions options = config.options;
    CPtyCard card(options);
    for (const CScript& script : config.scripts)
        card.Script(script.strCommand, script.reply, script.nTimes);
    if (!config.strReplay.empty()) {
        std::optional<std::vector<CardReplayStep>> steps = LoadReplay(config.strReplay, config.strReplayPort);
        if (!steps)
            return 2;
        card.SetReplay(std::move(*steps));
    }

    FILE* pTranscript = nullptr;
    if (!config.strTranscript.empty() && !(pTranscript = std::fopen(config.strTranscript.c_str(), "w"))) {
        std::fprintf(stderr, "cardsim: cannot write %s: %s\n", config.strTranscript.c_str(), std::strerror(errno));
        return 1;
    }
    if (!config.strState.empty())
        WriteState(config.strState, card.AutorunEnabled(), card.DownloadMode());
    card.SetCommandObserver([&config, pTranscript, bAutorun = card.AutorunEnabled(),
                             bDownload = card.DownloadMode()](const CardTranscriptLine& line, bool bNowAutorun,
                                                              bool bNowDownload) mutable {
        if (pTranscript) {
            std::fprintf(pTranscript, "%llu %s\n", static_cast<unsigned long long>(line.nTimeMs), line.strLine.c_str());
            std::fflush(pTranscript);
        }
        if (line.bNotInReplay) {
            std::fprintf(stderr, "cardsim: replay: received \"%s\", which %s does not hold (after the commands already "
                                 "played); not answered\n", line.strLine.c_str(), config.strReplay.c_str());
            std::fflush(stderr);
        }
        if (!config.strState.empty() && (bNowAutorun != bAutorun || bNowDownload != bDownload))
            WriteState(config.strState, bNowAutorun, bNowDownload);
        bAutorun = bNowAutorun;
        bDownload = bNowDownload;
    });

    CControl control;
    int nStatus = 0;
    if (!card.Start()) {
        std::fprintf(stderr, "cardsim: cannot open a pseudo-terminal: %s\n", std::strerror(errno));
        nStatus = 1;
    } else if (!config.strLink.empty() && !card.LinkTo(config.strLink)) {
        std::fprintf(stderr, "cardsim: cannot link %s: %s\n", config.strLink.c_str(), std::strerror(errno));
        nStatus = 1;
    } else if (!config.strControl.empty() && !OpenControl(config.strControl, control)) {
        std::fprintf(stderr, "cardsim: cannot make the control FIFO %s\n", config.strControl.c_str());
        nStatus = 1;
    }

    if (nStatus == 0) {
        std::printf("cardsim: listening on %s\n", card.SlavePath().c_str());
        std::fflush(stdout);
        sigset_t stopSignals;
        sigemptyset(&stopSignals);
        sigaddset(&stopSignals, SIGINT);
        sigaddset(&stopSignals, SIGTERM);
        for (;;) {
            pollfd pfd{control.nRead, POLLIN, 0};
            poll(&pfd, control.nRead >= 0 ? 1 : 0, 50);
            if (StopSignalPending(stopSignals))
                break;
            if (control.nRead >= 0 && !ServeControl(control, card, options))
                break;
        }
    }

    if (control.nRead >= 0)
        close(control.nRead);
    if (control.nKeepOpen >= 0)
        close(control.nKeepOpen);
    if (control.bCreated)
        unlink(config.strControl.c_str());
    card.SetCommandObserver(nullptr);
    if (pTranscript)
        std::fclose(pTranscript);
    return nStatus;
}

} // namespace

int main(int argc, char** argv)
{
    CConfig config;
    bool bHelp = false;
    if (!ParseArgs(argc, argv, config, bHelp))
        return 2;
    if (bHelp) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    // The stop signals are taken by the main loop only: blocked here, before any thread starts,
    // so the card's service thread inherits the mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);
    return Serve(config);
}
