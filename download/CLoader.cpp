// Run control and the download run itself.
#include "download/CLoader.h"

#include <algorithm>
#include <cstdlib>

#include <fmt/format.h>

#include "core/FileSystem.h"
#include "download/FirmwareReader.h"

namespace {

// How a run ends for a file that cannot be written.
ERunEnd RunEndOf(EFirmwareLoadProblem problem)
{
    switch (problem) {
    case EFirmwareLoadProblem::kNotFound: return ERunEnd::kFileNotFound;
    case EFirmwareLoadProblem::kUnknownKind: return ERunEnd::kUnknownFileKind;
    default: return ERunEnd::kLoadFailed;
    }
}

}  // namespace

CLoader::CLoader(CLoaderView& view) : m_view(view)
{
    m_channel.SetMessageBoxes(&m_view);
    m_channel.SetComPortMap(&m_comPorts);
}

CLoader::~CLoader()
{
    RequestStop();
    WaitForRun();
    m_channel.ClosePort();
}

void CLoader::OnStartButton(const CRunInputs& inputs)
{
    if (m_bRunning.exchange(0))
        return;  // the stop request; the run sees it before its next block
    // Idle is cleared here, before the worker exists, so that a second press
    // in the moment before the worker starts cannot start another one.
    int nIdle = 1;
    if (!m_bIdle.compare_exchange_strong(nIdle, 0))
        return;  // a stopped run is still finishing
    std::lock_guard<std::mutex> lock(m_workerMutex);
    if (m_worker.joinable())
        m_worker.join();  // the previous worker has already finished its run
    m_inputs = inputs;
    // The run opens and closes the port; what it leaves open is a new session.
    StartTerminalSession();
    m_bRunning = 1;
    m_worker = std::thread(&CLoader::RunWorker, this);
}

std::array<int, kDetectedPortSlots> CLoader::DetectedPorts() const
{
    std::lock_guard<std::mutex> lock(m_detectedMutex);
    return m_detectedPorts;
}

bool CLoader::ClosePortWhenIdle()
{
    if (!m_bIdle.load() || !m_channel.m_bOpen)
        return false;
    m_channel.ClosePort();
    StartTerminalSession();
    return true;
}

void CLoader::RequestStop()
{
    m_bRunning = 0;
}

void CLoader::WaitForRun()
{
    std::lock_guard<std::mutex> lock(m_workerMutex);
    if (m_worker.joinable())
        m_worker.join();
}

void CLoader::RunWorker()
{
    // The view hears of the end before the flags say idle, so that a view
    // which waits for its UI thread never races a new run on this object.
    m_nBytesWritten = 0;
    m_view.ShowProgress(true);
    m_view.OnRunStateChanged(true);
    m_lastRunEnd = Run();
    m_view.ShowProgress(false);
    m_view.OnRunStateChanged(false);
    m_bRunning = 0;
    m_bIdle = 1;
}

int CLoader::LoadHexFile(const std::string& strPath)
{
    return ::LoadHexFile(strPath, m_image, m_view);
}

int CLoader::LoadAscFile(const std::string& strPath)
{
    return ::LoadAscFile(strPath, m_image, m_view);
}

void CLoader::FreeImage()
{
    ::FreeImage(m_image);
}

ERunEnd CLoader::Run()
{
    switch (m_inputs.eKind) {
    case ERunKind::kRead: return ReadDevice();
    case ERunKind::kVerify: return VerifyDevice();
    case ERunKind::kDownload: break;
    }
    return DownloadFile();
}

void CLoader::CloseLeftOpenPort()
{
    if (m_channel.m_bOpen) {
        // The port button, or a stopped run, left the port open.
        m_channel.ClosePort();
        m_view.OnPortButtonState(false);
    }
}

bool CLoader::ConnectForRun()
{
    const bool bConnected = ConnectDevice();
    m_nRoundTripUs = m_channel.FastestIapMicroseconds();
    m_nConnectionBaud = std::atoi(m_inputs.port.strBaudRate.c_str());
    return bConnected;
}

