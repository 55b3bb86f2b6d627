#pragma once
// Every JSON event vantrel-cli writes with --json, one object per line:
// start, log, progress, result, summary and watch. Line-control software
// reads these; their fields are documented in the README.
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli/PortResults.h"
#include "download/LoaderView.h"

// One event as its line, without the line end. A text that is not UTF-8
// keeps its bytes in hex beside it ("port_hex"), so that two names that
// read the same stay apart.
std::string JsonLine(const nlohmann::json& event);

// size: the bytes read of the file, or null when it could not be read.
nlohmann::json StartEvent(const std::string& strPort, const std::string& strFile, const nlohmann::json& size);
nlohmann::json LogEvent(const std::string& strPort, const std::string& strText, int nColour);
nlohmann::json ProgressEvent(const std::string& strPort, ERunPass pass, int nPosition, int nTotal);
nlohmann::json ResultEvent(const SPortResult& result);
// A result during a watch, with the running count of devices done.
nlohmann::json WatchResultEvent(const SPortResult& result, int nDone, int nSucceeded);
nlohmann::json SummaryEvent(const std::vector<SPortResult>& results);
nlohmann::json WatchEvent(bool bHotPlugEvents, int nLeftAlone, const std::string& strPortFilter);

// The whole percent of a pass, as progress events and lines show it.
long long ProgressPercent(int nPosition, int nTotal);
