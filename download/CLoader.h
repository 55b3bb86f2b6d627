#pragma once
// The engine behind the dialog and the command line: it owns the firmware
// image, the device channel, the run flags and the inputs of a run, and runs
// a download on a worker thread of its own. No widgets and no platform calls
// live here; everything the operator sees goes through the view.
#include <array>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "download/FirmwareImage.h"
#include "download/FirmwareLoad.h"
#include "download/FirmwareReader.h"
#include "download/FirmwareWriter.h"
#include "download/LoaderView.h"
#include "protocol/CDeviceChannel.h"
#include "serial/ComPortMap.h"
#include "terminal/CodePage936.h"

// The port combo box: "COM1" to "COM12", then "AUTOCHECK".
constexpr int kPortItemCount = 13;
constexpr int kAutoCheckIndex = 12;
// Ports the search records; a later one must be chosen by hand.
constexpr int kDetectedPortSlots = 6;

// Which port to open, and the texts of the line settings shown for it.
struct CPortChoice {
    int nPortIndex = 0;       // item of the port list, or -1 for none selected
    std::string strPortPath;  // a device path named directly; wins over the index
    std::string strBaudRate = "115200";
    std::string strDataBits = "8";
    std::string strParity = "None";
    std::string strStopBits = "1";
};

// What a run does with the device. Read and verify never send a write
// command; they are meant for devices that keep their application when they
// enter IAP mode (some clear it then, and a read gives nothing of it).
enum class ERunKind {
    kDownload,  // write the file, read it back and compare
    kRead,      // read the ranges into the file
    kVerify,    // read the file's blocks back and compare, writing nothing
};

// A stretch of device addresses: nLength bytes from nStart.
struct SAddressRange {
    uint32_t nStart = 0;
    uint32_t nLength = 0;
};

// The inputs of one run, copied when it starts: the worker never reads the
// view's controls.
struct CRunInputs {
    ERunKind eKind = ERunKind::kDownload;
    // The firmware file to write or compare with; for a read, the file made.
    std::string strFilePath;
    // For a read: the ranges, in the order they are read.
    std::vector<SAddressRange> vecReadRanges;
    // When set for strFilePath, the run uses this load instead of loading the
    // file itself: it writes its image, or ends as the load says.
    std::shared_ptr<const CLoadedFirmware> pLoadedFile;
    // The load address of a raw binary file; nothing for other formats.
    SLoadOptions loadOptions;
    CPortChoice port;
    int nBurnType = 0;  // 0 programmer firmware, 1 emulator firmware, 2 program
    int bChipTypeCheck = 0;
    int nVerMajor = 0;
    int nVerMinor = 0;
    int nVerPatch = 0;
    std::string strSupportVersion;  // the permitted firmware versions
    // Flash commands sent ahead of their replies; 1 is the strict exchange.
    int nWindow = 1;
};

// How a run ended; the command line turns it into its exit status.
enum class ERunEnd {
    kSuccess,  // written, verified without difference, device out of IAP mode
    kConnectionFailed,
    kFileNotFound,
    kUnknownFileKind,
    kLoadFailed,
    kWriteFailed,
    kVerifyFailed,  // differences, or the device could not be read back
    kDisconnectFailed,
    kCancelled,
    kReadFailed,    // a read of the device failed: no file is made
    kOutputFailed,  // the device was read, but the file could not be written
};

// Device addresses travel in 24 bits.
constexpr uint64_t kDeviceAddressSpace = uint64_t {1} << 24;
// The most bytes one read command asks for: its count travels in one byte.
constexpr int kMaxReadBlock = 255;

// Outcome of the verify pass.
enum class EVerifyResult { kVerified, kMismatch, kReadError, kCancelled };

// The port text of a port list item: "COM3", "AUTOCHECK", or empty.
std::string PortItemText(int nPortIndex);
// The number after a port name's first three characters: "COM12" gives 12.
int PortNumberOf(const std::string& strName);

class CLoader {
public:
    explicit CLoader(CLoaderView& view);
    ~CLoader();  // stops a run in progress, waits for it and releases the port
    CLoader(const CLoader&) = delete;
    CLoader& operator=(const CLoader&) = delete;

    // The start button: starts a run when idle, asks a running run to stop,
    // and does nothing while a stopped run is still finishing.
    void OnStartButton(const CRunInputs& inputs);
    // Asks the run to stop before its next block.
    void RequestStop();
    // Waits until the worker of the latest run has finished.
    void WaitForRun();
    bool IsIdle() const { return m_bIdle.load(); }
    ERunEnd LastRunEnd() const { return m_lastRunEnd.load(); }
    // The bytes of the blocks the latest run wrote and the device accepted.
    long long BytesWritten() const { return m_nBytesWritten.load(); }
    // The quickest IAP exchange of the latest run's connection, in
    // microseconds, and the bit rate it ran at; -1 and 0 before one.
    long long ConnectionRoundTripUs() const { return m_nRoundTripUs.load(); }
    int ConnectionBaudRate() const { return m_nConnectionBaud.load(); }

