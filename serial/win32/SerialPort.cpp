// STUB: to be replaced by the Win32 serial port.
#include "serial/SerialPort.h"

CSerialPort::CSerialPort() : m_hComm(nullptr), m_ovRead{}, m_ovWrite{}, m_bOpen(0) {}
CSerialPort::~CSerialPort() { Close(); }
int CSerialPort::Open(int, int, int, int) { return 0; }
int CSerialPort::Close() { return 1; }
int CSerialPort::Write(const void*, int) { return 0; }
int CSerialPort::GetInQueueCount() { return 0; }
int CSerialPort::Read(void*, int) { return 0; }
