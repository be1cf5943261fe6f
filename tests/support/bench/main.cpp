// bench-testbed: a bench of simulated data cards that leave the bus and come back when switched,
// around a command (vostrel-cli, a script). Natively the cards are a umockdev tree (run it under
// umockdev-wrapper: the command inherits the tree); with --hook they are whatever the hook makes of
// them (bench-wine.sh: COM ports and driver entries in a Wine prefix). Exits with the command's status.
#include <CLI/CLI.hpp>

#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "BenchCards.h"
#include "BenchRule.h"
#include "HookBus.h"
#include "UdevBus.h"
#include "../RunProgram.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kPollPeriod = std::chrono::milliseconds(20);

struct COptions {
    int nCards = 8;
    int64_t nReturnMs = 2000;
    int64_t nQuietMs = 400;
    std::vector<std::string> faults;
    std::string strCardsim = SiblingProgram("cardsim");
    std::string strOut = "out";
    std::string strHook;
    std::string strComDir;
    int nFirstCom = 40;
    std::vector<std::string> command;
};

std::atomic<int> g_nForward{0};

// A signal sent to the bench goes on to the command; Ctrl-C from the terminal reaches the command
// by itself (it is in the same process group), and the bench waits for it to end.
void OnStopSignal(int nSignal, siginfo_t* pInfo, void*)
{
    if (pInfo->si_code <= 0)
        g_nForward = nSignal;
}

std::string Imei(int nCard, bool bNew)
{
    char sz[32];
    std::snprintf(sz, sizeof sz, "3569380356%d%04d", bNew ? 5 : 4, nCard);
    return sz;
}

class CEventLog {
public:
    // Its first line, "0 bench clock <ms since 1970, UTC>", ties its times to the wall clock, which
    // the command's transcript names too: a test lines up what the bench did with what was seen.
    explicit CEventLog(const std::string& strPath) : m_file(strPath, std::ios::trunc), m_start(Clock::now())
    {
        const auto wall = std::chrono::system_clock::now();
        m_file << "0 bench clock "
               << std::chrono::duration_cast<std::chrono::milliseconds>(wall.time_since_epoch()).count() << std::endl;
    }
    bool Ok() const { return m_file.good(); }
    int64_t Ms() const
    {
        return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - m_start).count();
    }
    // "<ms> card <n> left|back|hidden|shown <slot> <vid:pid> <ports>", written when the change shows;
    // "hiding" and "showing" when a blink's change was asked for, before anyone could see it.
    void Write(int nCard, const char* pszWhat, const std::string& strSlot, EBenchShape eShape, const std::string& strPorts)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_file << Ms() << " card " << nCard << " " << pszWhat << " " << strSlot << " 1209:" << BenchProductId(eShape) << " "
               << strPorts << std::endl;
    }

    // "<ms> command started": where the command's own times begin, near enough.
    void WriteStart()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_file << Ms() << " command started" << std::endl;
    }

private:
    std::mutex m_mutex;
    std::ofstream m_file;
    Clock::time_point m_start;
};

class CBench {
public:
    CBench(const COptions& options, CBenchCards& cards, IBenchBus& bus, CEventLog& log)
        : m_options(options), m_cards(cards), m_bus(bus), m_log(log),
          m_rule(options.nCards, options.nQuietMs, options.nReturnMs), m_places(static_cast<size_t>(options.nCards))
    {
        for (int n = 0; n < options.nCards; ++n)
            m_places[static_cast<size_t>(n)].nSlot = n;
    }

    CReenumerationRule& Rule() { return m_rule; }

    bool PlugAll()
    {
        bool bOk = true;
        for (int n = 0; n < m_options.nCards; ++n)
            bOk = m_bus.Plug(n, n, EBenchShape::kCard, nullptr) && bOk;
        m_bus.Flush();
        return bOk;
    }

