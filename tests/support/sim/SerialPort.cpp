// CSerialPort over the simulated cards: the same contract as the platform ports, with the card
// plugged at the Port number in place of the device. Failures are recorded with the errno values
// that a POSIX device would give in the same situation.
#include "serial/SerialPort.h"

#include <cerrno>

#include "SimSerial.h"

int CSerialPort::OpenDevice(int nPort, int nBaud, int nDataBits, int nStopBits)
{
    std::shared_ptr<CSimCard> pCard = sim::Find(nPort);
    if (!pCard)
        return Fail("open", ENOENT);
    if (!pCard->Attach({nPort, nBaud, nDataBits, nStopBits}))
        return Fail("open", EBUSY);
    m_pDevice = new CSerialDevice(std::move(pCard));
    m_bOpen = 1;
    return 1;
}

int CSerialPort::OpenDevicePath(const std::string&, int, int, int)
{
    return Fail("open", ENOENT);   // simulated cards sit at Port numbers only
}

int CSerialPort::Close()
{
    if (!m_bOpen || !m_pDevice)
        return 1;
    m_pDevice->Card().Detach();
    delete m_pDevice;
    m_pDevice = nullptr;
    m_bOpen = 0;
    return 1;
}

int CSerialPort::Write(const void* pData, int nLength)
{
    if (!m_bOpen || !m_pDevice || nLength < 0 || (!pData && nLength > 0))
        return 0;
    const int nWritten = m_pDevice->Card().Transmit(pData, nLength);
    if (nWritten == 0 && nLength > 0)
        return Fail("write", EIO);
    return nWritten;
}

int CSerialPort::GetInQueueCount()
{
    if (!m_bOpen || !m_pDevice)
        return 0;
    return m_pDevice->Card().QueuedCount();
}

int CSerialPort::Read(void* pBuffer, int nMax)
{
    if (!m_bOpen || !m_pDevice || !pBuffer || nMax <= 0)
        return 0;
    return m_pDevice->Card().Take(pBuffer, nMax);
}

std::string SerialDeviceOfName(const std::string& strName)
{
    if (const std::optional<int> nPort = PortNumberOfName(strName))
        return "COM" + std::to_string(*nPort);
    return strName;
}

void RestoreSerialPortsForExit() {}
