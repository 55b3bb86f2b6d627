// Reads the image back from the device and compares it byte by byte.
#include <fmt/format.h>

#include "download/CLoader.h"

EVerifyResult CLoader::VerifyImage()
{
    Log("-- Verifying ...\r\n", kLogBlack);
    m_view.OnPassBegun(ERunPass::kVerify);
    m_view.BeginProgress(static_cast<int>(m_image.size()));
    if (m_image.empty()) {
        Log("-- Verify successfully.\r\n", kLogBlue);
        return EVerifyResult::kVerified;
    }
    int nMismatches = 0;
    if (m_channel.Window() > 1) {
        if (const EVerifyResult read = VerifyAhead(nMismatches); read != EVerifyResult::kVerified)
            return read;
    } else {
        uint8_t readBack[kFlashMaxRead];
        for (const FirmwareBlock& block : m_image) {
            if (!m_bRunning.load())
                return EVerifyResult::kCancelled;
            if (!m_channel.ReadBlock(block.address, block.length, readBack))
                return ReadFailed(block);
            CompareBlock(block, readBack, nMismatches);
        }
    }
    if (nMismatches > 0) {
        Log(fmt::format("## Total {} mismatchings found.\r\n", nMismatches), kLogRed);
        Log("## Verify failed.\r\n", kLogRed);
        return EVerifyResult::kMismatch;
    }
    Log("-- Verify successfully.\r\n", kLogBlue);
    return EVerifyResult::kVerified;
}

EVerifyResult CLoader::VerifyAhead(int& nMismatches)
{
    // Each block is compared once its read is answered, in order, so the
    // lines come as the strict pass logs them.
    const CBlockDone done = [&](int nTag, const uint8_t* pRead) {
        CompareBlock(m_image[static_cast<size_t>(nTag)], pRead, nMismatches);
    };
    for (size_t i = 0; i < m_image.size(); ++i) {
        if (!m_bRunning.load()) {
            if (!m_channel.FinishPosted(done))
                return ReadFailed(m_image[static_cast<size_t>(m_channel.FailedTag())]);
            return EVerifyResult::kCancelled;
        }
        const FirmwareBlock& block = m_image[i];
        if (!m_channel.PostReadBlock(static_cast<int>(i), block.address, block.length, done))
            return ReadFailed(m_image[static_cast<size_t>(m_channel.FailedTag())]);
    }
    if (!m_channel.FinishPosted(done))
        return ReadFailed(m_image[static_cast<size_t>(m_channel.FailedTag())]);
    return EVerifyResult::kVerified;
}

void CLoader::CompareBlock(const FirmwareBlock& block, const uint8_t* pRead, int& nMismatches)
{
    for (int i = 0; i < block.length; ++i) {
        if (pRead[i] != block.data[i]) {
            Log(fmt::format("++  Addr={:06x}H, W={:02x}H, R={:02x}H.\r\n",
                            static_cast<uint32_t>(block.address) + static_cast<uint32_t>(i), block.data[i], pRead[i]),
                kLogDarkRed);
            ++nMismatches;
        }
    }
    m_view.StepProgress();
}

EVerifyResult CLoader::ReadFailed(const FirmwareBlock& block)
{
    LogReadError(static_cast<uint32_t>(block.address), block.length);
    return EVerifyResult::kReadError;
}

void CLoader::LogReadError(uint32_t nAddress, int nLength)
{
    Log(fmt::format("##  Read error: Addr=0x{:06x},Offset=0x{:04x},Len=0x{:x}\r\n", nAddress, nAddress,
                    static_cast<uint32_t>(nLength)),
        kLogRed);
}
