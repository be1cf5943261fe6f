#include "BenchCards.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace {

std::string FileText(const std::string& strPath)
{
    std::ifstream in(strPath);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool Listening(const std::string& strOut)
{
    return FileText(strOut).find("cardsim: listening on ") != std::string::npos;
}

// Whether cardsim's usage names --imei: an older cardsim stops at an option it does not know.
bool CardsimKnowsImei(const std::string& strCardsim)
{
    FILE* p = popen(("'" + strCardsim + "' --help 2>/dev/null").c_str(), "r");
    if (!p)
        return false;
    std::string strText;
    char buf[512];
    size_t n = 0;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
        strText.append(buf, n);
    pclose(p);
    return strText.find("--imei") != std::string::npos;
}

} // namespace

bool CBenchCards::Spawn(CCard& card, const CBenchCardSetup& setup)
{
    std::vector<std::string> args = {m_strCardsim, "--link", card.strLink, "--transcript", card.strTranscript,
                                     "--control", card.strControl};
    if (m_bImei && !setup.strImei.empty())
        args.insert(args.end(), {"--imei", setup.strImei});
    std::vector<char*> argv;
    for (std::string& s : args)
        argv.push_back(s.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, card.strOut.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    const int nError = posix_spawn(&card.pid, m_strCardsim.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (nError != 0)
        card.pid = -1;
    return nError == 0;
}

std::string CBenchCards::Start(const std::vector<CBenchCardSetup>& setups)
{
    m_bImei = CardsimKnowsImei(m_strCardsim);
    for (size_t n = 0; n < setups.size(); ++n) {
        CCard card;
        const std::string strBase = m_strDir + "/card" + std::to_string(n);
        card.strLink = setups[n].strLink;
        card.strTranscript = strBase + ".transcript";
        card.strControl = strBase + ".ctl";
        card.strOut = strBase + ".out";
        unlink(card.strControl.c_str());
        const bool bSpawned = Spawn(card, setups[n]);
        m_cards.push_back(card);
        if (!bSpawned)
            return "cannot start " + m_strCardsim;
    }
    // They start side by side; 32 cards are up in well under a second.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (const CCard& card : m_cards) {
        while (!Listening(card.strOut)) {
            if (waitpid(card.pid, nullptr, WNOHANG) != 0 || std::chrono::steady_clock::now() > deadline)
                return "cardsim did not start: " + FileText(card.strOut);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    return {};
}

void CBenchCards::Stop()
{
    for (CCard& card : m_cards)
        if (card.pid > 0)
            kill(card.pid, SIGTERM);
    for (CCard& card : m_cards) {
        if (card.pid > 0)
            waitpid(card.pid, nullptr, 0);
        card.pid = -1;
    }
}

std::vector<std::string> CBenchCards::NewLines(int nCard)
{
    CCard& card = m_cards.at(static_cast<size_t>(nCard));
    std::vector<std::string> lines;
    const int fd = open(card.strTranscript.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return lines;
    char buf[4096];
    ssize_t n = 0;
    while ((n = pread(fd, buf, sizeof buf, card.nOffset)) > 0) {
        card.strPartial.append(buf, static_cast<size_t>(n));
        card.nOffset += n;
    }
    close(fd);
    // "<ms> <line>": cardsim flushes each line whole, but a read may still end inside one.
    size_t nEnd = 0;
    while ((nEnd = card.strPartial.find('\n')) != std::string::npos) {
        const std::string strEntry = card.strPartial.substr(0, nEnd);
        card.strPartial.erase(0, nEnd + 1);
        const size_t nSpace = strEntry.find(' ');
        lines.push_back(nSpace == std::string::npos ? std::string() : strEntry.substr(nSpace + 1));
    }
    return lines;
}

bool CBenchCards::Control(int nCard, const std::string& strLine)
{
    // cardsim holds a writer of its own on the FIFO, so this open never waits for a reader.
    const int fd = open(m_cards.at(static_cast<size_t>(nCard)).strControl.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    const std::string strData = strLine + "\n";
    const bool bOk = write(fd, strData.data(), strData.size()) == static_cast<ssize_t>(strData.size());
    close(fd);
    return bOk;
}

bool CBenchCards::LinkReady(int nCard) const
{
    struct stat st {};
    return stat(m_cards.at(static_cast<size_t>(nCard)).strLink.c_str(), &st) == 0;
}
