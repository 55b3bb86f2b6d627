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
    uint8_t readBack[kFlashMaxRead];
    int nMismatches = 0;
    for (const FirmwareBlock& block : m_image) {
        if (!m_bRunning.load())
            return EVerifyResult::kCancelled;
        if (!m_channel.ReadBlock(block.address, block.length, readBack)) {
            Log(fmt::format("##  Read error: Addr=0x{:06x},Offset=0x{:04x},Len=0x{:x}\r\n",
                            static_cast<uint32_t>(block.address), static_cast<uint32_t>(block.address),
                            static_cast<uint32_t>(block.length)),
                kLogRed);
            return EVerifyResult::kReadError;
        }
        for (int i = 0; i < block.length; ++i) {
            if (readBack[i] != block.data[i]) {
                Log(fmt::format("++  Addr={:06x}H, W={:02x}H, R={:02x}H.\r\n",
                                static_cast<uint32_t>(block.address) + static_cast<uint32_t>(i), block.data[i],
                                readBack[i]),
                    kLogDarkRed);
                ++nMismatches;
            }
        }
        m_view.StepProgress();
    }
    if (nMismatches > 0) {
        Log(fmt::format("## Total {} mismatchings found.\r\n", nMismatches), kLogRed);
        Log("## Verify failed.\r\n", kLogRed);
        return EVerifyResult::kMismatch;
    }
    Log("-- Verify successfully.\r\n", kLogBlue);
    return EVerifyResult::kVerified;
}
