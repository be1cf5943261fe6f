#pragma once
// The mode commands as the card receives them, short enough to read in the tests' scripts.
#include <string>

inline const std::string E = "AT+YCDRUN=E";
inline const std::string K8 = "AT+YCDRUN=8";
inline const std::string F = "AT+YCDRUN=F";
inline const std::string K9 = "AT+YCDRUN=9";
inline const std::string N = "AT+YCDRUN=N";
