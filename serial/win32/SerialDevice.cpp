// The serial device on Windows (being written).
#include "serial/SerialDevice.h"

CSerialDevice::~CSerialDevice() {}
bool CSerialDevice::Open(const std::string&, const CLineSettings&, std::string& strError)
{
    strError = "not written yet";
    return false;
}
void CSerialDevice::Close() {}
bool CSerialDevice::IsOpen() const { return false; }
EIoStatus CSerialDevice::Write(const uint8_t*, size_t, int) { return EIoStatus::kError; }
size_t CSerialDevice::PendingOutput() const { return 0; }
EIoStatus CSerialDevice::ReadByte(uint8_t&, int) { return EIoStatus::kError; }
size_t CSerialDevice::ReadAvailable(uint8_t*, size_t, EIoStatus& status) { status = EIoStatus::kError; return 0; }
void CSerialDevice::Purge() {}
void CSerialDevice::DropStaleInput(int, int) {}
