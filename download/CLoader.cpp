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
    m_lastRunEnd = DownloadFile();
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

ERunEnd CLoader::DownloadFile()
{
    const std::string strPath = m_inputs.strFilePath;
    if (m_channel.m_bOpen) {
        // The port button, or a stopped run, left the port open.
        m_channel.ClosePort();
        m_view.OnPortButtonState(false);
    }
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

    const bool bConnected = ConnectDevice();
    m_nRoundTripUs = m_channel.FastestIapMicroseconds();
    m_nConnectionBaud = std::atoi(m_inputs.port.strBaudRate.c_str());
    if (!bConnected)
        return ERunEnd::kConnectionFailed;
    m_view.OnConnected(m_nRoundTripUs.load(), m_nConnectionBaud.load(), std::max(1, m_inputs.nWindow));

    if (!bLoadedAhead) {
        // Looked at again: the file may have changed or gone while the device
        // was connected. What is written is what the file holds now; a file
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
    pLoaded.reset();

    Log(fmt::format("-- Downloading file {} ...\r\n", strPath), kLogBlack);
    m_view.OnPassBegun(ERunPass::kWrite);
    m_view.BeginProgress(static_cast<int>(m_image.size()));
    if (const ERunEnd written = WriteImage(); written != ERunEnd::kSuccess)
        return written;

    // Whatever the verdict, the device is taken out of IAP mode; only a
    // verified image is reported as a successful download.
    const EVerifyResult verdict = VerifyImage();
    const int nDisconnected = DisconnectDevice();
    if (verdict != EVerifyResult::kVerified) {
        if (!nDisconnected)
            Log("## Flash  disconnect  Error !\r\n", kLogRed);
        const char* pWhy = verdict == EVerifyResult::kMismatch    ? "the verify pass found differences"
                           : verdict == EVerifyResult::kReadError ? "the device could not be read back"
                                                                  : "the verify pass was cancelled";
        Log(fmt::format("## Download failed: {}.\r\n", pWhy), kLogRed);
        return verdict == EVerifyResult::kCancelled ? ERunEnd::kCancelled : ERunEnd::kVerifyFailed;
    }
    if (!nDisconnected) {
        Log("## Flash  disconnect  Error !\r\n", kLogRed);
        return ERunEnd::kDisconnectFailed;
    }
    Log("-- Download successfully.\r\n", kLogBlue);
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
