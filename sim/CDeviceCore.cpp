#include "sim/CDeviceCore.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "protocol/Checksums.h"

namespace {
constexpr uint8_t kMarker = 0xFE;
constexpr uint8_t kIdentify = 0x03;
constexpr uint8_t kEnter = 0x02;
constexpr uint8_t kQuery = 0xE3;
constexpr uint8_t kLeave = 0xEC;
constexpr uint8_t kAccepted = 0x55;
constexpr uint8_t kRefused = 0xAA;
constexpr uint8_t kSetAddress = 0xC1;
constexpr uint8_t kWriteTwo = 0xC2;
constexpr uint8_t kWriteOne = 0xC3;
constexpr uint8_t kRead = 0xCA;
constexpr int kIapLength = 10;
constexpr uint32_t kAddressMask = kSimMemorySize - 1;

// The whole frame length a first byte announces; 0 for a byte that starts nothing.
int FrameLength(uint8_t nFirst)
{
    switch (nFirst) {
    case kMarker: return kIapLength;
    case kSetAddress: return 5;
    case kWriteTwo: return 4;
    case kWriteOne:
    case kRead: return 3;
    default: return 0;
    }
}

bool FlashAccepted(uint8_t nStatus)
{
    return (nStatus & 0xF0) == 0xC0;
}

// Enter and leave carry a fixed key so that line noise cannot switch modes.
bool KeyMatches(const uint8_t* pFrame, uint8_t a, uint8_t b, uint8_t c, uint8_t d)
{
    return pFrame[2] == a && pFrame[3] == b && pFrame[4] == c && pFrame[5] == d;
}
}  // namespace

CDeviceCore::CDeviceCore() : m_vecMemory(kSimMemorySize, 0xFF)
{
    Configure(CSimConfig());
}

void CDeviceCore::Configure(const CSimConfig& config)
{
    m_appVersion = config.m_appVersion;
    m_fwVersion = config.m_fwVersion;
    m_anStatus.fill(-1);
    for (const auto& [nCode, nStatus] : config.m_mapStatus)
        m_anStatus[nCode] = nStatus;
    m_vecFaults = config.m_vecFaults;
    m_abFaulty.fill(false);
    for (const CSimFault& fault : m_vecFaults)
        m_abFaulty[fault.m_nCode] = true;
    m_vecRefused = config.m_vecRefusedWrites;
    for (uint32_t& nAddress : m_vecRefused)
        nAddress &= kAddressMask;
    std::sort(m_vecRefused.begin(), m_vecRefused.end());
    m_mapCorrupt.clear();
    for (const CCorruptByte& corrupt : config.m_vecCorrupt)
        m_mapCorrupt[corrupt.m_nAddress & kAddressMask] = corrupt;
    m_nSilentAfter = config.m_nSilentAfter;
    m_bFlashNeedsIapMode = config.m_bFlashNeedsIapMode;
    m_bEraseOnEnter = config.m_bEraseOnEnter;
    m_bRecordFrames = config.m_bRecordFrames;
    m_bTrace = config.m_bTrace;
    m_bEcho = config.m_bEcho;
    m_anSeen.fill(0);
    m_nSinceConfig = 0;
}

int CDeviceCore::Feed(const uint8_t* pData, int nLength, std::vector<uint8_t>& out)
{
    int i = 0;
    while (i < nLength) {
        if (m_nHave == 0) {
            const int nNeed = FrameLength(pData[i]);
            if (nNeed == 0) {  // garbage: resync on the next byte
                if (m_bEcho && !m_bIapMode)
                    out.push_back(pData[i]);
                ++i;
                continue;
            }
            if (nLength - i >= nNeed) {  // whole frame in the buffer: no copy
                HandleFrame(pData + i, nNeed, out);
                i += nNeed;
                if (m_bVanish)
                    return i;
                continue;
            }
            m_nNeed = nNeed;
        }
        const int nTake = std::min(m_nNeed - m_nHave, nLength - i);
        std::memcpy(m_abFrame + m_nHave, pData + i, static_cast<size_t>(nTake));
        m_nHave += nTake;
        i += nTake;
        if (m_nHave == m_nNeed) {
            m_nHave = 0;
            HandleFrame(m_abFrame, m_nNeed, out);
            if (m_bVanish)
                return i;
        }
    }
    return i;
}

