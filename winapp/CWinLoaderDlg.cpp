#include "winapp/CWinLoaderDlg.h"

#include <filesystem>
#include <iterator>
#include <string_view>

#include <commctrl.h>
#include <commdlg.h>
#include <richedit.h>
#include <shellapi.h>

#include "core/win32/WideText.h"
#include "winapp/resource.h"

// The template's control IDs are the model's: the resource compiler reads
// resource.h, the model its own enumeration, and these tie the two together.
#define VANTREL_SAME_ID(eControl, nId) static_assert(static_cast<int>(EControl::eControl) == (nId), #nId)
VANTREL_SAME_ID(kStart, IDOK);
VANTREL_SAME_ID(kFilePath, IDC_FILE_PATH);
VANTREL_SAME_ID(kAutoSend, IDC_AUTO_SEND);
VANTREL_SAME_ID(kSelectFile, IDC_SELECT_FILE);
VANTREL_SAME_ID(kReceive, IDC_RECEIVE);
VANTREL_SAME_ID(kPort, IDC_PORT);
VANTREL_SAME_ID(kClear, IDC_CLEAR);
VANTREL_SAME_ID(kSendMode, IDC_SEND_MODE);
VANTREL_SAME_ID(kManualSend, IDC_MANUAL_SEND);
VANTREL_SAME_ID(kSend, IDC_SEND_TEXT);
VANTREL_SAME_ID(kProgress, IDC_PROGRESS);
VANTREL_SAME_ID(kLog, IDC_LOG);
VANTREL_SAME_ID(kFirmware, IDC_BURN_PROGRAMMER);
VANTREL_SAME_ID(kEmulator, IDC_BURN_EMULATOR);
VANTREL_SAME_ID(kProgram, IDC_BURN_PROGRAM);
VANTREL_SAME_ID(kFrameLen, IDC_FRAME_LEN);
VANTREL_SAME_ID(kRepeatTimes, IDC_REPEAT_TIMES);
VANTREL_SAME_ID(kTimeInterval, IDC_TIME_INTERVAL);
VANTREL_SAME_ID(kVerPatch, IDC_VER_PATCH);
VANTREL_SAME_ID(kVerMinor, IDC_VER_MINOR);
VANTREL_SAME_ID(kVerMajor, IDC_VER_MAJOR);
VANTREL_SAME_ID(kChipType, IDC_CHIP_CHECK);
VANTREL_SAME_ID(kOpenPort, IDC_OPEN_PORT);
VANTREL_SAME_ID(kBaudRate, IDC_BAUD_RATE);
VANTREL_SAME_ID(kDataBits, IDC_DATA_BITS);
VANTREL_SAME_ID(kParity, IDC_PARITY);
VANTREL_SAME_ID(kStopBits, IDC_STOP_BITS);
#undef VANTREL_SAME_ID

