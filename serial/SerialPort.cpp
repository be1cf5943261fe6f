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