bool CDeviceCore::TakeVanishRequest()
{
    const bool bVanish = m_bVanish;
    m_bVanish = false;
    return bVanish;
}

void CDeviceCore::HandleFrame(const uint8_t* pFrame, int nLength, std::vector<uint8_t>& out)
{
    const uint8_t nCode = pFrame[0] == kMarker ? pFrame[1] : pFrame[0];
    ++m_nCommands;
    ++m_nSinceConfig;
    if (nCode == pFrame[0] && (nCode == kWriteTwo || nCode == kWriteOne))
        ++m_nWriteCommands;
    const int nOccurrence = ++m_anSeen[nCode];
    if (m_bRecordFrames) {
        m_vecFrameBytes.insert(m_vecFrameBytes.end(), pFrame, pFrame + nLength);
        m_vecFrameEnds.push_back(m_vecFrameBytes.size());
    }
    if (m_bTrace)
        Trace("rx", pFrame, nLength);
    if (m_nSilentAfter >= 0 && m_nSinceConfig > m_nSilentAfter) {
        if (m_bTrace)
            Trace("hung, no reply", nullptr, 0);
        return;
    }

    bool bRefuse = false, bMalformed = false, bBadCrc = false, bSilent = false;
    int nCut = -1, nGarbage = 0;
    if (m_abFaulty[nCode]) {
        for (const CSimFault& fault : m_vecFaults) {
            if (fault.m_nCode != nCode || fault.m_nOccurrence != nOccurrence)
                continue;
            switch (fault.m_eKind) {
            case EFaultKind::kRefuse: bRefuse = true; break;
            case EFaultKind::kMalformed: bMalformed = true; break;
            case EFaultKind::kBadCrc: bBadCrc = true; break;
            case EFaultKind::kSilent: bSilent = true; break;
            case EFaultKind::kCut: nCut = std::max(0, fault.m_nArg); break;
            case EFaultKind::kGarbage: nGarbage += std::max(0, fault.m_nArg); break;
            case EFaultKind::kVanish: m_bVanish = true; break;
            }
        }
    }
    if (m_bVanish) {
        if (m_bTrace)
            Trace("vanish", nullptr, 0);
        return;
    }

    int nReply = pFrame[0] == kMarker ? BuildIapReply(pFrame, bRefuse, bMalformed)
                                      : BuildFlashReply(pFrame, nLength, bRefuse, bMalformed);
    if (bBadCrc && pFrame[0] == kMarker)
        m_abReply[kIapLength - 1] ^= 0xFF;
    if (bSilent) {
        if (m_bTrace)
            Trace("silent, no reply", nullptr, 0);
        return;
    }
    if (nCut >= 0)
        nReply = std::min(nReply, nCut);
    out.insert(out.end(), static_cast<size_t>(nGarbage), kSimGarbageByte);
    out.insert(out.end(), m_abReply, m_abReply + nReply);
    if (m_bTrace) {
        if (nGarbage > 0)
            Trace("tx garbage", out.data() + out.size() - nReply - nGarbage, nGarbage);
        Trace("tx", m_abReply, nReply);
    }
}

