#pragma once
// Which devices a watch flashes, from what it sees at each look: each device
// once while it stays plugged in, those present at the first look only when
// asked, and only those the port filter lets through. Nothing here touches a
// device; the watch feeds it what it sees.
#include <set>
#include <string>
#include <vector>

#include "serial/DeviceWatch.h"

// Whether strPath, or its last part ("ttyUSB0" of "/dev/ttyUSB0", "COM5" of
// "\\.\COM5"), matches strGlob: "*" any run of characters, "?" one, "[a-z]"
// and "[!0]" one of a set; letters match either case, as COM names do. An
// empty glob matches every path.
bool MatchesPortFilter(const std::string& strPath, const std::string& strGlob);
// Why strGlob is no port filter (a "[" set without its "]"); empty when it is one.
std::string PortFilterProblem(const std::string& strGlob);

class CPlugTracker {
public:
    CPlugTracker(std::string strFilter, bool bIncludePresent);

    // The devices present now; returns those to flash, in the order given.
    // A device is its path, what the path leads to and, where known, its USB
    // serial number, so that another board on the same path between two
    // looks (a simulator restarted behind its link, a link made anew to
    // another device) is a new device.
    std::vector<SSerialDevice> Update(const std::vector<SSerialDevice>& present);
    // The next Update offers device again if it is still there (its path was
    // busy with an earlier run, say).
    void Forget(const SSerialDevice& device);
    // How many devices the first look found and left alone.
    size_t LeftAlone() const { return m_nLeftAlone; }

private:
    const std::string m_strFilter;
    const bool m_bIncludePresent;
    bool m_bFirstLook = true;
    size_t m_nLeftAlone = 0;
    std::set<std::string> m_seen;  // the devices present and dealt with
};
