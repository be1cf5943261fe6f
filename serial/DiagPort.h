#pragma once
#include "serial/SerialPort.h"

// The card's diagnostic port, held open (and so unavailable to other programs) while the card is
// found. Nothing is ever sent or received on it.
class CDiagPort {
public:
    CDiagPort() = default;
    virtual ~CDiagPort() = default;

    CSerialPort m_port;
};