int CDeviceCore::BuildIapReply(const uint8_t* pFrame, bool bRefuse, bool bMalformed)
{
    const uint8_t nCode = pFrame[1];
    uint8_t* r = m_abReply;
    std::memcpy(r, pFrame, 8);  // payload bytes the command does not define are echoed
    const bool bCrcOk = Crc16(pFrame, 8) == ((pFrame[8] << 8) | pFrame[9]);

    uint8_t nNatural = kRefused;
    if (bCrcOk) {
        switch (nCode) {
        case kIdentify:
            nNatural = kAccepted;
            r[4] = m_appVersion.m_n1;
            r[5] = m_appVersion.m_n2;
            r[6] = m_appVersion.m_n3;
            break;
        case kQuery:
            nNatural = kAccepted;
            r[2] = m_fwVersion.m_n1;
            r[3] = m_fwVersion.m_n2;
            r[4] = m_fwVersion.m_n3;
            break;
        case kEnter: nNatural = KeyMatches(pFrame, 0xAC, 0x01, 0x53, 0xFE) ? kAccepted : kRefused; break;
        case kLeave: nNatural = KeyMatches(pFrame, 0xFE, 0x53, 0x01, 0xAC) ? kAccepted : kRefused; break;
        default: break;
        }
    }
    uint8_t nStatus = nNatural;
    if (bRefuse)
        nStatus = kRefused;
    else if (bMalformed)
        nStatus = 0x00;
    else if (bCrcOk && m_anStatus[nCode] >= 0)
        nStatus = static_cast<uint8_t>(m_anStatus[nCode]);

    if (nNatural == kAccepted && nStatus == kAccepted) {
        if (nCode == kEnter) {
            m_bIapMode = true;
            if (m_bEraseOnEnter)
                std::fill(m_vecMemory.begin(), m_vecMemory.end(), uint8_t {0xFF});
        }
        if (nCode == kLeave) {
            m_bIapMode = false;
            ++m_nLeaves;
        }
    }
    r[7] = nStatus;
    const uint16_t nCrc = Crc16(r, 8);
    r[8] = static_cast<uint8_t>(nCrc >> 8);
    r[9] = static_cast<uint8_t>(nCrc);
    return kIapLength;
}

uint8_t CDeviceCore::NaturalFlashStatus(const uint8_t* pFrame, int nLength) const
{
    if ((Sum8(pFrame, nLength - 1) & 0xFF) != pFrame[nLength - 1])
        return kSimFlashRefused;
    if (m_bFlashNeedsIapMode && !m_bIapMode)
        return kSimFlashRefused;
    if (pFrame[0] == kWriteTwo && WriteRefused(m_nAddress, 2))
        return kSimFlashRefused;
    if (pFrame[0] == kWriteOne && WriteRefused(m_nAddress, 1))
        return kSimFlashRefused;
    return static_cast<uint8_t>(0xC0 | (pFrame[0] & 0x0F));
}

int CDeviceCore::BuildFlashReply(const uint8_t* pFrame, int nLength, bool bRefuse, bool bMalformed)
{
    const uint8_t nCode = pFrame[0];
    const bool bSumOk = (Sum8(pFrame, nLength - 1) & 0xFF) == pFrame[nLength - 1];
    const uint8_t nNatural = NaturalFlashStatus(pFrame, nLength);
    uint8_t nStatus = nNatural;
    if (bRefuse)
        nStatus = kSimFlashRefused;
    else if (bMalformed)
        nStatus = kSimFlashMalformed;
    else if (bSumOk && m_anStatus[nCode] >= 0)
        nStatus = static_cast<uint8_t>(m_anStatus[nCode]);

    uint8_t* r = m_abReply;
    int n = 0;
    r[n++] = nStatus;
    if (FlashAccepted(nNatural) && FlashAccepted(nStatus)) {
        switch (nCode) {
        case kSetAddress: m_nAddress = (uint32_t {pFrame[1]} << 16) | (uint32_t {pFrame[2]} << 8) | pFrame[3]; break;
        case kWriteTwo:
        case kWriteOne:
            for (int i = 1; i < nLength - 1; ++i) {
                m_vecMemory[m_nAddress] = pFrame[i];
                m_nAddress = (m_nAddress + 1) & kAddressMask;
            }
            break;
        case kRead: {
            const int nCount = pFrame[1] == 0 ? 256 : pFrame[1];
            for (int i = 0; i < nCount; ++i) {
                r[n++] = ReadBack(m_nAddress);
                m_nAddress = (m_nAddress + 1) & kAddressMask;
            }
            break;
        }
        default: break;
        }
    }
    r[n++] = kSimFlashClose;
    return n;
}

