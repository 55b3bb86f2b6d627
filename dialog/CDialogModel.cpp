#include "dialog/CDialogModel.h"

#include <algorithm>
#include <cctype>
#include <charconv>

#include "download/FirmwareReader.h"

namespace {

// Set for one scope: a change signal raised by an exchange (or by its box)
// starts no other.
class CFlagScope {
public:
    explicit CFlagScope(bool& bFlag) : m_bFlag(bFlag) { m_bFlag = true; }
    ~CFlagScope() { m_bFlag = false; }
    CFlagScope(const CFlagScope&) = delete;
    CFlagScope& operator=(const CFlagScope&) = delete;

private:
    bool& m_bFlag;
};

// "0x" and upper-case hexadecimal digits, as the settings file keeps an address.
std::string AddressText(uint32_t nAddress)
{
    char szDigits[8];
    const auto result = std::to_chars(szDigits, szDigits + sizeof szDigits, nAddress, 16);
    std::string strText = "0x" + std::string(szDigits, result.ptr);
    std::transform(strText.begin() + 2, strText.end(), strText.begin() + 2,
                   [](char c) { return static_cast<char>(std::toupper(static_cast<unsigned char>(c))); });
    return strText;
}

}  // namespace

std::vector<CFileFilter> FirmwareFileFilters()
{
    std::vector<CFileFilter> filters = {{"Firmware", FirmwarePatternsText()}};
    for (const SFirmwareFormat& format : FirmwareFormats()) {
        std::string strPatterns;
        for (const char* pEnding : format.endings) {
            if (pEnding)
                strPatterns += (strPatterns.empty() ? "*" : " *") + std::string(pEnding);
        }
        filters.push_back({format.pName, strPatterns});
    }
    filters.push_back({"All Files", "*"});
    return filters;
}

int TimerPeriod(int nTimeInterval)
{
    return std::max(nTimeInterval, kMinTimerMs);
}

CDialogModel::CDialogModel(CDialogView& view, CLoaderView& reports)
    : m_view(view), m_reports(reports), m_loader(reports)
{}

void CDialogModel::InitDialog()
{
    m_view.ShowProgress(false);
    m_log.Clear();
    m_view.ClearLog();

    // The pins of the settings file are known before the search, so that it
    // lists them and gives new devices only numbers that are free.
    LoadPortMap(m_profile, m_loader.ComPorts());
    m_loader.FindSerialPorts();
    CSettings settings;
    LoadSettings(m_profile, settings, m_reports);
    m_settings = settings;
    CComboSelection combos;
    ApplySettings(settings, m_values, combos);
    m_view.SelectComboItems(combos);
    UpdateData(false);
    RefreshPortItems();

    m_view.EnableControl(EControl::kChipType, false);
    m_view.FocusControl(EControl::kStart);
}

void CDialogModel::Shutdown()
{
    m_loader.RequestStop();
    m_loader.WaitForRun();
    if (!m_bDestroyed)
        OnDestroy();
}

bool CDialogModel::UpdateData(bool bSaveAndValidate)
{
    if (m_bExchanging)
        return true;
    const CFlagScope exchanging(m_bExchanging);
    if (!bSaveAndValidate) {
        m_view.WriteFields(FieldsOf(m_values));
        return true;
    }
    const EControl eBad = ReadFields(m_view.ReadControls().fields, m_values, true);
    if (eBad == EControl::kNone)
        return true;
    m_view.ShowBox(kNotAnIntegerText, EBoxIcon::kWarning);
    m_view.FocusControl(eBad);
    return false;
}

void CDialogModel::ReadControlsQuietly()
{
    if (m_bExchanging)
        return;
    const CFlagScope exchanging(m_bExchanging);
    ReadFields(m_view.ReadControls().fields, m_values, false);
}

CSettings CDialogModel::CurrentSettings() const
{
    return SettingsOf(m_settings, m_values, m_view.ReadControls().combos);
}

void CDialogModel::RefreshPortItems()
{
    m_view.SetPortItems(PortItemTexts(m_loader.ComPorts()));
}

void CDialogModel::OnStartButton()
{
    // A bad edit is reported and stops the exchange there; the press still
    // counts, with what was read, so that "&Cancel" always stops a run.
    UpdateData(true);
    // A raw binary typed in by hand is asked for its address once, before
    // its first run; a run without one refuses the file in the log.
    const bool bNeedsAddress = FirmwareNeedsAddress(m_values.strFilePath);
    if (bNeedsAddress && m_loader.IsIdle() && !ParseLoadAddress(m_settings.strBinAddress))
        AskLoadAddress(m_values.strFilePath);
    CRunInputs inputs = RunInputsOf(m_values, m_view.ReadControls().combos, m_settings.strSupportVersion);
    inputs.nWindow = m_settings.nWindow;
    if (bNeedsAddress)
        inputs.loadOptions.nLoadAddress = ParseLoadAddress(m_settings.strBinAddress);
    // Starts a run, asks a running one to stop, or (while one is stopping) nothing.
    m_loader.OnStartButton(inputs);
}