ERunEnd CLoader::ConnectWithFile()
{
    const std::string strPath = m_inputs.strFilePath;
    CloseLeftOpenPort();
    // The file is read and loaded before the device is touched: a file the
    // reader refuses, or one with nothing in it, ends the run with the
    // device as it was, never in IAP mode for nothing.
    std::shared_ptr<const CLoadedFirmware> pLoaded = m_inputs.pLoadedFile && m_inputs.pLoadedFile->strPath == strPath &&
                                                             m_inputs.pLoadedFile->options == m_inputs.loadOptions
                                                         ? m_inputs.pLoadedFile
                                                         : nullptr;
    const bool bLoadedAhead = pLoaded != nullptr;  // by the caller, for several runs
    if (!bLoadedAhead) {
        FreeImage();
        pLoaded = LoadFirmware(strPath, m_inputs.loadOptions);
    }
    for (const auto& [strText, nColour] : pLoaded->vecLog)
        Log(strText, nColour);
    if (pLoaded->problem != EFirmwareLoadProblem::kNone)
        return RunEndOf(pLoaded->problem);

    if (!ConnectForRun())
        return ERunEnd::kConnectionFailed;
    m_view.OnConnected(m_nRoundTripUs.load(), m_nConnectionBaud.load(), std::max(1, m_inputs.nWindow));

    if (!bLoadedAhead) {
        // Looked at again: the file may have changed or gone while the device
        // was connected. What is used is what the file holds now; a file
        // that no longer loads ends the run with the device out of IAP mode.
        if (!FirmwareFileUnchanged(*pLoaded)) {
            pLoaded = LoadFirmware(strPath, m_inputs.loadOptions);
            for (const auto& [strText, nColour] : pLoaded->vecLog)
                Log(strText, nColour);
            if (pLoaded->problem != EFirmwareLoadProblem::kNone) {
                DisconnectDevice();
                return RunEndOf(pLoaded->problem);
            }
        }
    }
    m_image = pLoaded->image;
    return ERunEnd::kSuccess;
}

ERunEnd CLoader::DownloadFile()
{
    if (const ERunEnd connected = ConnectWithFile(); connected != ERunEnd::kSuccess)
        return connected;
    Log(fmt::format("-- Downloading file {} ...\r\n", m_inputs.strFilePath), kLogBlack);
    m_view.OnPassBegun(ERunPass::kWrite);
    m_view.BeginProgress(static_cast<int>(m_image.size()));
    if (const ERunEnd written = WriteImage(); written != ERunEnd::kSuccess)
        return written;
    return EndAfterVerify(VerifyImage(), "Download failed", "Download successfully.");
}

ERunEnd CLoader::VerifyDevice()
{
    if (const ERunEnd connected = ConnectWithFile(); connected != ERunEnd::kSuccess)
        return connected;
    // Nothing is written, so the window only paces the reads.
    m_channel.SetWindow(m_inputs.nWindow);
    return EndAfterVerify(VerifyImage(), "The device does not hold the file",
                          fmt::format("The device holds {}.", m_inputs.strFilePath));
}

ERunEnd CLoader::EndAfterVerify(EVerifyResult verdict, const char* pRunFailed, const std::string& strSucceeded)
{
    // Whatever the verdict, the device is taken out of IAP mode; only a
    // verified image is reported as a success.
    const int nDisconnected = DisconnectDevice();
    if (verdict != EVerifyResult::kVerified) {
        if (!nDisconnected)
            Log("## Flash  disconnect  Error !\r\n", kLogRed);
        const char* pWhy = verdict == EVerifyResult::kMismatch    ? "the verify pass found differences"
                           : verdict == EVerifyResult::kReadError ? "the device could not be read back"
                                                                  : "the verify pass was cancelled";
        Log(fmt::format("## {}: {}.\r\n", pRunFailed, pWhy), kLogRed);
        return verdict == EVerifyResult::kCancelled ? ERunEnd::kCancelled : ERunEnd::kVerifyFailed;
    }
    if (!nDisconnected) {
        Log("## Flash  disconnect  Error !\r\n", kLogRed);
        return ERunEnd::kDisconnectFailed;
    }
    Log(fmt::format("-- {}\r\n", strSucceeded), kLogBlue);
    return ERunEnd::kSuccess;
}

ERunEnd CLoader::ReadDevice()
{
    const std::string strPath = m_inputs.strFilePath;
    CloseLeftOpenPort();
    m_readRanges.clear();
    // Refused before the device is touched: a read that could not be kept.
    if (std::string strWhy; !OutputTakes(strPath, m_inputs.vecReadRanges.size(), strWhy)) {
        Log(fmt::format("## {}: {}.\r\n", strPath, strWhy), kLogRed);
        return ERunEnd::kUnknownFileKind;
    }
    // A file that cannot be made is found now, not after a long read.
    if (std::string strKindError; PathKindOf(strPath, strKindError) == EPathKind::kFolder) {
        Log(fmt::format("## Cannot write {}: it is a folder.\r\n", strPath), kLogRed);
        return ERunEnd::kOutputFailed;
    }
    if (!PathWritable(strPath)) {
        Log(fmt::format("## Cannot write {}: no such folder, or no permission to write there.\r\n", strPath), kLogRed);
        return ERunEnd::kOutputFailed;
    }
    // The view is not told of the connection, so it gives no hint to send
    // ahead: a read command brings up to 255 bytes, and waiting for each
    // reply costs a read little.
    if (!ConnectForRun())
        return ERunEnd::kConnectionFailed;

    const ERunEnd read = ReadEachRange();
    // Out of IAP mode whatever the read gave, as after a verify pass.
    const int nDisconnected = DisconnectDevice();
    if (read != ERunEnd::kSuccess) {
        m_readRanges.clear();
        Log(read == ERunEnd::kCancelled ? "## Read stopped before it finished: no file was written.\r\n"
                                        : "## Read failed: no file was written.\r\n",
            kLogRed);
        return read;
    }
    // What was read is whole even when the device would not leave IAP mode:
    // the file is written, and the run still ends as a failed disconnect.
    if (std::string strError; !WriteFirmwareFile(strPath, m_readRanges, strError)) {
        Log(fmt::format("## Cannot write {}: {}\r\n", strPath, strError), kLogRed);
        return ERunEnd::kOutputFailed;
    }
    long long nBytes = 0;
    for (const SMemoryRange& range : m_readRanges)
        nBytes += static_cast<long long>(range.vecData.size());
    if (!nDisconnected) {
        Log(fmt::format("-- {} bytes read into {}.\r\n", nBytes, strPath), kLogBlack);
        Log("## Flash  disconnect  Error !\r\n", kLogRed);
        return ERunEnd::kDisconnectFailed;
    }
    Log(fmt::format("-- Read successfully: {} bytes into {}.\r\n", nBytes, strPath), kLogBlue);
    return ERunEnd::kSuccess;
}

