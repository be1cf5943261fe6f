#pragma once
// The channel's own port, for tests that open it with settings of their own or look at its queue.
#include "serial/AtChannel.h"

struct CAtChannelTestAccess {
    static CSerialPort& Port(CAtChannel& channel) { return channel.m_port; }
};

inline CSerialPort& ChannelPort(CAtChannel& channel)
{
    return CAtChannelTestAccess::Port(channel);
}
