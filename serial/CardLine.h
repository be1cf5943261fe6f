#pragma once
#include <cstdint>

// The data card's serial line: 115200 baud, 8 data bits, no parity, 1 stop bit.
constexpr int kCardBaud = 115200;
constexpr int kCardDataBits = 8;
constexpr int kCardStopBits = 1;

// The AT channel's settings after every open of the card's port: the answer wait of one attempt
// and the attempts per command.
constexpr uint32_t kCardAnswerWait = 1000;
constexpr int kCardAnswerAttempts = 2;