    // One pass: what the cards heard, what is due, and returns whose cardsim is served again.
    void Tick()
    {
        const int64_t nNow = m_log.Ms();
        for (int n = 0; n < m_options.nCards; ++n)
            for (const std::string& strLine : m_cards.NewLines(n))
                m_rule.OnLine(n, strLine, nNow);
        for (const CBenchAction& action : m_rule.Due(nNow)) {
            if (action.eKind == CBenchAction::kLeave)
                Leave(action);
            else if (action.eKind == CBenchAction::kBack)
                Return(action);
            else
                Blink(action);
        }
        for (int n = 0; n < m_options.nCards; ++n) {
            CPlace& place = m_places[static_cast<size_t>(n)];
            if (place.bReplugging && m_cards.LinkReady(n)) {
                place.bReplugging = false;
                const std::string strSlot = m_bus.SlotName(place.nSlot);
                const std::string strPorts = m_bus.Ports(n, place.eShape);
                const EBenchShape eShape = place.eShape;
                m_bus.Plug(n, place.nSlot, eShape,
                           [this, n, strSlot, eShape, strPorts] { m_log.Write(n, "back", strSlot, eShape, strPorts); });
            }
        }
    }

private:
    struct CPlace {
        int nSlot = 0;
        EBenchShape eShape = EBenchShape::kCard;
        bool bReplugging = false;
    };

    void Leave(const CBenchAction& action)
    {
        const CPlace& place = m_places[static_cast<size_t>(action.nCard)];
        const std::string strSlot = m_bus.SlotName(place.nSlot);
        const std::string strPorts = m_bus.Ports(action.nCard, action.eShape);
        m_cards.Control(action.nCard, "unplug");
        m_bus.Unplug(action.nCard, [this, action, strSlot, strPorts] {
            m_log.Write(action.nCard, "left", strSlot, action.eShape, strPorts);
        });
    }

    // Off the bus for a moment, or on it again, its cardsim untouched: nothing about the card changes.
    void Blink(const CBenchAction& action)
    {
        const int n = action.nCard;
        const CPlace& place = m_places[static_cast<size_t>(n)];
        const std::string strSlot = m_bus.SlotName(place.nSlot);
        const std::string strPorts = m_bus.Ports(n, place.eShape);
        const EBenchShape eShape = place.eShape;
        auto log = [this, n, strSlot, eShape, strPorts](const char* pszWhat) {
            return [this, n, strSlot, eShape, strPorts, pszWhat] { m_log.Write(n, pszWhat, strSlot, eShape, strPorts); };
        };
        m_log.Write(n, action.eKind == CBenchAction::kHide ? "hiding" : "showing", strSlot, eShape, strPorts);
        if (action.eKind == CBenchAction::kHide)
            m_bus.Unplug(n, log("hidden"));
        else
            m_bus.Plug(n, place.nSlot, eShape, log("shown"));
    }

    // The bus shows the card once its cardsim serves it again (Tick sees the link back).
    void Return(const CBenchAction& action)
    {
        CPlace& place = m_places[static_cast<size_t>(action.nCard)];
        if (action.bMoved)
            place.nSlot = FreeSlot();
        if (action.bNewImei)
            m_cards.Control(action.nCard, "imei " + Imei(action.nCard, true));
        m_cards.Control(action.nCard, action.eShape == EBenchShape::kDownload ? "fault silent" : "fault none");
        m_cards.Control(action.nCard, "replug");
        place.eShape = action.eShape;
        place.bReplugging = true;
    }

    int FreeSlot() const
    {
        std::set<int> taken;
        for (const CPlace& place : m_places)
            taken.insert(place.nSlot);
        int nSlot = m_options.nCards;
        while (taken.count(nSlot))
            ++nSlot;
        return nSlot;
    }

    const COptions& m_options;
    CBenchCards& m_cards;
    IBenchBus& m_bus;
    CEventLog& m_log;
    CReenumerationRule m_rule;
    std::vector<CPlace> m_places;
};

