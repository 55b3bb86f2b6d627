#include "serial/ComPortMap.h"

#include <fmt/format.h>

#include "core/TextNumber.h"
#include "serial/SerialDevice.h"

std::string ComName(int nNumber)
{
    return fmt::format("COM{}", nNumber);
}

bool ParseComName(std::string_view text, int& nNumber)
{
    if (text.size() < 4 || text.size() > 6 || !EqualsNoCase(text.substr(0, 3), "COM") || text[3] == '0' ||
        text.find_first_not_of("0123456789", 3) != std::string_view::npos)
        return false;
    const int nValue = LeadingDecimal(text.substr(3));
    if (nValue < 1 || nValue > kMaxComPort)
        return false;
    nNumber = nValue;
    return true;
}

// The number of the first of vecPaths that a pin (or a number the program
// gave) stands for; 0 when none.
int CComPortMap::KnownNumber(const std::vector<std::string>& vecPaths, bool bPinned) const
{
    for (const std::string& strPath : vecPaths) {
        for (const auto& [nNumber, port] : m_ports) {
            if (port.bPinned == bPinned && port.strPath == strPath)
                return nNumber;
        }
    }
    return 0;
}

// The number for a device the map does not know, or 0. Numbers claimed in
// this search belong to devices present now and are never given away.
int CComPortMap::NumberForNewDevice(const std::set<int>& claimed)
{
    for (int nNumber = 1; nNumber <= kOfferedComPorts; ++nNumber) {
        if (!m_ports.contains(nNumber))
            return nNumber;
    }
    // Beyond the twelve the dialog cannot choose it and AUTOCHECK never
    // reaches it, so a number of a device long gone is better.
    int nOldest = 0;
    for (int nNumber = 1; nNumber <= kOfferedComPorts; ++nNumber) {
        const SComPort& port = m_ports[nNumber];
        if (!port.bPinned && !claimed.contains(nNumber) &&
            (nOldest == 0 || port.nLastSeen < m_ports[nOldest].nLastSeen))
            nOldest = nNumber;
    }
    if (nOldest != 0)
        return nOldest;
    for (int nNumber = kOfferedComPorts + 1; nNumber <= kMaxComPort; ++nNumber) {
        if (!m_ports.contains(nNumber))
            return nNumber;
    }
    return 0;
}

std::string CComPortMap::Path(int nNumber) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_ports.find(nNumber);
    return it == m_ports.end() ? SystemComPortPath(nNumber) : it->second.strPath;
}

void CComPortMap::SetPath(int nNumber, const std::string& strPath)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (strPath.empty())
        m_ports.erase(nNumber);
    else
        m_ports[nNumber] = SComPort {strPath, true, 0};
}

void CComPortMap::Clear()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_ports.clear();
}

std::map<int, std::string> CComPortMap::Paths() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::map<int, std::string> paths;
    for (const auto& [nNumber, port] : m_ports)
        paths.emplace(nNumber, port.strPath);
    return paths;
}

std::map<int, SComPort> CComPortMap::Entries() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_ports;
}

void CComPortMap::SetEntries(const std::map<int, SComPort>& entries)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_ports = entries;
}

std::vector<int> CComPortMap::ClaimNumbers(const std::vector<SSeenDevice>& devices, long long nNow)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<int> numbers(devices.size(), 0);
    std::set<int> claimed;
    // Known devices first: a new one must not be given the number of a
    // device that is here too, only later in the list. A device the operator
    // pinned under one of its names takes the pin, whatever number the
    // program gave it before.
    for (size_t i = 0; i < devices.size(); ++i) {
        numbers[i] = KnownNumber(devices[i].vecKnownPaths, true);
        if (numbers[i] == 0)
            numbers[i] = KnownNumber(devices[i].vecKnownPaths, false);
        if (numbers[i] == 0)
            continue;
        claimed.insert(numbers[i]);
        SComPort& port = m_ports[numbers[i]];
        if (!port.bPinned)
            port.nLastSeen = nNow;
    }
    for (size_t i = 0; i < devices.size(); ++i) {
        if (numbers[i] != 0)
            continue;
        numbers[i] = NumberForNewDevice(claimed);
        if (numbers[i] == 0)
            continue;
        m_ports[numbers[i]] = SComPort {devices[i].strNewPath, false, nNow};
        claimed.insert(numbers[i]);
    }
    return numbers;
}
