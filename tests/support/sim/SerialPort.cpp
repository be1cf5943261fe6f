// CSerialPort over the simulated cards: the same contract as the platform ports, with the card
// plugged at the Port number in place of the device.
#include "serial/SerialPort.h"

#include "SimSerial.h"

int CSerialPort::OpenDevice(int nPort, int nBaud, int nDataBits, int nStopBits)
{
    std::shared_ptr<CSimCard> pCard = sim::Find(nPort);
    if (!pCard || !pCard->Attach({nPort, nBaud, nDataBits, nStopBits}))
        return 0;
    m_hComm = new CSimDevice(std::move(pCard));
    m_ovRead = {};
    m_ovWrite = {};
    m_bOpen = 1;
    return 1;
}

int CSerialPort::Close()
{
    if (!m_bOpen || !m_hComm)
        return 1;
    m_hComm->Card().Detach();
    delete m_hComm;
    m_hComm = kNoSerialHandle;
    m_bOpen = 0;
    return 1;
}

int CSerialPort::Write(const void* pData, int nLength)
{
    if (!m_bOpen || !m_hComm || nLength < 0 || (!pData && nLength > 0))
        return 0;
    m_ovWrite.nLastCount = m_hComm->Card().Transmit(pData, nLength);
    return m_ovWrite.nLastCount;
}

int CSerialPort::GetInQueueCount()
{
    if (!m_bOpen || !m_hComm)
        return 0;
    return m_hComm->Card().QueuedCount();
}

int CSerialPort::Read(void* pBuffer, int nMax)
{
    if (!m_bOpen || !m_hComm || !pBuffer || nMax <= 0)
        return 0;
    m_ovRead.nLastCount = m_hComm->Card().Take(pBuffer, nMax);
    return m_ovRead.nLastCount;
}
