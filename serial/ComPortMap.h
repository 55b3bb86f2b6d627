#pragma once
// COM numbers on a platform without COM names: each number is an alias for a
// device path. The port search and the settings file fill the map; opening a
// port by number looks it up here.
#include <map>
#include <string>

// The device path that COM nNumber stands for; empty when none is known.
std::string ComPortPath(int nNumber);
void SetComPortPath(int nNumber, const std::string& strPath);
void ClearComPortPaths();
std::map<int, std::string> ComPortPaths();