bool ParseOptions(int argc, char** argv, COptions& options, int& nExit)
{
    int nSplit = 1;
    while (nSplit < argc && std::string(argv[nSplit]) != "--")
        ++nSplit;
    CLI::App app{"A bench of simulated data cards that re-enumerate when switched, around COMMAND.\n"
                 "usage: umockdev-wrapper bench-testbed [OPTIONS] -- COMMAND [ARGS...]",
                 "bench-testbed"};
    app.add_option("--cards", options.nCards, "how many cards (default 8)")->check(CLI::Range(1, 64));
    app.add_option("--return-ms", options.nReturnMs, "how long a card is off the bus (default 2000)")
        ->check(CLI::Range(0, 600000));
    app.add_option("--quiet-ms", options.nQuietMs, "how long a switched card waits for a quiet line (default 400)")
        ->check(CLI::Range(0, 60000));
    app.add_option("--fault", options.faults, "CARD:stay|gone|moved|newimei|blink|pull@MS (MS after its first line), repeatable");
    app.add_option("--cardsim", options.strCardsim, "the cardsim program");
    app.add_option("--out", options.strOut, "where the event log and the cards' files go (default out)");
    app.add_option("--hook", options.strHook, "no umockdev tree: run this program with every change (bench-wine.sh)");
    app.add_option("--com-dir", options.strComDir, "with --hook: link the cards there as com<N> (a prefix's dosdevices)");
    app.add_option("--first-com", options.nFirstCom, "with --hook: card 0's modem COM number (default 40)")
        ->check(CLI::Range(1, 200));
    try {
        app.parse(nSplit, argv);
    } catch (const CLI::ParseError& e) {
        nExit = app.exit(e);
        return false;
    }
    options.command.assign(argv + std::min(nSplit + 1, argc), argv + argc);
    if (options.command.empty() || (!options.strHook.empty() && options.strComDir.empty())) {
        std::fprintf(stderr, "bench-testbed: %s (see --help)\n",
                     options.command.empty() ? "no command after --" : "--hook needs --com-dir");
        nExit = 2;
        return false;
    }
    return true;
}

bool ApplyFaults(const COptions& options, CReenumerationRule& rule)
{
    for (const std::string& strFault : options.faults) {
        const size_t nColon = strFault.find(':');
        int nCard = -1;
        try {
            nCard = nColon == std::string::npos ? -1 : std::stoi(strFault.substr(0, nColon));
        } catch (const std::exception&) {
        }
        const std::optional<CBenchFault> fault =
            nColon == std::string::npos ? std::nullopt : ParseBenchFault(strFault.substr(nColon + 1));
        if (nCard < 0 || nCard >= options.nCards || !fault) {
            std::fprintf(stderr, "bench-testbed: bad --fault '%s': CARD:stay|gone|moved|newimei|blink|pull@MS\n", strFault.c_str());
            return false;
        }
        rule.SetFault(nCard, *fault);
    }
    return true;
}

pid_t StartCommand(const COptions& options)
{
    std::vector<std::string> args = options.command;
    std::vector<char*> argv;
    for (std::string& s : args)
        argv.push_back(s.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    return posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) == 0 ? pid : -1;
}

// Runs the bench until the command ends; its exit status (128 + signal when killed).
int RunBench(CBench& bench, const COptions& options, CEventLog& log)
{
    log.WriteStart();
    const pid_t child = StartCommand(options);
    if (child < 0) {
        std::fprintf(stderr, "bench-testbed: cannot start %s\n", options.command[0].c_str());
        return 127;
    }
    int nStatus = 0;
    for (;;) {
        if (const int nSignal = g_nForward.exchange(0))
            kill(child, nSignal);
        const pid_t done = waitpid(child, &nStatus, WNOHANG);
        if (done == child)
            break;
        bench.Tick();
        std::this_thread::sleep_for(kPollPeriod);
    }
    return WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : 128 + WTERMSIG(nStatus);
}

void WriteCardList(const COptions& options, const IBenchBus& bus, const CBenchCards& cards)
{
    std::ofstream out(options.strOut + "/bench-cards.txt", std::ios::trunc);
    for (int n = 0; n < options.nCards; ++n)
        out << "card " << n << " " << bus.SlotName(n) << " " << bus.Ports(n, EBenchShape::kCard) << " imei "
            << (cards.KnowsImei() ? Imei(n, false) : "-") << " transcript " << cards.Transcript(n) << "\n";
}

} // namespace

