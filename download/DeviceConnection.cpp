// Opening the device for a download, and letting it go again.
#include <chrono>
#include <thread>

#include <fmt/format.h>

#include "download/CLoader.h"
#include "protocol/PermittedVersion.h"

namespace {

// The type tag that names the kind of firmware to the device.
void PutTypeTag(int nBurnType, uint8_t* pTag)
{
    static const uint8_t kTags[3][2] = {{'S', 'L'}, {'F', 'Z'}, {'X', 'P'}};
    pTag[0] = pTag[1] = 0;
    if (nBurnType >= 0 && nBurnType <= 2) {
        pTag[0] = kTags[nBurnType][0];
        pTag[1] = kTags[nBurnType][1];
    }
}

void Sleep(int nMilliseconds)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(nMilliseconds));
}

}  // namespace

int CLoader::ConnectDevice()
{
    if (!OpenDownloadPort())
        return 0;
    const CRunInputs& in = m_inputs;

    uint8_t frame[kIapFrameLength] = {};
    PutTypeTag(in.nBurnType, frame + 2);
    frame[4] = static_cast<uint8_t>(in.nVerMajor);
    frame[5] = static_cast<uint8_t>(in.nVerMinor);
    frame[6] = static_cast<uint8_t>(in.nVerPatch);
    frame[7] = (in.nBurnType == 2 && in.bChipTypeCheck) ? 1 : 0;
    // With no permitted versions in the settings, the query names 0.0.0,
    // the version that such a text permits.
    uint32_t nPermitted = 0;
    if (m_channel.IapCommand(kIapIdentify, frame, kIapFrameLength, kIapFrameLength)) {
        Log("##  the cmdcheckid is ok!\r\n", kLogBlack);
        m_nChipVersion = frame[4] * 65536 + frame[5] * 256 + frame[6];
        if (in.nBurnType == 2) {
            Log(fmt::format("##  当前芯片应用程序版本：{}.{}.{} !\r\n", frame[4], frame[5], frame[6]), kLogBlack);
            const int nTyped = (in.nVerMajor & 0xFF) * 65536 + (in.nVerMinor & 0xFF) * 256 + (in.nVerPatch & 0xFF);
            // Only a download writes: reading or comparing an older version asks nothing.
            if (in.eKind == ERunKind::kDownload && m_nChipVersion >= nTyped &&
                !m_view.AskYesNo("当前版本比原来的更老，是否继续升级?")) {
                Log("##  the Verion is too old not to update IAP !\r\n", kLogRed);
                m_channel.ClosePort();
                return 0;
            }
            if (in.strSupportVersion.empty())
                nPermitted = static_cast<uint32_t>(nTyped);
        }
        uint8_t enter[kIapFrameLength] = {0, 0, 0xAC, 0x01, 0x53, 0xFE, 0x00, 0x00};
        if (!m_channel.IapCommand(kIapEnter, enter, kIapFrameLength, kIapFrameLength)) {
            Log("##  the enter the IAP mode is error!\r\n", kLogRed);
            m_channel.ClosePort();
            return 0;
        }
    } else {
        // Not an end: a device already in IAP mode may not identify itself;
        // the query decides.
        Log("##  cmdcheckid fail!\r\n", kLogGreen);
    }

    const CPermittedVersion permitted = ParsePermittedVersion(in.strSupportVersion);
    if (!in.strSupportVersion.empty())
        nPermitted = PermittedVersionValue(permitted);
    uint8_t query[kIapFrameLength] = {};
    query[2] = static_cast<uint8_t>(nPermitted);
    query[3] = static_cast<uint8_t>(nPermitted >> 8);
    query[4] = static_cast<uint8_t>(nPermitted >> 16);
    query[5] = 0;
    PutTypeTag(in.nBurnType, query + 6);
    if (!m_channel.IapCommand(kIapQuery, query, kIapFrameLength, kIapFrameLength)) {
        Log("## Flash  查询iap模式 Error !\r\n", kLogRed);
        m_channel.ClosePort();
        return 0;
    }
    if (in.nBurnType >= 2)
        return 1;
    if (VersionPermitted(permitted, query[2], query[3], query[4]))
        return 1;
    Log(fmt::format("##  当前的固件版本[{}.{}.{}]没有升级的权限，禁止升级 !\r\n", query[2], query[3], query[4]),
        kLogRed);
    m_channel.ClosePort();
    return 0;
}

int CLoader::DisconnectDevice()
{
    // The device needs a moment after the last read before it takes a command,
    // and another after leaving IAP mode before the line may drop.
    Sleep(300);
    uint8_t leave[kIapFrameLength] = {0, 0, 0xFE, 0x53, 0x01, 0xAC, 0x00, 0x00};
    if (m_channel.IapCommand(kIapLeave, leave, kIapFrameLength, kIapFrameLength)) {
        Sleep(500);
        Log("##  the disconnect is ok!\r\n", kLogBlack);
        m_channel.ClosePort();
        return 1;
    }
    Log("##  the exit the IAP mode is error!\r\n", kLogRed);
    m_channel.ClosePort();
    return 0;
}
