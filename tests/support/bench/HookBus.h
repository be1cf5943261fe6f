#pragma once
// The bench's cards as a program outside sees them through a hook: after each change the hook is run
// with where every card is, "<card>:<slot>:<card|download|none>:<modem COM>:<diagnostic COM>" an
// argument each, and rewrites what the program under test reads (bench-wine.sh: the drivers'
// registry entries in a Wine prefix). Changes that come while the hook runs go in its next run, so
// 32 cards that leave together cost a few runs, not 32.
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "BenchBus.h"

class CHookBus : public IBenchBus {
public:
    CHookBus(int nCards, std::string strHook, int nFirstCom);
    ~CHookBus() override;
    CHookBus(const CHookBus&) = delete;
    CHookBus& operator=(const CHookBus&) = delete;

    bool Plug(int nCard, int nSlot, EBenchShape eShape, Done done) override;
    bool Unplug(int nCard, Done done) override;
    void Flush() override;
    std::string SlotName(int nSlot) const override;
    std::string Ports(int nCard, EBenchShape eShape) const override;
    // Whether every run of the hook so far succeeded.
    bool HookOk() const;

private:
    struct CPlace {
        int nSlot = 0;
        EBenchShape eShape = EBenchShape::kCard;
    };
    void Work();
    bool RunHook(const std::vector<std::optional<CPlace>>& places) const;

    std::string m_strHook;
    int m_nFirstCom;
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<std::optional<CPlace>> m_places;   // by card; nothing: off the bus
    std::vector<Done> m_pending;                   // for the changes since the hook last ran
    bool m_bRunning = false;
    bool m_bStop = false;
    bool m_bHookOk = true;
    std::thread m_worker;
};
