// The part of CSerialPort that every back end shares: what Open does before it touches a device.
#include "serial/SerialPort.h"

int CSerialPort::Open(int nPort, int nBaud, int nDataBits, int nStopBits)
{
    if (m_bOpen)
        return 1;
    if (!IsSerialPortNumber(nPort))
        return 0;
    return OpenDevice(nPort, nBaud, nDataBits, nStopBits);
}