ERunEnd CLoader::ReadEachRange()
{
    int nBlocks = 0;
    for (const SAddressRange& range : m_inputs.vecReadRanges)
        nBlocks += static_cast<int>((range.nLength + kMaxReadBlock - 1) / kMaxReadBlock);
    Log("-- Reading ...\r\n", kLogBlack);
    m_view.OnPassBegun(ERunPass::kRead);
    m_view.BeginProgress(nBlocks);
    m_channel.SetWindow(1);
    uint8_t buffer[kFlashMaxRead];
    for (const SAddressRange& range : m_inputs.vecReadRanges) {
        SMemoryRange& read = m_readRanges.emplace_back();
        read.nStart = range.nStart;
        read.vecData.reserve(range.nLength);
        for (uint32_t nDone = 0; nDone < range.nLength;) {
            if (!m_bRunning.load())
                return ERunEnd::kCancelled;
            const uint32_t nAddress = range.nStart + nDone;
            const int nLength = static_cast<int>(std::min<uint32_t>(kMaxReadBlock, range.nLength - nDone));
            if (!m_channel.ReadBlock(static_cast<int>(nAddress), nLength, buffer)) {
                LogReadError(nAddress, nLength);
                return ERunEnd::kReadFailed;
            }
            read.vecData.insert(read.vecData.end(), buffer, buffer + nLength);
            nDone += static_cast<uint32_t>(nLength);
            m_view.StepProgress();
        }
    }
    return ERunEnd::kSuccess;
}

ERunEnd CLoader::WriteImage()
{
    m_channel.SetWindow(m_inputs.nWindow);
    if (m_channel.Window() > 1)
        return WriteImageAhead();
    for (const FirmwareBlock& block : m_image) {
        if (!m_bRunning.load())
            return WriteStopped();
        if (!m_channel.WriteBlock(block.address, block.length, block.data))
            return WriteFailed(block);
        m_nBytesWritten += block.length;
        m_view.StepProgress();
    }
    return ERunEnd::kSuccess;
}

ERunEnd CLoader::WriteImageAhead()
{
    // A block counts as written once the last of its replies is checked.
    const CBlockDone done = [this](int nTag, const uint8_t*) {
        m_nBytesWritten += m_image[static_cast<size_t>(nTag)].length;
        m_view.StepProgress();
    };
    for (size_t i = 0; i < m_image.size(); ++i) {
        const FirmwareBlock& block = m_image[i];
        if (!m_bRunning.load()) {
            // What was sent is answered first: a failure among it ends the
            // run as it would have before the stop was seen.
            if (!m_channel.FinishPosted(done))
                return WriteFailed(m_image[static_cast<size_t>(m_channel.FailedTag())]);
            return WriteStopped();
        }
        if (!m_channel.PostWriteBlock(static_cast<int>(i), block.address, block.length, block.data, done))
            return WriteFailed(m_image[static_cast<size_t>(m_channel.FailedTag())]);
    }
    if (!m_channel.FinishPosted(done))
        return WriteFailed(m_image[static_cast<size_t>(m_channel.FailedTag())]);
    return ERunEnd::kSuccess;
}

ERunEnd CLoader::WriteStopped()
{
    // Stopped between blocks: the device stays in IAP mode and the port
    // open, so the next run (or the port button) takes over. The operator
    // must know the device is half-written.
    Log("## Download stopped before it finished: the device is still in IAP mode.\r\n", kLogRed);
    m_view.OnPortButtonState(true);
    return ERunEnd::kCancelled;
}

ERunEnd CLoader::WriteFailed(const FirmwareBlock& block)
{
    Log(fmt::format("## {}\r\n", m_channel.GetErrorText()), kLogRed);
    Log(fmt::format("++  Write error:Addr={:06x}H,Offset=0x{:06x},Len={:02x}H\r\n",
                    static_cast<uint32_t>(block.address), static_cast<uint32_t>(block.address),
                    static_cast<uint32_t>(block.length)),
        kLogRed);
    m_channel.ClosePort();
    return ERunEnd::kWriteFailed;
}
