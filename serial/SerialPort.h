#pragma once
// The program's only access to a serial device: open COMn with speed and framing, purge-then-write,
// the count of queued received bytes, a read of at most those bytes, close. Every call is bounded:
// Open and Close do not wait, Write waits at most 10000 ms, Read at most 2000 ms.
//
// One header, one implementation file per platform (serial/win32, serial/posix, and the tests'
// simulated back end), chosen when a program is linked. Each defines CSerialDevice, the open
// device's own record, and the five device operations below; the rest lives in serial/SerialPort.cpp.
#include <optional>
#include <string>

// The Port number a user's name for a port gives: "COM5" (any case) and "5" give 5; nothing for a
// name that is no such number (a device path), or one outside 1..99999999.
std::optional<int> PortNumberOfName(const std::string& strDevice);

// The device a user's name for a port opens, as it is shown to that user: "5" and "COM5" are
// "COM5" on Windows and the mapped terminal ("/dev/ttyS4") elsewhere; a path stays as it is.
std::string SerialDeviceOfName(const std::string& strName);

// Hands every port still open in this process back as it was found (exclusive use released, line
// settings from before the open), without closing it: for a program about to end at once, from a
// signal handler too. Does nothing where ports need no handing back.
void RestoreSerialPortsForExit();

// Port numbers a device path can name: at most eight digits, so the path and mode-string buffers
// of every back end hold them.
constexpr int kMaxSerialPortNumber = 99999999;

inline bool IsSerialPortNumber(int nPort)
{
    return nPort >= 1 && nPort <= kMaxSerialPortNumber;
}

// The back end's record of an open device (a handle and its requests, a descriptor, a simulated card).
struct CSerialDevice;

// The calls a back end makes on the requests it has started, where it has such requests (Win32:
// ReadFile, WriteFile and the waits, cancels and results after them, and the calls that set the
// line; serial/win32/RequestCalls.h).
// A port made without them uses the system's.
struct CSerialRequestCalls;

// The last system call that failed on a port and the error it gave (GetLastError() on Windows,
// errno elsewhere). strCall is empty while nothing has failed.
struct CSerialError {
    std::string strCall;
    int nCode = 0;
};

// The speed and framing an open asks for; parity is always none.
struct CLineSettings {
    int nBaud;
    int nDataBits;
    int nStopBits;
};

class CSerialPort {
public:
    CSerialPort() = default;
    // A port whose requests go through these calls instead of the system's: a layer between the port
    // and the driver. They must outlive the port. Back ends without such requests ignore them.
    explicit CSerialPort(const CSerialRequestCalls& calls) : m_pRequestCalls(&calls) {}
    ~CSerialPort() { Close(); }
    CSerialPort(const CSerialPort&) = delete;
    CSerialPort& operator=(const CSerialPort&) = delete;

    // Non-zero when the port is open afterwards. On an open object: non-zero at once, unchanged,
    // whatever nPort says. Parity is always none. nPort outside 1..99999999 gives 0 and touches nothing.
    int Open(int nPort, int nBaud, int nDataBits, int nStopBits);
    // Open by the name a user gives: "COM5" (any case) or "5" is Port number 5; anything else is
    // the platform's device path as it stands ("/dev/ttyUSB2", "\\.\COM5").
    int OpenNamed(const std::string& strDevice, int nBaud, int nDataBits, int nStopBits);
    // Always non-zero; does nothing when closed.
    int Close();
    // Discards unread input and aborts outstanding requests, then sends; bytes written, 0 on failure.
    int Write(const void* pData, int nLength);
    // Bytes waiting in the driver's input queue; 0 when closed. Never blocks.
    int GetInQueueCount();
    // Reads at most min(queued, nMax) bytes into pBuffer; returns the count the read request reported
    // when it was started (0 for one that went pending). Never waits when nothing is queued.
    int Read(void* pBuffer, int nMax);
    int IsOpen() const { return m_bOpen; }

    // The last failing system call of this port, kept until the next one fails (a successful call
    // does not clear it); ClearLastError forgets it.
    const CSerialError& LastError() const { return m_lastError; }
    void ClearLastError() { m_lastError = {}; }

private:
    // The platform's part of Open, called on a closed object with a valid port number.
    int OpenDevice(int nPort, int nBaud, int nDataBits, int nStopBits);
    int OpenDevicePath(const std::string& strPath, int nBaud, int nDataBits, int nStopBits);
    // The Win32 back end's common part of both opens.
    int OpenHandle(const char* pszPath, const CLineSettings& line);
    // Records a failing system call; returns 0 so that a back end can write `return Fail(...)`.
    int Fail(const char* pszCall, int nCode);

    CSerialDevice* m_pDevice = nullptr;
    [[maybe_unused]] const CSerialRequestCalls* m_pRequestCalls = nullptr;   // null: the system's
    CSerialError m_lastError;
    int m_bOpen = 0;
};