void CDialogModel::OnSelectFile()
{
    UpdateData(true);
    std::string strChosen;
    if (!m_view.ChooseFile(m_values.strFilePath, strChosen) || strChosen.empty())
        return;
    m_values.strFilePath = strChosen;
    UpdateData(false);
    AskLoadAddress(strChosen);
}

void CDialogModel::AskLoadAddress(const std::string& strPath)
{
    if (!FirmwareNeedsAddress(strPath))
        return;
    // The name alone: either system's separator ends a folder.
    std::string strQuestion = kLoadAddressQuestion;
    strQuestion.replace(strQuestion.find("{}"), 2, strPath.substr(strPath.find_last_of("/\\") + 1));
    std::string strAnswer = m_settings.strBinAddress.empty() ? "0x0" : m_settings.strBinAddress;
    while (m_view.AskText(strQuestion, strAnswer, strAnswer)) {
        if (const std::optional<uint32_t> nAddress = ParseLoadAddress(strAnswer)) {
            m_settings.strBinAddress = AddressText(*nAddress);
            SaveBinAddress(m_profile, m_settings.strBinAddress, m_reports);
            m_reports.AppendLog("-- The raw binary file " + strPath + " loads at " + m_settings.strBinAddress + ".\r\n",
                                kLogBlack);
            return;
        }
        m_view.ShowBox(kNotAnAddressText, EBoxIcon::kWarning);
    }
}

void CDialogModel::OnOpenClosePort()
{
    if (!UpdateData(true))
        return;
    if (m_loader.OnOpenClosePort(PortChoiceOf(m_view.ReadControls().combos, false)))
        SaveSettings(m_profile, CurrentSettings(), m_reports);
    UpdateData(false);
}

void CDialogModel::OnAutoSend()
{
    m_bAutoSending = !m_bAutoSending;
    m_view.SetControlText(EControl::kAutoSend, m_bAutoSending ? kStopSendText : kAutoSendText);
    if (!m_bAutoSending) {
        m_view.StopTimer(ETimer::kAutoSend);
        return;
    }
    OnAutoSendTimer();
}

void CDialogModel::OnAutoSendTimer()
{
    m_view.StopTimer(ETimer::kAutoSend);
    if (!m_bAutoSending)
        return;
    OnManualSend();
    // The period follows the interval edit as it is now.
    m_view.StartTimer(ETimer::kAutoSend, TimerPeriod(m_values.nTimeInterval));
}

void CDialogModel::OnReceive()
{
    m_bReceiving = !m_bReceiving;
    m_view.SetControlText(EControl::kReceive, m_bReceiving ? kStopReceiveText : kReceiveText);
    if (m_bReceiving)
        m_view.StartTimer(ETimer::kReceive, TimerPeriod(m_values.nTimeInterval));
    else
        m_view.StopTimer(ETimer::kReceive);
}

void CDialogModel::OnReceiveTimer()
{
    m_view.StopTimer(ETimer::kReceive);
    if (!m_bReceiving)
        return;
    m_loader.PollReceive();  // takes what has arrived; never waits
    m_view.StartTimer(ETimer::kReceive, TimerPeriod(m_values.nTimeInterval));
}

void CDialogModel::OnManualSend()
{
    const int nSendMode = SelectedIndex(EControl::kSendMode, m_view.ReadControls().combos.sendMode) == 1 ? 1 : 0;
    m_loader.ManualSend(m_values.strSend, nSendMode);
}

void CDialogModel::OnClear()
{
    m_view.FlushReports();
    m_log.Clear();
    m_view.ClearLog();
}

void CDialogModel::OnEditChanged(EControl eEdit)
{
    if (ExchangesOnChange(eEdit))
        UpdateData(true);
}

void CDialogModel::OnBurnTypeClicked(int nBurnType)
{
    m_view.EnableControl(EControl::kChipType, nBurnType == 2);
}

void CDialogModel::OnDropFiles(const std::vector<CDroppedItem>& items)
{
    if (items.size() != 1) {
        m_reports.AppendLog("## Drop one firmware file at a time: " + std::to_string(items.size()) +
                                " files were dropped.\r\n",
                            kLogRed);
        return;
    }
    const CDroppedItem& item = items.front();
    if (item.strLocalPath.empty()) {
        m_reports.AppendLog("## Only a local file can be dropped: " + item.strShown + "\r\n", kLogRed);
        return;
    }
    if (item.bFolder) {
        m_reports.AppendLog("## Not a file: " + item.strLocalPath + "\r\n", kLogRed);
        return;
    }
    // Said at once rather than at the start of a run.
    if (!FirmwareFormatOf(item.strLocalPath)) {
        m_reports.AppendLog("## Not a " + FirmwareEndingsText() + " file: " + item.strLocalPath + "\r\n", kLogRed);
        return;
    }
    // The edit exchanges nothing as it changes: the path is read at the next exchange.
    m_view.SetControlText(EControl::kFilePath, item.strLocalPath);
    AskLoadAddress(item.strLocalPath);
}