namespace {

const wchar_t kBoxCaption[] = L"vantrel";

std::string ItemText(HWND hWnd)
{
    const int nLength = ::GetWindowTextLengthW(hWnd);
    std::wstring strText(static_cast<size_t>(nLength) + 1, L'\0');
    const int nRead = ::GetWindowTextW(hWnd, strText.data(), nLength + 1);
    strText.resize(static_cast<size_t>(nRead > 0 ? nRead : 0));
    return WideToUtf8(strText);
}

void SetTextIfDifferent(HWND hEdit, const std::string& strText)
{
    if (ItemText(hEdit) != strText)
        ::SetWindowTextW(hEdit, Utf8ToWide(strText).c_str());
}

std::string ComboItemText(HWND hCombo, int nIndex)
{
    const LRESULT nLength = ::SendMessageW(hCombo, CB_GETLBTEXTLEN, static_cast<WPARAM>(nIndex), 0);
    if (nLength == CB_ERR)
        return {};
    std::wstring strText(static_cast<size_t>(nLength) + 1, L'\0');
    ::SendMessageW(hCombo, CB_GETLBTEXT, static_cast<WPARAM>(nIndex), reinterpret_cast<LPARAM>(strText.data()));
    strText.resize(static_cast<size_t>(nLength));
    return WideToUtf8(strText);
}

// Inserted by position: the template sorts some boxes, but the model counts
// items in its own order.
void InsertComboItem(HWND hCombo, int nIndex, const std::string& strText)
{
    ::SendMessageW(hCombo, CB_INSERTSTRING, static_cast<WPARAM>(nIndex),
                   reinterpret_cast<LPARAM>(Utf8ToWide(strText).c_str()));
}

CComboValue ComboValue(HWND hCombo)
{
    const LRESULT nIndex = ::SendMessageW(hCombo, CB_GETCURSEL, 0, 0);
    return {nIndex == CB_ERR ? -1 : static_cast<int>(nIndex), ItemText(hCombo)};
}

void SelectIndex(HWND hCombo, const CComboValue& value)
{
    const LRESULT nCount = ::SendMessageW(hCombo, CB_GETCOUNT, 0, 0);
    const int nIndex = value.nIndex >= 0 && value.nIndex < nCount ? value.nIndex : -1;
    ::SendMessageW(hCombo, CB_SETCURSEL, static_cast<WPARAM>(nIndex), 0);
}

// A rich edit (2.0 and later) keeps a line end as one "\r".
std::wstring RichEditText(const std::string& strText)
{
    std::wstring strWide = Utf8ToWide(strText);
    for (wchar_t& ch : strWide) {
        if (ch == L'\n')
            ch = L'\r';
    }
    return strWide;
}

// Gives the dropped files back to the shell whichever way the handler leaves.
class CDropFinisher {
public:
    explicit CDropFinisher(HDROP hDrop) : m_hDrop(hDrop) {}
    ~CDropFinisher() { ::DragFinish(m_hDrop); }
    CDropFinisher(const CDropFinisher&) = delete;
    CDropFinisher& operator=(const CDropFinisher&) = delete;

private:
    HDROP m_hDrop;
};

constexpr EControl kEdits[] = {EControl::kFilePath,     EControl::kFrameLen, EControl::kRepeatTimes,
                               EControl::kTimeInterval, EControl::kSend,     EControl::kVerMajor,
                               EControl::kVerMinor,     EControl::kVerPatch};
constexpr EControl kCombos[] = {EControl::kPort,   EControl::kBaudRate, EControl::kDataBits,
                                EControl::kParity, EControl::kStopBits, EControl::kSendMode};
constexpr EControl kRadios[] = {EControl::kFirmware, EControl::kEmulator, EControl::kProgram};

INT_PTR CALLBACK AboutProc(HWND hWnd, UINT nMessage, WPARAM wParam, LPARAM)
{
    if (nMessage == WM_INITDIALOG)
        return TRUE;
    if (nMessage == WM_COMMAND && (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)) {
        ::EndDialog(hWnd, LOWORD(wParam));
        return TRUE;
    }
    return FALSE;
}

// What the text box shows and, once answered with OK, what was typed.
struct SAskText {
    std::wstring strCaption;
    std::wstring strQuestion;
    std::wstring strAnswer;
};

INT_PTR CALLBACK AskTextProc(HWND hWnd, UINT nMessage, WPARAM wParam, LPARAM lParam)
{
    if (nMessage == WM_INITDIALOG) {
        auto* pAsk = reinterpret_cast<SAskText*>(lParam);
        ::SetWindowLongPtrW(hWnd, DWLP_USER, lParam);
        ::SetWindowTextW(hWnd, pAsk->strCaption.c_str());
        ::SetDlgItemTextW(hWnd, IDC_ASK_QUESTION, pAsk->strQuestion.c_str());
        ::SetDlgItemTextW(hWnd, IDC_ASK_ANSWER, pAsk->strAnswer.c_str());
        // The offered answer selected whole, so that typing replaces it.
        const HWND hEdit = ::GetDlgItem(hWnd, IDC_ASK_ANSWER);
        ::SetFocus(hEdit);
        ::SendMessageW(hEdit, EM_SETSEL, 0, -1);
        return FALSE;  // the focus is set
    }
    if (nMessage == WM_COMMAND && (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)) {
        if (LOWORD(wParam) == IDOK) {
            auto* pAsk = reinterpret_cast<SAskText*>(::GetWindowLongPtrW(hWnd, DWLP_USER));
            const HWND hEdit = ::GetDlgItem(hWnd, IDC_ASK_ANSWER);
            std::wstring strText(static_cast<size_t>(::GetWindowTextLengthW(hEdit)) + 1, L'\0');
            strText.resize(
                static_cast<size_t>(::GetWindowTextW(hEdit, strText.data(), static_cast<int>(strText.size()))));
            pAsk->strAnswer = strText;
        }
        ::EndDialog(hWnd, LOWORD(wParam));
        return TRUE;
    }
    return FALSE;
}

}  // namespace

