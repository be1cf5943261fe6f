#pragma once
// Where the bench's cards show up to the program under test: a umockdev tree (Linux) or the
// drivers' registry entries in a Wine prefix. A card is on the bus at a slot as a card (two ports)
// or as a download device (one port, product 0002).
#include <functional>
#include <string>

#include "BenchRule.h"

class IBenchBus {
public:
    virtual ~IBenchBus() = default;
    // Called once the change can be seen by the program under test.
    using Done = std::function<void()>;

    virtual bool Plug(int nCard, int nSlot, EBenchShape eShape, Done done) = 0;
    virtual bool Unplug(int nCard, Done done) = 0;
    // Waits until every change handed over so far can be seen.
    virtual void Flush() {}
    // How the program names the slot, and the card's ports in that shape ("/dev/ttyUSB0,/dev/ttyUSB1").
    virtual std::string SlotName(int nSlot) const = 0;
    virtual std::string Ports(int nCard, EBenchShape eShape) const = 0;
};

inline const char* BenchProductId(EBenchShape eShape)
{
    return eShape == EBenchShape::kCard ? "0001" : "0002";
}
