#pragma once
// COM numbers on a platform without COM names: each number is an alias for a
// device path. The port search and the settings file fill the map; opening a
// port by number looks it up here.
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

// The highest COM number the map and the settings file keep: Windows'
// own ports run to COM256.
constexpr int kMaxComPort = 256;
// "COM7" for 7: the one way a COM name is written.
std::string ComName(int nNumber);
// The number of a COM name written that way ("COM7", any case, digits without
// a leading zero, 1 to kMaxComPort); false for any other text.
bool ParseComName(std::string_view text, int& nNumber);

// The numbers the dialog offers (COM1 to COM12): a new device gets one of
// them while one is free or can be freed.
constexpr int kOfferedComPorts = 12;

// One number of the map. A pin is a path the operator wrote in: it keeps its
// number for good. A number the program gave a device remembers when the
// device was last seen, so that the one gone longest can be given away.
struct SComPort {
    std::string strPath;
    bool bPinned = true;
    long long nLastSeen = 0;  // seconds since 1970; numbers the program gave only

    bool operator==(const SComPort&) const = default;
};

// A device one port search found: the paths that may already stand for it in
// the map (most telling first), and the path a new number would stand for.
struct SSeenDevice {
    std::vector<std::string> vecKnownPaths;
    std::string strNewPath;
};

// The map itself. The engine owns one; the port search, the channel's open by
// number, the settings file and the views use that one. Safe to use from the
// UI thread and a run's worker at once.
class CComPortMap {
public:
    // The device path that COM nNumber stands for: a path given to it here,
    // else the system's own name for it; empty when none is known.
    std::string Path(int nNumber) const;
    // Pins strPath to nNumber; an empty path frees the number.
    void SetPath(int nNumber, const std::string& strPath);
    void Clear();
    std::map<int, std::string> Paths() const;
    std::map<int, SComPort> Entries() const;
    void SetEntries(const std::map<int, SComPort>& entries);

    // The numbers of the devices one search found, in their order; 0 where
    // none can be had. A device the map knows keeps its number (seen at
    // nNow), a pin before a number the program gave. Then each new device
    // takes the lowest free number of the offered twelve; when all twelve are
    // taken, the one given to the device gone longest; else the lowest free
    // number above them.
    std::vector<int> ClaimNumbers(const std::vector<SSeenDevice>& devices, long long nNow);

private:
    int KnownNumber(const std::vector<std::string>& vecPaths, bool bPinned) const;
    int NumberForNewDevice(const std::set<int>& claimed);

    mutable std::mutex m_mutex;
    std::map<int, SComPort> m_ports;
};