CWinLoaderDlg::CWinLoaderDlg()
    : m_nUiThread(::GetCurrentThreadId()),
      m_reports({[this] {
                     // Before the window exists the reports wait; OnInitDialog asks again.
                     const HWND hWnd = m_hWnd.load();
                     return hWnd && ::PostMessageW(hWnd, kFlushReportsMessage, 0, 0);
                 },
                 [this] { return ::GetCurrentThreadId() == m_nUiThread; }}),
      m_model(*this, m_reports)
{
    m_reports.SetModel(&m_model);
}

CWinLoaderDlg::~CWinLoaderDlg()
{
    // Normally done as the window went; here for a dialog never shown.
    m_reports.Detach();
}

INT_PTR CWinLoaderDlg::DoModal(HINSTANCE hInstance, HWND hParent)
{
    m_hInstance = hInstance;
    return ::DialogBoxParamW(hInstance, MAKEINTRESOURCEW(IDD_VANTREL_DIALOG), hParent, DialogProc,
                             reinterpret_cast<LPARAM>(this));
}

INT_PTR CALLBACK CWinLoaderDlg::DialogProc(HWND hWnd, UINT nMessage, WPARAM wParam, LPARAM lParam)
{
    auto* pDlg = reinterpret_cast<CWinLoaderDlg*>(::GetWindowLongPtrW(hWnd, DWLP_USER));
    if (nMessage == WM_INITDIALOG) {
        pDlg = reinterpret_cast<CWinLoaderDlg*>(lParam);
        ::SetWindowLongPtrW(hWnd, DWLP_USER, lParam);
        pDlg->m_hWnd = hWnd;
    }
    return pDlg ? pDlg->OnMessage(nMessage, wParam, lParam) : FALSE;
}

INT_PTR CWinLoaderDlg::OnMessage(UINT nMessage, WPARAM wParam, LPARAM lParam)
{
    switch (nMessage) {
    case WM_INITDIALOG: OnInitDialog(); return TRUE;
    case WM_COMMAND: return OnCommand(LOWORD(wParam), HIWORD(wParam)) ? TRUE : FALSE;
    case WM_TIMER:
        if (wParam >= static_cast<WPARAM>(ETimer::kReceive) && wParam <= static_cast<WPARAM>(ETimer::kClose)) {
            m_model.OnTimer(static_cast<ETimer>(wParam));
            return TRUE;
        }
        return FALSE;
    case WM_SYSCOMMAND:
        if ((wParam & 0xFFF0) == IDM_ABOUTBOX) {
            ShowAbout();
            return TRUE;
        }
        return FALSE;
    case WM_DROPFILES: OnDropFiles(reinterpret_cast<HDROP>(wParam)); return TRUE;
    case kFlushReportsMessage: m_reports.Flush(); return TRUE;
    case WM_DESTROY:
        // From here on the worker reports into nothing and waits for no one.
        m_reports.Detach();
        m_model.Shutdown();
        for (ETimer eTimer : {ETimer::kReceive, ETimer::kAutoSend, ETimer::kClose})
            ::KillTimer(Window(), static_cast<UINT_PTR>(eTimer));
        m_hWnd = nullptr;
        return FALSE;
    default: break;
    }
    (void)lParam;
    return FALSE;
}

