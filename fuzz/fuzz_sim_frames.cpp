// The simulator's frame parser: the input is a configuration header and a
// request stream. The stream goes into one device whole and into a second,
// equally configured one in pieces; both must answer byte for byte alike,
// and an unfaulted device must answer every frame with one whole reply.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "FuzzSupport.h"
#include "protocol/Checksums.h"
#include "sim/CDeviceCore.h"

namespace {

constexpr size_t kHeaderLength = 8;
constexpr uint8_t kCodes[] = {0x03, 0x02, 0xE3, 0xEC, 0xC1, 0xC2, 0xC3, 0xCA};
constexpr EFaultKind kKinds[] = {EFaultKind::kRefuse, EFaultKind::kMalformed, EFaultKind::kBadCrc, EFaultKind::kSilent,
                                 EFaultKind::kCut,    EFaultKind::kGarbage,   EFaultKind::kVanish};

// The header's flags: which parts of the configuration are set.
constexpr uint8_t kNeedsIap = 0x01;
constexpr uint8_t kFault = 0x02;
constexpr uint8_t kStatus = 0x04;
constexpr uint8_t kSilentAfter = 0x08;
constexpr uint8_t kRefusedWrite = 0x10;
constexpr uint8_t kCorrupt = 0x20;
constexpr uint8_t kSecondFault = 0x40;
// Anything that lets a reply differ from the plain one.
constexpr uint8_t kReplyChanging = kFault | kStatus | kSilentAfter | kSecondFault;

CSimFault MakeFault(uint8_t nWhich, uint8_t nArg)
{
    CSimFault fault;
    fault.m_nCode = kCodes[nWhich & 7];
    fault.m_eKind = kKinds[(nWhich >> 3) % std::size(kKinds)];
    fault.m_nArg = static_cast<int>(nArg % 80) - 8;  // a few negative ones too
    fault.m_nOccurrence = 1 + ((nArg >> 6) & 3);
    return fault;
}

CSimConfig MakeConfig(const uint8_t* pHeader)
{
    const uint8_t nFlags = pHeader[1];
    CSimConfig config;
    config.m_appVersion = {pHeader[2], pHeader[3], pHeader[4]};
    config.m_fwVersion = {pHeader[4], pHeader[3], pHeader[2]};
    config.m_bFlashNeedsIapMode = (nFlags & kNeedsIap) != 0;
    if (nFlags & kFault) {
        config.m_vecFaults.push_back(MakeFault(pHeader[2], pHeader[3]));
    }
    if (nFlags & kSecondFault) {
        config.m_vecFaults.push_back(MakeFault(pHeader[5], pHeader[6]));
    }
    if (nFlags & kStatus) {
        config.m_mapStatus[kCodes[pHeader[4] & 7]] = pHeader[5];
    }
    if (nFlags & kSilentAfter) {
        config.m_nSilentAfter = pHeader[6] % 16;
    }
    // Low addresses, so that a stream setting address 0 soon meets them.
    if (nFlags & kRefusedWrite) {
        config.m_vecRefusedWrites = {pHeader[7], 0x1000000u + pHeader[7] + 3u};
    }
    if (nFlags & kCorrupt) {
        config.m_vecCorrupt.push_back({pHeader[7], (pHeader[5] & 1) != 0, pHeader[6]});
        config.m_vecCorrupt.push_back({pHeader[7] + 1u, true, 0});
    }
    return config;
}

// An unfaulted device answers each received frame with exactly one reply
// of the frame's kind, in order, and nothing else.
void CheckReplyShape(const std::vector<std::vector<uint8_t>>& frames, const std::vector<uint8_t>& out)
{
    size_t nPos = 0;
    for (const std::vector<uint8_t>& frame : frames) {
        FUZZ_CHECK(!frame.empty());
        if (frame[0] == 0xFE) {
            FUZZ_CHECK(frame.size() == 10);
            FUZZ_CHECK(out.size() - nPos >= 10);
            const uint8_t* pReply = out.data() + nPos;
            FUZZ_CHECK(pReply[0] == 0xFE && pReply[1] == frame[1]);
            FUZZ_CHECK(Crc16(pReply, 8) == ((pReply[8] << 8) | pReply[9]));
            nPos += 10;
            continue;
        }
        FUZZ_CHECK(out.size() - nPos >= 2);
        const uint8_t nStatus = out[nPos++];
        if (frame[0] == 0xCA && (nStatus & 0xF0) == 0xC0) {
            const size_t nCount = frame[1] == 0 ? 256 : frame[1];
            FUZZ_CHECK(out.size() - nPos >= nCount + 1);
            nPos += nCount;
        }
        FUZZ_CHECK(out[nPos++] == 0x0D);
    }
    FUZZ_CHECK(nPos == out.size());
}

// Where a stream may have moved the flash address pointer and written: a
// superset, built from the received frames alone. Only a frame with the right
// sum can act, and each of those may or may not have been carried out.
class CWriteTracker {
public:
    // False when the superset grew too large to be worth tracking.
    bool Follow(const std::vector<std::vector<uint8_t>>& frames)
    {
        std::vector<uint32_t> vecAddresses {0};  // the reset leaves the pointer at 0
        m_vecWritten.clear();
        for (const std::vector<uint8_t>& frame : frames) {
            if (frame.size() < 3 || frame[0] == 0xFE) {
                continue;
            }
            const int nLength = static_cast<int>(frame.size());
            if ((Sum8(frame.data(), nLength - 1) & 0xFF) != frame[frame.size() - 1]) {
                continue;
            }
            uint32_t nAdvance = 0;
            switch (frame[0]) {
            case 0xC1:
                vecAddresses.push_back((uint32_t {frame[1]} << 16) | (uint32_t {frame[2]} << 8) | frame[3]);
                break;
            case 0xC2:
            case 0xC3:
                nAdvance = static_cast<uint32_t>(nLength - 2);
                for (const uint32_t nAddress : vecAddresses) {
                    for (uint32_t i = 0; i < nAdvance; ++i) {
                        m_vecWritten.push_back((nAddress + i) & (kSimMemorySize - 1));
                    }
                }
                break;
            case 0xCA: nAdvance = frame[1] == 0 ? 256 : frame[1]; break;
            default: break;
            }
            const size_t nKnown = vecAddresses.size();
            for (size_t i = 0; i < nKnown && nAdvance > 0; ++i) {
                vecAddresses.push_back((vecAddresses[i] + nAdvance) & (kSimMemorySize - 1));
            }
            std::sort(vecAddresses.begin(), vecAddresses.end());
            vecAddresses.erase(std::unique(vecAddresses.begin(), vecAddresses.end()), vecAddresses.end());
            if (vecAddresses.size() > 4096 || m_vecWritten.size() > (1u << 16)) {
                return false;
            }
        }
        std::sort(m_vecWritten.begin(), m_vecWritten.end());
        m_vecWritten.erase(std::unique(m_vecWritten.begin(), m_vecWritten.end()), m_vecWritten.end());
        return true;
    }

