// Run control and the download run itself.
#include "download/CLoader.h"

#include <fmt/format.h>

#include "core/FileSystem.h"
#include "download/FirmwareReader.h"

namespace {

// Keeps the reader's lines for the runs to repeat.
class CKeptLog : public CLogSink {
public:
    explicit CKeptLog(std::vector<std::pair<std::string, int>>& vecLog) : m_vecLog(vecLog) {}
    void AppendLog(const std::string& strText, int nColour) override { m_vecLog.emplace_back(strText, nColour); }

private:
    std::vector<std::pair<std::string, int>>& m_vecLog;
};

}  // namespace

std::shared_ptr<const CLoadedFirmware> LoadFirmwareOnce(const std::string& strPath)
{
    const CFirmwareFileCheck check = CheckFirmwareFile(strPath);
    if (check.problem != EFileProblem::kNone)
        return nullptr;
    auto pLoaded = std::make_shared<CLoadedFirmware>();
    pLoaded->strPath = strPath;
    std::string strError;
    if (!ReadFileBytes(strPath, pLoaded->strBytes, strError) || (pLoaded->strBytes.empty() && !PathExists(strPath)))
        return nullptr;
    CKeptLog log(pLoaded->vecLog);
    const int nLoaded = check.kind == EFirmwareKind::kAsc ? LoadAscText(pLoaded->strBytes, pLoaded->image, log)
                                                          : LoadHexText(pLoaded->strBytes, pLoaded->image, log);
    if (!nLoaded)
        return nullptr;
    return pLoaded;
}

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
    // A file loaded before the run has passed these checks already.
    const CLoadedFirmware* pLoaded =
        m_inputs.pLoadedFile && m_inputs.pLoadedFile->strPath == strPath ? m_inputs.pLoadedFile.get() : nullptr;
    // The file first: a file that cannot be loaded must not leave a device
    // in IAP mode for nothing.
    const CFirmwareFileCheck file = pLoaded ? CFirmwareFileCheck() : CheckFirmwareFile(strPath);
    switch (file.problem) {
    case EFileProblem::kNone: break;
    case EFileProblem::kNotFound:
        Log(fmt::format("## File not found: {} \r\n", strPath), kLogRed);
        return ERunEnd::kFileNotFound;
    case EFileProblem::kUnreadable:
    case EFileProblem::kUnknownKind:
        Log(fmt::format("## The file {} cannot be used: {}.\r\n", strPath, file.strReason), kLogRed);
        return file.problem == EFileProblem::kUnknownKind ? ERunEnd::kUnknownFileKind : ERunEnd::kLoadFailed;
    }

    if (!ConnectDevice())
        return ERunEnd::kConnectionFailed;

    if (pLoaded) {
        for (const auto& [strText, nColour] : pLoaded->vecLog)
            Log(strText, nColour);
        m_image = pLoaded->image;
    } else {
        // Checked again: the file may have gone while the device was connected.
        if (!PathExists(strPath)) {
            Log(fmt::format("## File not found: {} \r\n", strPath), kLogRed);
            m_channel.ClosePort();
            return ERunEnd::kFileNotFound;
        }
        const int nLoaded = file.kind == EFirmwareKind::kAsc ? LoadAscFile(strPath) : LoadHexFile(strPath);
        if (!nLoaded) {
            FreeImage();
            m_channel.ClosePort();
            return ERunEnd::kLoadFailed;
        }
    }

    Log(fmt::format("-- Downloading file {} ...\r\n", strPath), kLogBlack);
    m_view.BeginProgress(static_cast<int>(m_image.size()));
    for (const FirmwareBlock& block : m_image) {
        if (!m_bRunning.load()) {
            // Stopped between blocks: the device stays in IAP mode and the
            // port open, so the next run (or the port button) takes over.
            // The operator must know the device is half-written.
            Log("## Download stopped before it finished: the device is still in IAP mode.\r\n", kLogRed);
            m_view.OnPortButtonState(true);
            return ERunEnd::kCancelled;
        }
        if (!m_channel.WriteBlock(block.address, block.length, block.data)) {
            Log(fmt::format("## {}\r\n", m_channel.GetErrorText()), kLogRed);
            Log(fmt::format("++  Write error:Addr={:06x}H,Offset=0x{:06x},Len={:02x}H\r\n",
                            static_cast<uint32_t>(block.address), static_cast<uint32_t>(block.address),
                            static_cast<uint32_t>(block.length)),
                kLogRed);
            m_channel.ClosePort();
            return ERunEnd::kWriteFailed;
        }
        m_view.StepProgress();
    }

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