void CWinLoaderDlg::OnInitDialog()
{
    const HWND hWnd = Window();
    m_reports.PostPending();
    for (EControl eCombo : kCombos) {
        const HWND hCombo = Control(eCombo);
        int nIndex = 0;
        for (const std::string& strItem : ComboItems(eCombo))
            InsertComboItem(hCombo, nIndex++, strItem);
    }
    // Room for the model's limit; the control's own default is 32K.
    ::SendMessageW(Control(EControl::kLog), EM_EXLIMITTEXT, 0, static_cast<LPARAM>(kLogLimit * 2));

    if (const HMENU hSysMenu = ::GetSystemMenu(hWnd, FALSE)) {
        wchar_t szAbout[128] = {};
        if (::LoadStringW(m_hInstance, IDS_ABOUTBOX, szAbout, static_cast<int>(std::size(szAbout))) > 0) {
            ::AppendMenuW(hSysMenu, MF_SEPARATOR, 0, nullptr);
            ::AppendMenuW(hSysMenu, MF_STRING, IDM_ABOUTBOX, szAbout);
        }
    }
    // Shared icons: the system keeps them, nothing to free.
    const auto hBig =
        static_cast<HICON>(::LoadImageW(m_hInstance, MAKEINTRESOURCEW(IDR_MAINFRAME), IMAGE_ICON,
                                        ::GetSystemMetrics(SM_CXICON), ::GetSystemMetrics(SM_CYICON), LR_SHARED));
    const auto hSmall =
        static_cast<HICON>(::LoadImageW(m_hInstance, MAKEINTRESOURCEW(IDR_MAINFRAME), IMAGE_ICON,
                                        ::GetSystemMetrics(SM_CXSMICON), ::GetSystemMetrics(SM_CYSMICON), LR_SHARED));
    ::SendMessageW(hWnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(hBig));
    ::SendMessageW(hWnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(hSmall));
    ::DragAcceptFiles(hWnd, TRUE);

    m_model.InitDialog();
}

bool CWinLoaderDlg::OnCommand(int nId, int nCode)
{
    if (nCode == EN_CHANGE) {
        for (EControl eEdit : kEdits) {
            if (nId == static_cast<int>(eEdit)) {
                m_model.OnEditChanged(eEdit);
                return true;
            }
        }
        return false;
    }
    if (nCode != BN_CLICKED)
        return false;
    switch (nId) {
    case IDOK:
        // Enter: in the send edit it sends; anywhere else it is the start button.
        if (::GetFocus() == Control(EControl::kSend))
            m_model.OnManualSend();
        else
            m_model.OnStartButton();
        return true;
    case IDCANCEL: m_model.OnCloseRequest(); return true;
    case IDC_SELECT_FILE: m_model.OnSelectFile(); return true;
    case IDC_OPEN_PORT: m_model.OnOpenClosePort(); return true;
    case IDC_AUTO_SEND: m_model.OnAutoSend(); return true;
    case IDC_RECEIVE: m_model.OnReceive(); return true;
    case IDC_CLEAR: m_model.OnClear(); return true;
    case IDC_MANUAL_SEND: m_model.OnManualSend(); return true;
    case IDC_BURN_PROGRAMMER: m_model.OnBurnTypeClicked(0); return true;
    case IDC_BURN_EMULATOR: m_model.OnBurnTypeClicked(1); return true;
    case IDC_BURN_PROGRAM: m_model.OnBurnTypeClicked(2); return true;
    default: return false;
    }
}