    // The steps of a run, on the worker thread (public so tests can drive one).
    // Run does what the inputs' kind asks.
    ERunEnd Run();
    ERunEnd DownloadFile();
    // Connects, reads the ranges, leaves IAP mode, then writes the file.
    ERunEnd ReadDevice();
    // Connects, runs the verify pass over the file's image, leaves IAP mode.
    ERunEnd VerifyDevice();
    int ConnectDevice();
    int DisconnectDevice();
    EVerifyResult VerifyImage();
    int LoadHexFile(const std::string& strPath);
    int LoadAscFile(const std::string& strPath);
    void FreeImage();

    // Port search and opening.
    void FindSerialPorts();
    bool OpenDownloadPort();
    bool OpenSelectedPort(const CPortChoice& choice);
    // The port button: opens the chosen port, or closes the open one. True
    // when it opened a port (the caller then saves the settings).
    bool OnOpenClosePort(const CPortChoice& choice);

    // The terminal. Both do nothing while a run is in progress: the run owns
    // the channel. Sends the text once, as code page 936 characters
    // (nSendMode 0) or as hexadecimal byte pairs (1).
    void ManualSend(const std::string& strSend, int nSendMode);
    // Appends what has arrived to the log in black; never waits for more.
    void PollReceive();

    const FirmwareImage& Image() const { return m_image; }
    // What the latest read run got from the device, range by range.
    const std::vector<SMemoryRange>& ReadRanges() const { return m_readRanges; }
    // For tests; views use the operations below and never the channel.
    CDeviceChannel& Channel() { return m_channel; }
    // Closes the port the port button or a stopped run left open, when no
    // run holds it; true when a port was closed (the view then shows the
    // port button as "open").
    bool ClosePortWhenIdle();
    // The COM-number map this engine opens ports by; the settings file and
    // the views fill and show it.
    CComPortMap& ComPorts() { return m_comPorts; }
    // The port numbers of the latest port search, -1 for an empty slot.
    std::array<int, kDetectedPortSlots> DetectedPorts() const;
    int ChipVersion() const { return m_nChipVersion; }
    // The inputs the run works with; set by OnStartButton, or by tests.
    CRunInputs m_inputs;

private:
    void RunWorker();
    // The terminal's state belongs to one opening of the port: each opening
    // and closing starts it afresh. EndTerminalSession gives the line end
    // that the received text still owes the log.
    void StartTerminalSession();
    std::string EndTerminalSession();
    void CloseLeftOpenPort();
    // ConnectDevice, noting the quickest exchange and the bit rate it ran at.
    bool ConnectForRun();
    // Loads the file and connects the device, as a download and a verify-only
    // run both begin; ERunEnd::kSuccess with the image in m_image and the
    // device in IAP mode.
    ERunEnd ConnectWithFile();
    // Leaves IAP mode after a verify pass and says what the verdict means
    // for the run: pRunFailed begins the line of a failure ("Download
    // failed"), strSucceeded is the line of a success.
    ERunEnd EndAfterVerify(EVerifyResult verdict, const char* pRunFailed, const std::string& strSucceeded);
    // Reads every range into m_readRanges, one progress step per block.
    ERunEnd ReadEachRange();
    // The write loop; ERunEnd::kSuccess when every block was written.
    ERunEnd WriteImage();
    ERunEnd WriteImageAhead();
    ERunEnd WriteFailed(const FirmwareBlock& block);
    ERunEnd WriteStopped();
    EVerifyResult VerifyAhead(int& nMismatches);
    void CompareBlock(const FirmwareBlock& block, const uint8_t* pRead, int& nMismatches);
    EVerifyResult ReadFailed(const FirmwareBlock& block);
    void LogReadError(uint32_t nAddress, int nLength);
    void Log(const std::string& strText, int nColour) { m_view.AppendLog(strText, nColour); }

    CLoaderView& m_view;
    FirmwareImage m_image;
    std::vector<SMemoryRange> m_readRanges;
    CComPortMap m_comPorts;
    CDeviceChannel m_channel;
    // Written by the port search on the UI thread at start and on the worker
    // during an AUTOCHECK run; the mutex keeps a reader from a half-filled table.
    mutable std::mutex m_detectedMutex;
    std::array<int, kDetectedPortSlots> m_detectedPorts = {-1, -1, -1, -1, -1, -1};
    CCodePage936Decoder m_receiveDecoder;
    bool m_bReceivedMidLine = false;  // the latest received text left its line open
    int m_nChipVersion = 0;
    std::atomic<int> m_bRunning {0};
    std::atomic<int> m_bIdle {1};
    std::atomic<ERunEnd> m_lastRunEnd {ERunEnd::kSuccess};
    std::atomic<long long> m_nBytesWritten {0};
    std::atomic<long long> m_nRoundTripUs {-1};
    std::atomic<int> m_nConnectionBaud {0};
    std::mutex m_workerMutex;
    std::thread m_worker;
};
