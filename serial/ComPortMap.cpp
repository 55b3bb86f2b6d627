#include "serial/ComPortMap.h"

#include <mutex>

namespace {
std::mutex g_comPortMutex;
std::map<int, std::string> g_comPorts;
}  // namespace

std::string ComPortPath(int nNumber)
{
    std::lock_guard<std::mutex> lock(g_comPortMutex);
    auto it = g_comPorts.find(nNumber);
    return it == g_comPorts.end() ? std::string() : it->second;
}

void SetComPortPath(int nNumber, const std::string& strPath)
{
    std::lock_guard<std::mutex> lock(g_comPortMutex);
    if (strPath.empty())
        g_comPorts.erase(nNumber);
    else
        g_comPorts[nNumber] = strPath;
}

void ClearComPortPaths()
{
    std::lock_guard<std::mutex> lock(g_comPortMutex);
    g_comPorts.clear();
}

std::map<int, std::string> ComPortPaths()
{
    std::lock_guard<std::mutex> lock(g_comPortMutex);
    return g_comPorts;
}

int ClaimComPortNumber(const std::vector<std::string>& vecKnownPaths, const std::string& strNewPath)
{
    std::lock_guard<std::mutex> lock(g_comPortMutex);
    for (const std::string& strPath : vecKnownPaths) {
        for (const auto& [nNumber, strMapped] : g_comPorts) {
            if (strMapped == strPath)
                return nNumber;
        }
    }
    for (int nNumber = 1; nNumber <= kMaxComPort; ++nNumber) {
        if (g_comPorts.emplace(nNumber, strNewPath).second)
            return nNumber;
    }
    return 0;
}
