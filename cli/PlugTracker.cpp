#include "cli/PlugTracker.h"

#include <cctype>
#include <string_view>

#include <fmt/format.h>

namespace {

char Folded(char c)
{
    return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

// One "[...]" set at the start of glob: its length, 0 for a "[" without its
// "]"; with pc, whether *pc is one of it.
size_t ScanSet(std::string_view glob, const char* pc, bool& bFound)
{
    size_t i = 1;
    const bool bNegated = i < glob.size() && (glob[i] == '!' || glob[i] == '^');
    if (bNegated)
        ++i;
    bFound = false;
    // A "]" right after the opening is a member, as in the shell.
    for (bool bFirst = true; i < glob.size() && (glob[i] != ']' || bFirst); bFirst = false) {
        if (i + 2 < glob.size() && glob[i + 1] == '-' && glob[i + 2] != ']') {
            bFound = bFound || (pc && Folded(glob[i]) <= Folded(*pc) && Folded(*pc) <= Folded(glob[i + 2]));
            i += 3;
        } else {
            bFound = bFound || (pc && Folded(glob[i]) == Folded(*pc));
            ++i;
        }
    }
    if (i >= glob.size())
        return 0;
    bFound = bFound != bNegated;
    return i + 1;
}

// One "[...]" set at the start of glob, against c; the set's length in nLength
// (0 for a "[" without its "]", which then matches itself).
bool MatchesSet(std::string_view glob, char c, size_t& nLength)
{
    bool bFound = false;
    nLength = ScanSet(glob, &c, bFound);
    return nLength == 0 ? c == '[' : bFound;
}

// The usual matcher with one step back: a "*" that fails is retried one
// character further, never recursively, so a hostile filter cannot make it
// take long.
bool Matches(std::string_view text, std::string_view glob)
{
    size_t t = 0, g = 0;
    size_t nStarGlob = std::string_view::npos, nStarText = 0;
    while (t < text.size()) {
        if (g < glob.size() && glob[g] == '*') {
            nStarGlob = ++g;
            nStarText = t;
            continue;
        }
        if (g < glob.size()) {
            size_t nLength = 1;
            const bool bMatch = glob[g] == '?'   ? true
                                : glob[g] == '[' ? MatchesSet(glob.substr(g), text[t], nLength)
                                                 : Folded(glob[g]) == Folded(text[t]);
            if (bMatch) {
                g += nLength == 0 ? 1 : nLength;
                ++t;
                continue;
            }
        }
        if (nStarGlob == std::string_view::npos)
            return false;
        g = nStarGlob;
        t = ++nStarText;
    }
    while (g < glob.size() && glob[g] == '*')
        ++g;
    return g == glob.size();
}

std::string DeviceKey(const SSerialDevice& device)
{
    return device.strPath + '\n' + device.strUsbSerial + '\n' + device.strIdentity;
}

}  // namespace

bool MatchesPortFilter(const std::string& strPath, const std::string& strGlob)
{
    if (strGlob.empty())
        return true;
    const size_t nSlash = strPath.find_last_of("/\\");
    return Matches(strPath, strGlob) ||
           (nSlash != std::string::npos && Matches(std::string_view(strPath).substr(nSlash + 1), strGlob));
}

std::string PortFilterProblem(const std::string& strGlob)
{
    for (size_t i = 0; i < strGlob.size(); ++i) {
        if (strGlob[i] != '[')
            continue;
        bool bFound = false;
        const size_t nLength = ScanSet(std::string_view(strGlob).substr(i), nullptr, bFound);
        if (nLength == 0)
            return fmt::format("bad port filter '{}': the set opened at character {} has no closing ']'", strGlob,
                               i + 1);
        i += nLength - 1;
    }
    return std::string();
}

CPlugTracker::CPlugTracker(std::string strFilter, bool bIncludePresent)
    : m_strFilter(std::move(strFilter)), m_bIncludePresent(bIncludePresent)
{}

std::vector<SSerialDevice> CPlugTracker::Update(const std::vector<SSerialDevice>& present)
{
    std::vector<SSerialDevice> wanted;
    std::set<std::string> presentKeys;
    for (const SSerialDevice& device : present) {
        if (MatchesPortFilter(device.strPath, m_strFilter) && presentKeys.insert(DeviceKey(device)).second)
            wanted.push_back(device);
    }
    // A device unplugged is forgotten: plugged in again, it is flashed again.
    std::erase_if(m_seen, [&](const std::string& strKey) { return !presentKeys.contains(strKey); });
    const bool bFirstLook = m_bFirstLook;
    m_bFirstLook = false;
    if (bFirstLook && !m_bIncludePresent) {
        m_seen = presentKeys;
        m_nLeftAlone = presentKeys.size();
        return {};
    }
    std::vector<SSerialDevice> fresh;
    for (const SSerialDevice& device : wanted) {
        if (m_seen.insert(DeviceKey(device)).second)
            fresh.push_back(device);
    }
    return fresh;
}

void CPlugTracker::Forget(const SSerialDevice& device)
{
    m_seen.erase(DeviceKey(device));
}