int main(int argc, char** argv)
{
    COptions options;
    int nExit = 0;
    if (!ParseOptions(argc, argv, options, nExit))
        return nExit;
    mkdir(options.strOut.c_str(), 0755);
    const std::string strCardDir = options.strOut + "/cards";
    mkdir(strCardDir.c_str(), 0755);

    // For the command, and for the hook, which runs before it.
    options.strOut = std::filesystem::absolute(options.strOut).string();
    setenv("VOSTREL_BENCH_OUT", options.strOut.c_str(), 1);
    setenv("VOSTREL_BENCH_EVENTS", (options.strOut + "/bench-events.log").c_str(), 1);

    std::vector<CBenchCardSetup> setups;
    std::vector<std::string> links;
    for (int n = 0; n < options.nCards; ++n) {
        CBenchCardSetup setup;
        setup.strLink = options.strHook.empty() ? strCardDir + "/card" + std::to_string(n) + ".tty"
                                                : options.strComDir + "/com" + std::to_string(options.nFirstCom + 2 * n);
        setup.strLink = std::filesystem::absolute(setup.strLink).string();
        setup.strImei = Imei(n, false);
        links.push_back(setup.strLink);
        setups.push_back(setup);
    }

    // Before the bus: a bus may still report a change that it shows while it goes.
    CEventLog log(options.strOut + "/bench-events.log");
    std::unique_ptr<IBenchBus> pBus;
    if (options.strHook.empty()) {
        auto pUdev = std::make_unique<CUdevBus>(options.nCards, links);
        if (!pUdev->InMockEnvironment()) {
            std::fprintf(stderr, "bench-testbed: run it under umockdev-wrapper (or give --hook)\n");
            return 2;
        }
        const std::string strError = pUdev->AddHubs();
        if (!strError.empty()) {
            std::fprintf(stderr, "bench-testbed: %s\n", strError.c_str());
            return 1;
        }
        pBus = std::move(pUdev);
        // The command opens the cards' nodes past umockdev's descriptor table (preload/NodePreload.cpp).
        const char* pszPreload = std::getenv("LD_PRELOAD");
        const std::string strPreload =
            SiblingProgram("libbench-node-preload.so") + (pszPreload && *pszPreload ? std::string(":") + pszPreload : "");
        setenv("LD_PRELOAD", strPreload.c_str(), 1);
        setenv("VOSTREL_BENCH_NODES", "/dev/ttyUSB", 1);
    } else {
        pBus = std::make_unique<CHookBus>(options.nCards, options.strHook, options.nFirstCom);
    }

    CBenchCards cards(options.strCardsim, strCardDir);
    CBench bench(options, cards, *pBus, log);
    if (!log.Ok() || !ApplyFaults(options, bench.Rule()))
        return 2;
    const std::string strError = cards.Start(setups);
    if (!strError.empty()) {
        std::fprintf(stderr, "bench-testbed: %s\n", strError.c_str());
        return 1;
    }
    // The diagnostic port's COM link leads to the card's (modem) link, so both open the card's pty.
    if (!options.strHook.empty())
        for (int n = 0; n < options.nCards; ++n) {
            const std::string strDiag = options.strComDir + "/com" + std::to_string(options.nFirstCom + 2 * n + 1);
            unlink(strDiag.c_str());
            if (symlink(links[static_cast<size_t>(n)].c_str(), strDiag.c_str()) != 0)
                std::fprintf(stderr, "bench-testbed: cannot link %s\n", strDiag.c_str());
        }
    if (!bench.PlugAll()) {
        std::fprintf(stderr, "bench-testbed: the cards could not be put on the bus\n");
        return 1;
    }
    WriteCardList(options, *pBus, cards);

    struct sigaction action {};
    action.sa_sigaction = OnStopSignal;
    action.sa_flags = SA_SIGINFO | SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    const int nStatus = RunBench(bench, options, log);
    pBus->Flush();
    cards.Stop();
    if (!options.strHook.empty())
        for (int n = 0; n < options.nCards; ++n)
            unlink((options.strComDir + "/com" + std::to_string(options.nFirstCom + 2 * n + 1)).c_str());
    return nStatus;
}
