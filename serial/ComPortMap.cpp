#include "serial/ComPortMap.h"

#include <mutex>
#include <set>

namespace {

std::mutex g_comPortMutex;
std::map<int, SComPort> g_comPorts;

// The number of the first of vecPaths that a pin (or a number the program
// gave) stands for; 0 when none.
int KnownNumber(const std::vector<std::string>& vecPaths, bool bPinned)
{
    for (const std::string& strPath : vecPaths) {
        for (const auto& [nNumber, port] : g_comPorts) {
            if (port.bPinned == bPinned && port.strPath == strPath)
                return nNumber;
        }
    }
    return 0;
}

// The number for a device the map does not know, or 0. Numbers claimed in
// this search belong to devices present now and are never given away.
int NumberForNewDevice(const std::set<int>& claimed)
{
    for (int nNumber = 1; nNumber <= kOfferedComPorts; ++nNumber) {
        if (!g_comPorts.contains(nNumber))
            return nNumber;
    }
    // Beyond the twelve the dialog cannot choose it and AUTOCHECK never
    // reaches it, so a number of a device long gone is better.
    int nOldest = 0;
    for (int nNumber = 1; nNumber <= kOfferedComPorts; ++nNumber) {
        const SComPort& port = g_comPorts[nNumber];
        if (!port.bPinned && !claimed.contains(nNumber) &&
            (nOldest == 0 || port.nLastSeen < g_comPorts[nOldest].nLastSeen))
            nOldest = nNumber;
    }
    if (nOldest != 0)
        return nOldest;
    for (int nNumber = kOfferedComPorts + 1; nNumber <= kMaxComPort; ++nNumber) {
        if (!g_comPorts.contains(nNumber))
            return nNumber;
    }
    return 0;
}

}  // namespace

std::string ComPortPath(int nNumber)
{
    std::lock_guard<std::mutex> lock(g_comPortMutex);
    auto it = g_comPorts.find(nNumber);
    return it == g_comPorts.end() ? std::string() : it->second.strPath;
}

void SetComPortPath(int nNumber, const std::string& strPath)
{
    std::lock_guard<std::mutex> lock(g_comPortMutex);
    if (strPath.empty())
        g_comPorts.erase(nNumber);
    else
        g_comPorts[nNumber] = SComPort {strPath, true, 0};
}

void ClearComPortPaths()
{
    std::lock_guard<std::mutex> lock(g_comPortMutex);
    g_comPorts.clear();
}

std::map<int, std::string> ComPortPaths()
{
    std::lock_guard<std::mutex> lock(g_comPortMutex);
    std::map<int, std::string> paths;
    for (const auto& [nNumber, port] : g_comPorts)
        paths.emplace(nNumber, port.strPath);
    return paths;
}

std::map<int, SComPort> ComPortEntries()
{
    std::lock_guard<std::mutex> lock(g_comPortMutex);
    return g_comPorts;
}

void SetComPortEntries(const std::map<int, SComPort>& entries)
{
    std::lock_guard<std::mutex> lock(g_comPortMutex);
    g_comPorts = entries;
}

std::vector<int> ClaimComPortNumbers(const std::vector<SSeenDevice>& devices, long long nNow)
{
    std::lock_guard<std::mutex> lock(g_comPortMutex);
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
        SComPort& port = g_comPorts[numbers[i]];
        if (!port.bPinned)
            port.nLastSeen = nNow;
    }
    for (size_t i = 0; i < devices.size(); ++i) {
        if (numbers[i] != 0)
            continue;
        numbers[i] = NumberForNewDevice(claimed);
        if (numbers[i] == 0)
            continue;
        g_comPorts[numbers[i]] = SComPort {devices[i].strNewPath, false, nNow};
        claimed.insert(numbers[i]);
    }
    return numbers;
}