bool CDeviceCore::WriteRefused(uint32_t nAddress, int nCount) const
{
    if (m_vecRefused.empty())
        return false;
    for (int i = 0; i < nCount; ++i) {
        const uint32_t nAt = (nAddress + static_cast<uint32_t>(i)) & kAddressMask;
        if (std::binary_search(m_vecRefused.begin(), m_vecRefused.end(), nAt))
            return true;
    }
    return false;
}

uint8_t CDeviceCore::ReadBack(uint32_t nAddress) const
{
    const uint8_t nStored = m_vecMemory[nAddress];
    if (m_mapCorrupt.empty())
        return nStored;
    const auto it = m_mapCorrupt.find(nAddress);
    if (it == m_mapCorrupt.end())
        return nStored;
    return it->second.m_bInvert ? static_cast<uint8_t>(~nStored) : it->second.m_nValue;
}

std::vector<std::vector<uint8_t>> CDeviceCore::ReceivedFrames() const
{
    std::vector<std::vector<uint8_t>> vecFrames;
    vecFrames.reserve(m_vecFrameEnds.size());
    size_t nStart = 0;
    for (size_t nEnd : m_vecFrameEnds) {
        vecFrames.emplace_back(m_vecFrameBytes.begin() + static_cast<std::ptrdiff_t>(nStart),
                               m_vecFrameBytes.begin() + static_cast<std::ptrdiff_t>(nEnd));
        nStart = nEnd;
    }
    return vecFrames;
}

void CDeviceCore::ClearReceivedFrames()
{
    m_vecFrameBytes.clear();
    m_vecFrameEnds.clear();
}

std::vector<uint8_t> CDeviceCore::ReadMemory(uint32_t nAddress, size_t nLength) const
{
    std::vector<uint8_t> vecData(nLength);
    for (size_t i = 0; i < nLength; ++i)
        vecData[i] = m_vecMemory[(nAddress + i) & kAddressMask];
    return vecData;
}

void CDeviceCore::WriteMemory(uint32_t nAddress, const uint8_t* pData, size_t nLength)
{
    for (size_t i = 0; i < nLength; ++i)
        m_vecMemory[(nAddress + i) & kAddressMask] = pData[i];
}

bool CDeviceCore::DumpMemory(const std::string& strPath, uint32_t nStart, uint32_t nLength) const
{
    std::ofstream file(strPath, std::ios::binary | std::ios::trunc);
    if (!file)
        return false;
    nStart &= kAddressMask;
    nLength = std::min(nLength, kSimMemorySize);
    // A range running past the top wraps to address 0, as the device's pointer does.
    const uint32_t nFirst = std::min(nLength, kSimMemorySize - nStart);
    file.write(reinterpret_cast<const char*>(m_vecMemory.data() + nStart), nFirst);
    file.write(reinterpret_cast<const char*>(m_vecMemory.data()), nLength - nFirst);
    file.close();
    return static_cast<bool>(file);
}

void CDeviceCore::Trace(const char* pWhat, const uint8_t* pData, int nLength) const
{
    // One fwrite per line keeps lines whole when other threads also write.
    char acLine[64 + 3 * (kMaxReply + 16)];
    int n = std::snprintf(acLine, sizeof(acLine), "vantrel-sim: %s", pWhat);
    const int nShown = std::min(nLength, kMaxReply + 8);
    for (int i = 0; i < nShown; ++i)
        n += std::snprintf(acLine + n, sizeof(acLine) - static_cast<size_t>(n), " %02X", pData[i]);
    if (nShown < nLength)
        n += std::snprintf(acLine + n, sizeof(acLine) - static_cast<size_t>(n), " ...");
    acLine[n++] = '\n';
    std::fwrite(acLine, 1, static_cast<size_t>(n), stderr);
}
