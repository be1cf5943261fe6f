// The part of CSerialPort that every back end shares: what Open does before it touches a device,
// and the record of the last failing call.
#include "serial/SerialPort.h"

int CSerialPort::Open(int nPort, int nBaud, int nDataBits, int nStopBits)
{
    if (m_bOpen)
        return 1;
    if (!IsSerialPortNumber(nPort))
        return 0;
    return OpenDevice(nPort, nBaud, nDataBits, nStopBits);
}

int CSerialPort::Fail(const char* pszCall, int nCode)
{
    m_lastError.strCall = pszCall;
    m_lastError.nCode = nCode;
    return 0;
}

std::optional<int> PortNumberOfName(const std::string& strDevice)
{
    std::string strDigits = strDevice;
    if (strDigits.size() > 3 && (strDigits[0] | 0x20) == 'c' && (strDigits[1] | 0x20) == 'o' && (strDigits[2] | 0x20) == 'm')
        strDigits.erase(0, 3);
    if (strDigits.empty() || strDigits.size() > 8 ||
        strDigits.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    const int nPort = std::stoi(strDigits);
    if (!IsSerialPortNumber(nPort))
        return std::nullopt;
    return nPort;
}

int CSerialPort::OpenNamed(const std::string& strDevice, int nBaud, int nDataBits, int nStopBits)
{
    if (m_bOpen)
        return 1;
    if (const std::optional<int> nPort = PortNumberOfName(strDevice))
        return OpenDevice(*nPort, nBaud, nDataBits, nStopBits);
    if (strDevice.empty())
        return 0;
    return OpenDevicePath(strDevice, nBaud, nDataBits, nStopBits);
}