void CWinLoaderDlg::OnDropFiles(HDROP hDrop)
{
    const CDropFinisher finisher(hDrop);
    const UINT nCount = ::DragQueryFileW(hDrop, 0xFFFFFFFF, nullptr, 0);
    std::vector<CDroppedItem> items;
    for (UINT i = 0; i < nCount; ++i) {
        const UINT nLength = ::DragQueryFileW(hDrop, i, nullptr, 0);
        std::wstring strPath(nLength + 1, L'\0');
        ::DragQueryFileW(hDrop, i, strPath.data(), nLength + 1);
        strPath.resize(nLength);
        CDroppedItem item;
        item.strLocalPath = WideToUtf8(strPath);
        item.strShown = item.strLocalPath;
        const DWORD nAttributes = ::GetFileAttributesW(strPath.c_str());
        item.bFolder = nAttributes != INVALID_FILE_ATTRIBUTES && (nAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        items.push_back(std::move(item));
    }
    m_model.OnDropFiles(items);
}

void CWinLoaderDlg::ShowAbout()
{
    ::DialogBoxParamW(m_hInstance, MAKEINTRESOURCEW(IDD_ABOUTBOX), Window(), AboutProc, 0);
}

HWND CWinLoaderDlg::Control(EControl eControl) const
{
    return ::GetDlgItem(Window(), static_cast<int>(eControl));
}

CDialogControls CWinLoaderDlg::ReadControls() const
{
    CDialogControls controls;
    CDialogFields& fields = controls.fields;
    fields.strFilePath = ItemText(Control(EControl::kFilePath));
    fields.strFrameLen = ItemText(Control(EControl::kFrameLen));
    fields.strTimeInterval = ItemText(Control(EControl::kTimeInterval));
    fields.strRepeatTimes = ItemText(Control(EControl::kRepeatTimes));
    fields.strSend = ItemText(Control(EControl::kSend));
    fields.strVerMajor = ItemText(Control(EControl::kVerMajor));
    fields.strVerMinor = ItemText(Control(EControl::kVerMinor));
    fields.strVerPatch = ItemText(Control(EControl::kVerPatch));
    fields.nBurnType = -1;
    for (int i = 0; i < 3; ++i) {
        if (::IsDlgButtonChecked(Window(), static_cast<int>(kRadios[i])) == BST_CHECKED) {
            fields.nBurnType = i;
            break;
        }
    }
    fields.bChipTypeCheck = ::IsDlgButtonChecked(Window(), IDC_CHIP_CHECK) == BST_CHECKED;
    CComboSelection& combos = controls.combos;
    combos.port = ComboValue(Control(EControl::kPort));
    combos.baudRate = ComboValue(Control(EControl::kBaudRate));
    combos.dataBits = ComboValue(Control(EControl::kDataBits));
    combos.parity = ComboValue(Control(EControl::kParity));
    combos.stopBits = ComboValue(Control(EControl::kStopBits));
    combos.sendMode = ComboValue(Control(EControl::kSendMode));
    return controls;
}

void CWinLoaderDlg::WriteFields(const CDialogFields& fields)
{
    SetTextIfDifferent(Control(EControl::kFilePath), fields.strFilePath);
    SetTextIfDifferent(Control(EControl::kFrameLen), fields.strFrameLen);
    SetTextIfDifferent(Control(EControl::kTimeInterval), fields.strTimeInterval);
    SetTextIfDifferent(Control(EControl::kRepeatTimes), fields.strRepeatTimes);
    SetTextIfDifferent(Control(EControl::kSend), fields.strSend);
    SetTextIfDifferent(Control(EControl::kVerMajor), fields.strVerMajor);
    SetTextIfDifferent(Control(EControl::kVerMinor), fields.strVerMinor);
    SetTextIfDifferent(Control(EControl::kVerPatch), fields.strVerPatch);
    for (int i = 0; i < 3; ++i)
        ::CheckDlgButton(Window(), static_cast<int>(kRadios[i]), i == fields.nBurnType ? BST_CHECKED : BST_UNCHECKED);
    ::CheckDlgButton(Window(), IDC_CHIP_CHECK, fields.bChipTypeCheck ? BST_CHECKED : BST_UNCHECKED);
}

void CWinLoaderDlg::SelectComboItems(const CComboSelection& combos)
{
    SelectIndex(Control(EControl::kStopBits), combos.stopBits);
    SelectIndex(Control(EControl::kPort), combos.port);
    SelectIndex(Control(EControl::kDataBits), combos.dataBits);
    SelectIndex(Control(EControl::kParity), combos.parity);
    SelectIndex(Control(EControl::kBaudRate), combos.baudRate);
    SelectIndex(Control(EControl::kSendMode), combos.sendMode);
}

void CWinLoaderDlg::SetPortItems(const std::vector<std::string>& items)
{
    const HWND hCombo = Control(EControl::kPort);
    const int nCount = static_cast<int>(::SendMessageW(hCombo, CB_GETCOUNT, 0, 0));
    const LRESULT nSelected = ::SendMessageW(hCombo, CB_GETCURSEL, 0, 0);
    for (int i = 0; i < nCount && i < static_cast<int>(items.size()); ++i) {
        const std::string& strText = items[static_cast<size_t>(i)];
        if (ComboItemText(hCombo, i) == strText)
            continue;
        ::SendMessageW(hCombo, CB_DELETESTRING, static_cast<WPARAM>(i), 0);
        InsertComboItem(hCombo, i, strText);
    }
    ::SendMessageW(hCombo, CB_SETCURSEL, static_cast<WPARAM>(nSelected), 0);
}

void CWinLoaderDlg::SetControlText(EControl eControl, const std::string& strText)
{
    ::SetWindowTextW(Control(eControl), Utf8ToWide(strText).c_str());
}

void CWinLoaderDlg::EnableControl(EControl eControl, bool bEnable)
{
    ::EnableWindow(Control(eControl), bEnable ? TRUE : FALSE);
}

void CWinLoaderDlg::FocusControl(EControl eControl)
{
    const HWND hControl = Control(eControl);
    if (!hControl)
        return;
    // The dialog's own way, so that the default button follows.
    ::SendMessageW(Window(), WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(hControl), TRUE);
    ::SendMessageW(hControl, EM_SETSEL, 0, -1);
}

void CWinLoaderDlg::ShowBox(const std::string& strText, EBoxIcon eIcon)
{
    ::MessageBoxW(Window(), Utf8ToWide(strText).c_str(), kBoxCaption,
                  MB_OK | (eIcon == EBoxIcon::kWarning ? MB_ICONWARNING : 0));
}

bool CWinLoaderDlg::AskQuestion(const std::string& strText, bool bDefaultYes)
{
    return ::MessageBoxW(Window(), Utf8ToWide(strText).c_str(), kBoxCaption,
                         MB_YESNO | MB_ICONQUESTION | (bDefaultYes ? MB_DEFBUTTON1 : MB_DEFBUTTON2)) == IDYES;
}

void CWinLoaderDlg::DismissQuestion()
{
    // The message box is a dialog of this thread owned by the window; it is
    // the only one up while a question is.
    struct CSearch {
        HWND hOwner;
        HWND hBox = nullptr;
    } search {Window()};
    ::EnumThreadWindows(
        ::GetCurrentThreadId(),
        [](HWND hWnd, LPARAM lParam) -> BOOL {
            auto* pSearch = reinterpret_cast<CSearch*>(lParam);
            wchar_t szClass[8] = {};
            ::GetClassNameW(hWnd, szClass, 8);
            if (::GetWindow(hWnd, GW_OWNER) != pSearch->hOwner || std::wstring_view(szClass) != L"#32770")
                return TRUE;
            pSearch->hBox = hWnd;
            return FALSE;
        },
        reinterpret_cast<LPARAM>(&search));
    if (search.hBox != nullptr)
        ::EndDialog(search.hBox, IDNO);
}

bool CWinLoaderDlg::AskText(const std::string& strQuestion, const std::string& strOffered, std::string& strAnswer)
{
    SAskText ask {kBoxCaption, {}, Utf8ToWide(strOffered)};
    // A static control breaks lines at CR LF only.
    for (const wchar_t ch : Utf8ToWide(strQuestion)) {
        if (ch == L'\n' && (ask.strQuestion.empty() || ask.strQuestion.back() != L'\r'))
            ask.strQuestion.push_back(L'\r');
        ask.strQuestion.push_back(ch);
    }
    if (::DialogBoxParamW(m_hInstance, MAKEINTRESOURCEW(IDD_ASK_TEXT), Window(), AskTextProc,
                          reinterpret_cast<LPARAM>(&ask)) != IDOK)
        return false;
    strAnswer = WideToUtf8(ask.strAnswer);
    return true;
}

bool CWinLoaderDlg::ChooseFile(const std::string& strCurrent, std::string& strChosen)
{
    // "Name (patterns)", then the patterns with ";" between them, each ending
    // in a null, the list ending in another.
    std::wstring strFilter;
    for (const CFileFilter& filter : FirmwareFileFilters()) {
        std::wstring strPatterns = Utf8ToWide(filter.strPatterns);
        for (wchar_t& ch : strPatterns) {
            if (ch == L' ')
                ch = L';';
        }
        strFilter += Utf8ToWide(filter.strName) + L" (" + strPatterns + L")";
        strFilter.push_back(L'\0');
        strFilter += strPatterns;
        strFilter.push_back(L'\0');
    }
    strFilter.push_back(L'\0');
    std::wstring strFolder;
    if (!strCurrent.empty())
        strFolder = std::filesystem::path(Utf8ToWide(strCurrent)).parent_path().wstring();
    std::wstring strFile(32768, L'\0');
    OPENFILENAMEW ofn = {};
    ofn.lStructSize = sizeof(ofn);
    ofn.hwndOwner = Window();
    ofn.lpstrFilter = strFilter.c_str();
    ofn.nFilterIndex = 1;
    ofn.lpstrFile = strFile.data();
    ofn.nMaxFile = static_cast<DWORD>(strFile.size());
    ofn.lpstrInitialDir = strFolder.empty() ? nullptr : strFolder.c_str();
    ofn.Flags = OFN_EXPLORER | OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY;
    if (!::GetOpenFileNameW(&ofn))
        return false;
    strChosen = WideToUtf8(std::wstring(strFile.c_str()));
    return !strChosen.empty();
}

void CWinLoaderDlg::StartTimer(ETimer eTimer, int nMs)
{
    ::SetTimer(Window(), static_cast<UINT_PTR>(eTimer), static_cast<UINT>(nMs), nullptr);
}

void CWinLoaderDlg::StopTimer(ETimer eTimer)
{
    ::KillTimer(Window(), static_cast<UINT_PTR>(eTimer));
}

void CWinLoaderDlg::ClearLog()
{
    ::SetWindowTextW(Control(EControl::kLog), L"");
}

void CWinLoaderDlg::AppendToLog(const CLogAppend& append)
{
    const HWND hLog = Control(EControl::kLog);
    if (append.bClearFirst)
        ClearLog();
    CHARRANGE end = {-1, -1};
    for (const CLogPiece& piece : append.pieces) {
        ::SendMessageW(hLog, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&end));
        const CLogRgb rgb = LogColourRgb(piece.nColour);
        CHARFORMAT2W format = {};
        format.cbSize = sizeof(format);
        format.dwMask = CFM_COLOR;
        format.crTextColor = RGB(rgb.nRed, rgb.nGreen, rgb.nBlue);
        ::SendMessageW(hLog, EM_SETCHARFORMAT, SCF_SELECTION, reinterpret_cast<LPARAM>(&format));
        const std::wstring strText = RichEditText(piece.strText);
        ::SendMessageW(hLog, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(strText.c_str()));
    }
    const size_t nCut = append.CutPosition(1);
    if (nCut > 0) {
        CHARRANGE cut = {0, static_cast<LONG>(nCut)};
        ::SendMessageW(hLog, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&cut));
        ::SendMessageW(hLog, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(L""));
    }
    // The operator's selection goes; the newest text comes into view.
    ::SendMessageW(hLog, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&end));
    ::SendMessageW(hLog, EM_SCROLLCARET, 0, 0);
}

void CWinLoaderDlg::SetProgressRange(int nMax)
{
    ::SendMessageW(Control(EControl::kProgress), PBM_SETRANGE32, 0, nMax);
}

void CWinLoaderDlg::SetProgressPos(int nPos)
{
    ::SendMessageW(Control(EControl::kProgress), PBM_SETPOS, static_cast<WPARAM>(nPos), 0);
}

void CWinLoaderDlg::ShowProgress(bool bShow)
{
    ::ShowWindow(Control(EControl::kProgress), bShow ? SW_SHOW : SW_HIDE);
}

void CWinLoaderDlg::FlushReports()
{
    m_reports.Flush();
}

void CWinLoaderDlg::CloseWindow()
{
    ::EndDialog(Window(), IDCANCEL);
}