    const std::vector<uint32_t>& Written() const { return m_vecWritten; }

private:
    std::vector<uint32_t> m_vecWritten;
};

// A device kept across inputs, as building one (16 MiB of memory) costs
// far more than a run. Before each input it is put back into the state of a
// new one; when that cannot be done cheaply it is built anew.
class CFuzzDevice {
public:
    CFuzzDevice() : m_pCore(std::make_unique<CDeviceCore>()) {}

    CDeviceCore& Core() { return *m_pCore; }

    // Undoes what the last stream did: erased memory where it may have
    // written, pointer at 0, out of IAP mode, nothing half received.
    void Reset(const CWriteTracker* pTracker)
    {
        if (pTracker == nullptr) {
            m_pCore = std::make_unique<CDeviceCore>();
            return;
        }
        CDeviceCore& core = *m_pCore;
        (void)core.TakeVanishRequest();
        core.ResetStream();
        core.Configure(CSimConfig());
        static constexpr uint8_t kErased = 0xFF;
        for (const uint32_t nAddress : pTracker->Written()) {
            core.WriteMemory(nAddress, &kErased, 1);
        }
        static const std::vector<uint8_t> vecReset = [] {
            std::vector<uint8_t> vec = {0xFE, 0xEC, 0xFE, 0x53, 0x01, 0xAC, 0x00, 0x00};
            const uint16_t nCrc = Crc16(vec.data(), 8);
            vec.push_back(static_cast<uint8_t>(nCrc >> 8));
            vec.push_back(static_cast<uint8_t>(nCrc));
            vec.insert(vec.end(), {0xC1, 0x00, 0x00, 0x00, 0xC1});
            return vec;
        }();
        std::vector<uint8_t> out;
        core.Feed(vecReset.data(), static_cast<int>(vecReset.size()), out);
        FUZZ_CHECK(out.size() == 12 && out[7] == 0x55 && out[10] == 0xC1);
        FUZZ_CHECK(!core.InIapMode());
        core.ClearReceivedFrames();
    }

private:
    std::unique_ptr<CDeviceCore> m_pCore;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize)
{
    if (nSize < kHeaderLength || nSize - kHeaderLength > (1u << 20)) {
        return 0;
    }
    const CSimConfig config = MakeConfig(pData);
    const uint8_t* pStream = pData + kHeaderLength;
    const int nLength = static_cast<int>(nSize - kHeaderLength);

    static CFuzzDevice wholeDevice;
    static CFuzzDevice piecesDevice;
    static uint64_t nInputs = 0;
    CDeviceCore* const whole = &wholeDevice.Core();
    CDeviceCore* const pieces = &piecesDevice.Core();
    const int nCommandsBefore = whole->CommandCount();
    const int nLeavesBefore = whole->LeaveCount();
    FUZZ_CHECK(pieces->CommandCount() == nCommandsBefore && pieces->LeaveCount() == nLeavesBefore);
    whole->Configure(config);
    pieces->Configure(config);

    std::vector<uint8_t> outWhole;
    const int nWhole = whole->Feed(pStream, nLength, outWhole);
    FUZZ_CHECK(nWhole >= 0 && nWhole <= nLength);
    const bool bVanishWhole = whole->TakeVanishRequest();
    FUZZ_CHECK(bVanishWhole || nWhole == nLength);

    // In pieces; a vanish closes the line, so nothing after it is fed.
    std::vector<uint8_t> outPieces;
    CChunker chunker(pData[0]);
    int nPieces = 0;
    bool bVanishPieces = false;
    while (nPieces < nLength) {
        const int nTake = static_cast<int>(std::min<size_t>(chunker.Next(), static_cast<size_t>(nLength - nPieces)));
        const int nUsed = pieces->Feed(pStream + nPieces, nTake, outPieces);
        FUZZ_CHECK(nUsed >= 0 && nUsed <= nTake);
        nPieces += nUsed;
        if (pieces->TakeVanishRequest()) {
            bVanishPieces = true;
            break;
        }
        FUZZ_CHECK(nUsed == nTake);
    }

    FUZZ_CHECK(bVanishPieces == bVanishWhole);
    FUZZ_CHECK(nPieces == nWhole);
    FUZZ_CHECK(outPieces == outWhole);
    FUZZ_CHECK(pieces->InIapMode() == whole->InIapMode());
    FUZZ_CHECK(pieces->CommandCount() == whole->CommandCount());
    FUZZ_CHECK(pieces->LeaveCount() == whole->LeaveCount());
    const std::vector<std::vector<uint8_t>> frames = whole->ReceivedFrames();
    FUZZ_CHECK(pieces->ReceivedFrames() == frames);
    FUZZ_CHECK(static_cast<int>(frames.size()) == whole->CommandCount() - nCommandsBefore);
    FUZZ_CHECK(whole->LeaveCount() - nLeavesBefore <= static_cast<int>(frames.size()));

    // Both memories agree wherever the stream may have written.
    CWriteTracker tracker;
    const bool bTracked = tracker.Follow(frames);
    if (bTracked) {
        for (const uint32_t nAddress : tracker.Written()) {
            FUZZ_CHECK(pieces->ReadMemory(nAddress, 1) == whole->ReadMemory(nAddress, 1));
        }
    }
    if ((pData[1] & kReplyChanging) == 0) {
        CheckReplyShape(frames, outWhole);
    }

    wholeDevice.Reset(bTracked ? &tracker : nullptr);
    piecesDevice.Reset(bTracked ? &tracker : nullptr);
    // Now and then make sure the reset left nothing behind: a byte written
    // outside what the frames allow is a fault of its own.
    if (nInputs++ % 4096 == 0) {
        static const std::vector<uint8_t> vecErased(kSimMemorySize, 0xFF);
        FUZZ_CHECK(wholeDevice.Core().ReadMemory(0, kSimMemorySize) == vecErased);
        FUZZ_CHECK(piecesDevice.Core().ReadMemory(0, kSimMemorySize) == vecErased);
    }
    return 0;
}