void CDialogModel::OnCloseRequest()
{
    if (m_bClosing || m_bAskingToClose)
        return;  // already waiting for the run to stop, or for the answer
    if (!m_loader.IsIdle()) {
        // Stopping leaves the device half-written in IAP mode: the operator decides.
        bool bStop = false;
        {
            const CFlagScope asking(m_bAskingToClose);
            m_bRunEndedWhileAsking = false;
            bStop = m_view.AskQuestion(kStopAndCloseQuestion, false) || m_bRunEndedWhileAsking;
        }
        if (!bStop)
            return;
    }
    if (!m_loader.IsIdle()) {
        m_bClosing = true;
        m_loader.RequestStop();
        m_view.StartTimer(ETimer::kClose, kCloseCheckMs);
        return;
    }
    FinishClose();
}

void CDialogModel::OnTimer(ETimer eTimer)
{
    switch (eTimer) {
    case ETimer::kReceive: OnReceiveTimer(); break;
    case ETimer::kAutoSend: OnAutoSendTimer(); break;
    case ETimer::kClose: OnCloseTimer(); break;
    }
}

void CDialogModel::OnCloseTimer()
{
    if (!m_loader.IsIdle())
        return;
    m_view.StopTimer(ETimer::kClose);
    m_bClosing = false;
    FinishClose();
}

void CDialogModel::FinishClose()
{
    m_loader.WaitForRun();  // idle: the worker has made its last call
    m_view.FlushReports();
    OnDestroy();
    m_view.CloseWindow();
}

void CDialogModel::OnDestroy()
{
    m_bDestroyed = true;
    m_view.StopTimer(ETimer::kReceive);
    m_view.StopTimer(ETimer::kAutoSend);
    // Every edit counts, also the ones that exchange nothing as they change;
    // the window is going away, so an edit without a number keeps its last
    // value quietly.
    ReadControlsQuietly();
    SaveSettings(m_profile, CurrentSettings(), m_reports);
    if (!SavePortMap(m_profile, m_loader.ComPorts()))
        m_reports.AppendLog("## Cannot write the port map to the settings file.\r\n", kLogRed);
    if (m_loader.ClosePortWhenIdle())
        m_reports.OnPortButtonState(false);
}

void CDialogModel::AppendLogs(const std::vector<CLogPiece>& pieces)
{
    const CLogAppend append = m_log.Append(pieces);
    if (!append.pieces.empty())
        m_view.AppendToLog(append);
}

void CDialogModel::BeginProgress(int nCount)
{
    // A range of 0 to 0 would make a bar a busy indicator.
    m_nProgressMax = std::max(nCount & 0xFFFF, 1);
    m_nProgressPos = 0;
    m_view.SetProgressRange(m_nProgressMax);
    m_view.SetProgressPos(m_nProgressPos);
}

void CDialogModel::StepProgress(int nSteps)
{
    m_nProgressPos = std::min(m_nProgressPos + nSteps, m_nProgressMax);
    m_view.SetProgressPos(m_nProgressPos);
}

void CDialogModel::ShowProgress(bool bShow)
{
    if (!bShow) {
        m_nProgressPos = 0;
        m_view.SetProgressPos(m_nProgressPos);
    }
    m_view.ShowProgress(bShow);
}

void CDialogModel::OnRunStateChanged(bool bRunning)
{
    m_view.SetControlText(EControl::kStart, bRunning ? kCancelText : kStartText);
    if (bRunning)
        return;
    RefreshPortItems();  // a search of the run may have numbered new devices
    if (m_bAskingToClose) {
        // The question is about a run that is over: the window goes, as
        // Yes would have taken it.
        m_bRunEndedWhileAsking = true;
        m_view.DismissQuestion();
    }
}

void CDialogModel::OnPortButtonState(bool bOpen)
{
    m_view.SetControlText(EControl::kOpenPort, bOpen ? kClosePortText : kOpenPortText);
}

void CDialogModel::ShowMessageBox(const std::string& strText)
{
    m_view.ShowBox(strText, EBoxIcon::kNone);
}

bool CDialogModel::AskYesNo(const std::string& strText)
{
    // The engine's one question is whether to downgrade the device: Enter
    // must not do that, so No is the default.
    return m_view.AskQuestion(strText, false);
}
