#include "cli/BenchRun.h"

#include <algorithm>
#include <chrono>

#include "cli/Interrupt.h"

namespace {

// Milliseconds from nFrom to nTo on the wrapping tick count; 0 when nTo is before nFrom.
uint32_t Elapsed(uint32_t nFrom, uint32_t nTo)
{
    const int32_t nDiff = static_cast<int32_t>(nTo - nFrom);
    return nDiff < 0 ? 0 : static_cast<uint32_t>(nDiff);
}

} // namespace

void RunLimited(size_t nCount, size_t nJobs, uint32_t nStaggerMs, IClock& clock, const std::function<void(size_t)>& work)
{
    std::mutex mutex;
    std::condition_variable finished;
    size_t nRunning = 0;
    std::vector<std::thread> threads;
    for (size_t n = 0; n < nCount; ++n) {
        if (n > 0 && nStaggerMs > 0)
            clock.Sleep(nStaggerMs);
        {
            std::unique_lock<std::mutex> lock(mutex);
            finished.wait(lock, [&] { return nJobs == 0 || nRunning < nJobs; });
            ++nRunning;
        }
        threads.emplace_back([&, n] {
            work(n);
            std::lock_guard<std::mutex> lock(mutex);
            --nRunning;
            finished.notify_all();
        });
    }
    for (std::thread& thread : threads)
        thread.join();
}

CListingPoller::CListingPoller(Look look, IClock& clock, uint32_t nPeriodMs)
    : m_look(std::move(look)), m_clock(clock), m_nPeriodMs(nPeriodMs), m_thread([this] { Poll(); })
{
}

CListingPoller::~CListingPoller()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bStop = true;
    }
    m_changed.notify_all();
    m_thread.join();
}

void CListingPoller::Follow(const CInventoryCard& card)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_followed.push_back(card);
    }
    m_changed.notify_all();
}

void CListingPoller::Unfollow(const CInventoryCard& card)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = std::find_if(m_followed.begin(), m_followed.end(), [&](const CInventoryCard& c) {
        return c.strSlot == card.strSlot && c.strId == card.strId;
    });
    if (it != m_followed.end())
        m_followed.erase(it);
}

void CListingPoller::Poll()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_bStop) {
        if (m_followed.empty()) {
            m_changed.wait(lock, [this] { return m_bStop || !m_followed.empty(); });
            continue;
        }
        const std::vector<CInventoryCard> followed = m_followed;
        lock.unlock();
        // Looks begin every period, however long one takes.
        const auto began = std::chrono::steady_clock::now();
        const uint32_t nTick = m_clock.GetTickCount();
        std::vector<CInventoryCard> cards = m_look(followed);
        std::vector<std::string> slots;
        for (const CInventoryCard& card : followed)
            slots.push_back(card.strSlot);
        lock.lock();
        m_last = {m_last.nVersion + 1, nTick, m_clock.GetTickCount(), std::move(slots), std::move(cards)};
        m_bHaveListing = true;
        m_changed.notify_all();
        auto next = began + std::chrono::milliseconds(m_nPeriodMs);
        while (!m_bStop && std::chrono::steady_clock::now() < next) {
            if (m_nWanted) {
                const int32_t nIn = static_cast<int32_t>(*m_nWanted - m_clock.GetTickCount());
                next = std::min(next, std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(nIn, 0)));
            }
            m_changed.wait_until(lock, next);
        }
        m_nWanted.reset();
    }
}

CListingPoller::CListing CListingPoller::NextAfter(uint32_t nTick)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    // Woken by each listing; an interruption is seen within one period.
    while (!m_bStop && !(m_bHaveListing && static_cast<int32_t>(m_last.nTick - nTick) >= 0) && !Interrupted())
        m_changed.wait_for(lock, std::chrono::milliseconds(m_nPeriodMs));
    return m_last;
}

void CListingPoller::Want(uint32_t nTick)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_nWanted || static_cast<int32_t>(nTick - *m_nWanted) < 0)
            m_nWanted = nTick;
    }
    m_changed.notify_all();
}

namespace {

// "# look at <slot> <began>..<done> ms: listed|missing", in the transcript's ms: what the program saw
// of a followed card, and when, for whoever reads the transcript of a switch that went wrong.
void NoteLook(CTranscript* pTranscript, const std::string& strSlot, const CListingPoller::CListing& listing,
              uint32_t nStartTick, int64_t nStartMs)
{
    auto ms = [&](uint32_t nTick) { return std::to_string(nStartMs + static_cast<int32_t>(nTick - nStartTick)); };
    if (!pTranscript || !pTranscript->IsOpen())
        return;
    const bool bListed = std::any_of(listing.cards.begin(), listing.cards.end(),
                                     [&strSlot](const CInventoryCard& c) { return c.strSlot == strSlot; });
    pTranscript->Note("look at " + PrintableText(strSlot) + " " + ms(listing.nTick) + ".." + ms(listing.nDoneTick) +
                      " ms: " + (bListed ? "listed" : "missing"));
}

} // namespace

CSwitchWatch FollowSwitch(ESwitchProof eProof, const CInventoryCard& card, const CFollowContext& ctx)
{
    CSwitchWatch watch(eProof, card, ctx.times);
    if (watch.IsFinished())
        return watch;
    ctx.pPoller->Follow(card);
    const uint32_t nStart = ctx.pClock->GetTickCount();
    // The start as the transcript's ms, for its notes of each look.
    const int64_t nTranscriptMs = ctx.pTranscript ? ctx.pTranscript->Ms() : 0;
    uint32_t nNext = nStart;
    while (!watch.IsFinished() && !Interrupted()) {
        const CListingPoller::CListing listing = ctx.pPoller->NextAfter(nNext);
        if (Interrupted())
            break;
        nNext = listing.nTick + 1;
        // A look begun before the card was followed did not look at its slot.
        if (std::find(listing.slots.begin(), listing.slots.end(), card.strSlot) == listing.slots.end())
            continue;
        NoteLook(ctx.pTranscript, card.strSlot, listing, nStart, nTranscriptMs);
        // A phase is timed when the look that showed it was done, as a person watching would see it.
        watch.Observe(listing.cards, Elapsed(nStart, listing.nTick), Elapsed(nStart, listing.nDoneTick));
        if (std::optional<CInventoryCard> ask = watch.CardToAsk()) {
            ctx.onStep(watch);
            const auto [bAnswers, strImei] = ctx.askCard(*ask);
            if (!Interrupted())
                watch.NoteAnswer(bAnswers, strImei, Elapsed(nStart, ctx.pClock->GetTickCount()));
        }
        if (std::optional<uint32_t> nDue = watch.DueMs())
            ctx.pPoller->Want(nStart + *nDue);
        ctx.onStep(watch);
    }
    ctx.pPoller->Unfollow(card);
    return watch;
}
