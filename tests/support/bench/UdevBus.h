#pragma once
// The bench's cards as USB devices in a umockdev tree: two hubs (root ports 1 and 2), the first half
// of the cards behind the first. Each card's ttys lead to the link its cardsim keeps.
#include <umockdev.h>

#include <map>
#include <string>
#include <vector>

#include "BenchBus.h"

class CUdevBus : public IBenchBus {
public:
    CUdevBus(int nCards, std::vector<std::string> cardLinks);
    ~CUdevBus() override;
    CUdevBus(const CUdevBus&) = delete;
    CUdevBus& operator=(const CUdevBus&) = delete;

    // Whether libudev in this process (and its children) sees the tree: under umockdev-wrapper.
    bool InMockEnvironment() const { return umockdev_in_mock_environment(); }
    // Adds the two hubs; the error text, empty when done.
    std::string AddHubs();

    bool Plug(int nCard, int nSlot, EBenchShape eShape, Done done) override;
    bool Unplug(int nCard, Done done) override;
    std::string SlotName(int nSlot) const override;
    std::string Ports(int nCard, EBenchShape eShape) const override;

private:
    struct CPlugged {
        std::string strSysPath;                 // /sys/devices/.../1-1.2
        std::vector<std::string> nodes;         // /dev/ttyUSB0 ...
        std::vector<std::string> uevented;      // its devices, parents first
    };
    std::vector<std::string> Nodes(int nCard, EBenchShape eShape) const;
    std::string Records(int nCard, int nSlot, EBenchShape eShape, CPlugged& plugged) const;
    bool LeadToCard(int nCard, const std::string& strNode);
    void RemoveDanglingLinks();
    std::string NodePath(const std::string& strNode) const;

    UMockdevTestbed* m_pTestbed;
    int m_nCards;
    std::vector<std::string> m_cardLinks;
    std::map<int, CPlugged> m_plugged;
    std::vector<UMockdevIoctlBase*> m_handlers;
};
