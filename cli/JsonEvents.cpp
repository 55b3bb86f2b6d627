#include "cli/JsonEvents.h"

#include <cstdint>

#include <fmt/format.h>

#include "core/LogSink.h"

namespace {

const char* PhaseName(ERunPass pass)
{
    switch (pass) {
    case ERunPass::kWrite: return "write";
    case ERunPass::kRead: return "read";
    case ERunPass::kVerify: break;
    }
    return "verify";
}

const char* LogColourName(int nColour)
{
    switch (nColour) {
    case kLogBlack: return "black";
    case kLogDarkRed: return "dark-red";
    case kLogRed: return "red";
    case kLogBlue: return "blue";
    case kLogGreen: return "green";
    default: return "default";
    }
}

bool IsUtf8(const std::string& strText)
{
    try {
        (void)nlohmann::json(strText).dump();
        return true;
    } catch (const nlohmann::json::type_error&) {
        return false;
    }
}

}  // namespace

long long ProgressPercent(int nPosition, int nTotal)
{
    return nTotal > 0 ? static_cast<long long>(nPosition) * 100 / nTotal : 0;
}

std::string JsonLine(const nlohmann::json& event)
{
    // Paths and device texts are not always UTF-8: a bad byte becomes U+FFFD
    // instead of ending the output, and the text's own bytes go beside it in
    // hex ("port_hex"), so that two names that read the same stay apart.
    nlohmann::json whole = event;
    for (const auto& [strKey, value] : event.items()) {
        if (!value.is_string() || IsUtf8(value.get_ref<const std::string&>()))
            continue;
        std::string strHex;
        for (const char c : value.get_ref<const std::string&>())
            strHex += fmt::format("{:02x}", static_cast<uint8_t>(c));
        whole[strKey + "_hex"] = strHex;
    }
    return whole.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

nlohmann::json StartEvent(const std::string& strPort, const std::string& strFile, const nlohmann::json& size)
{
    return {{"event", "start"}, {"port", strPort}, {"file", strFile}, {"size", size}};
}

nlohmann::json LogEvent(const std::string& strPort, const std::string& strText, int nColour)
{
    return {{"event", "log"}, {"port", strPort}, {"text", strText}, {"colour", LogColourName(nColour)}};
}

nlohmann::json ProgressEvent(const std::string& strPort, ERunPass pass, int nPosition, int nTotal)
{
    return {{"event", "progress"},   {"port", strPort}, {"phase", PhaseName(pass)},
            {"position", nPosition}, {"total", nTotal}, {"percent", ProgressPercent(nPosition, nTotal)}};
}

nlohmann::json ResultEvent(const SPortResult& result)
{
    nlohmann::json event = {{"event", "result"},
                            {"port", result.strPort},
                            {"class", ResultClass(result)},
                            {"exit_status", ResultExitStatus(result)},
                            {"bytes", result.nBytes},
                            {"bytes_written", result.nBytesWritten},
                            {"seconds", result.dSeconds},
                            {"device_version", result.strDeviceVersion},
                            {"path", result.strDevicePath}};
    if (!result.strUsbVendor.empty() || !result.strUsbSerial.empty()) {
        event["usb_vendor"] = result.strUsbVendor;
        event["usb_product"] = result.strUsbProduct;
        event["usb_serial"] = result.strUsbSerial;
    }
    return event;
}

nlohmann::json WatchResultEvent(const SPortResult& result, int nDone, int nSucceeded)
{
    nlohmann::json event = ResultEvent(result);
    event["done"] = nDone;
    event["succeeded"] = nSucceeded;
    event["failed"] = nDone - nSucceeded;
    return event;
}

nlohmann::json SummaryEvent(const std::vector<SPortResult>& results)
{
    int nSucceeded = 0;
    for (const SPortResult& result : results)
        nSucceeded += ResultExitStatus(result) == kExitSuccess;
    return {{"event", "summary"},
            {"ports", results.size()},
            {"succeeded", nSucceeded},
            {"failed", results.size() - static_cast<size_t>(nSucceeded)},
            {"exit_status", HighestExitStatus(results)}};
}

nlohmann::json WatchEvent(bool bHotPlugEvents, int nLeftAlone, const std::string& strPortFilter)
{
    return {{"event", "watch"},
            {"hot_plug_events", bHotPlugEvents},
            {"left_alone", nLeftAlone},
            {"port_filter", strPortFilter}};
}
