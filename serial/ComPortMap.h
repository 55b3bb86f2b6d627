#pragma once
// COM numbers on a platform without COM names: each number is an alias for a
// device path. The port search and the settings file fill the map; opening a
// port by number looks it up here.
#include <map>
#include <string>
#include <vector>

// The highest COM number the map and the settings file keep.
constexpr int kMaxComPort = 255;

// The device path that COM nNumber stands for; empty when none is known.
std::string ComPortPath(int nNumber);
void SetComPortPath(int nNumber, const std::string& strPath);
void ClearComPortPaths();
std::map<int, std::string> ComPortPaths();

// The number of a device the port search found: the number of the first of
// vecKnownPaths (in their order) that the map holds; else the lowest free
// number, which from now on stands for strNewPath. 0 when all are taken.
int ClaimComPortNumber(const std::vector<std::string>& vecKnownPaths, const std::string& strNewPath);
