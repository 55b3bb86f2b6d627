// The Win32 dialog as the operator meets it: the real template and view on
// a thread of their own, driven from the test's thread by window messages,
// its boxes found and answered as windows. Runs go to vantrel-sim on the
// COM port tests/win32/with-sim.sh maps (VANTREL_TEST_COM, one the port box
// lists), which takes line time so that a long run can be cancelled.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <windows.h>
#include <commctrl.h>
#include <richedit.h>
#include <shellapi.h>
#include <shlobj.h>
#include <shlwapi.h>
#undef ReplaceFile

#include <gtest/gtest.h>

#include "WinFixtures.h"
#include "common/ScopedEnv.h"
#include "core/win32/WideText.h"
#include "dialog/DialogControls.h"
#include "protocol/Checksums.h"
#include "winapp/CWinLoaderDlg.h"
#include "winapp/resource.h"

namespace {

int TestComNumber()
{
    const char* pNumber = std::getenv("VANTREL_TEST_COM");
    return pNumber != nullptr ? std::atoi(pNumber) : 0;
}

// Waits for a condition the dialog's thread brings about; false if it never
// comes. The limit only ends a hung test.
bool WaitFor(const std::function<bool()>& condition, DWORD nLimitMs = 30000)
{
    const ULONGLONG nEnd = ::GetTickCount64() + nLimitMs;
    while (!condition()) {
        if (::GetTickCount64() > nEnd)
            return false;
        ::Sleep(10);
    }
    return true;
}

std::string WindowText(HWND hWnd)
{
    const auto nLength = static_cast<int>(::SendMessageW(hWnd, WM_GETTEXTLENGTH, 0, 0));
    std::wstring strText(static_cast<size_t>(nLength) + 1, L'\0');
    const auto nRead = static_cast<int>(
        ::SendMessageW(hWnd, WM_GETTEXT, static_cast<WPARAM>(nLength + 1), reinterpret_cast<LPARAM>(strText.data())));
    strText.resize(static_cast<size_t>(nRead > 0 ? nRead : 0));
    return WideToUtf8(strText);
}

// Intel HEX of data at nAddress (below 64K): 16-byte data records, the end record.
std::string HexFile(uint16_t nAddress, const std::vector<uint8_t>& data)
{
    std::string strText;
    char szByte[3];
    for (size_t nOffset = 0; nOffset < data.size(); nOffset += 16) {
        const size_t nCount = std::min<size_t>(16, data.size() - nOffset);
        const unsigned nAt = nAddress + static_cast<unsigned>(nOffset);
        std::vector<uint8_t> record = {static_cast<uint8_t>(nCount), static_cast<uint8_t>(nAt >> 8),
                                       static_cast<uint8_t>(nAt & 0xFF), 0};
        record.insert(record.end(), data.begin() + static_cast<ptrdiff_t>(nOffset),
                      data.begin() + static_cast<ptrdiff_t>(nOffset + nCount));
        uint8_t nSum = 0;
        for (uint8_t n : record)
            nSum = static_cast<uint8_t>(nSum + n);
        record.push_back(static_cast<uint8_t>(0x100 - nSum));
        strText += ':';
        for (uint8_t n : record) {
            std::snprintf(szByte, sizeof(szByte), "%02X", n);
            strText += szByte;
        }
        strText += "\r\n";
    }
    return strText + ":00000001FF\r\n";
}

std::vector<uint8_t> Pattern(size_t nLength)
{
    std::vector<uint8_t> data(nLength);
    for (size_t i = 0; i < nLength; ++i)
        data[i] = static_cast<uint8_t>(7 + i * 31);
    return data;
}

struct CFoundBox {
    HWND hBox = nullptr;
    std::string strCaption;
    std::string strText;
};

// The window as the screen shows it, saved as a 24-bit BMP file: the
// screenshot run's picture (tools/wine-screenshot.sh).
bool SaveWindowPicture(HWND hWnd, const std::string& strPath)
{
    RECT rect = {};
    if (!::GetWindowRect(hWnd, &rect))
        return false;
    const int nWidth = rect.right - rect.left;
    const int nHeight = rect.bottom - rect.top;
    const HDC hScreen = ::GetDC(nullptr);
    const HDC hMemory = ::CreateCompatibleDC(hScreen);
    const HBITMAP hBitmap = ::CreateCompatibleBitmap(hScreen, nWidth, nHeight);
    const HGDIOBJ hOld = ::SelectObject(hMemory, hBitmap);
    ::BitBlt(hMemory, 0, 0, nWidth, nHeight, hScreen, rect.left, rect.top, SRCCOPY);
    ::SelectObject(hMemory, hOld);
    BITMAPINFOHEADER info = {};
    info.biSize = sizeof(info);
    info.biWidth = nWidth;
    info.biHeight = nHeight;
    info.biPlanes = 1;
    info.biBitCount = 24;
    info.biCompression = BI_RGB;
    const size_t nRow = (static_cast<size_t>(nWidth) * 3 + 3) & ~size_t {3};
    std::string strPixels(nRow * static_cast<size_t>(nHeight), '\0');
    const int nRows = ::GetDIBits(hMemory, hBitmap, 0, static_cast<UINT>(nHeight), strPixels.data(),
                                  reinterpret_cast<BITMAPINFO*>(&info), DIB_RGB_COLORS);
    ::DeleteObject(hBitmap);
    ::DeleteDC(hMemory);
    ::ReleaseDC(nullptr, hScreen);
    if (nRows != nHeight)
        return false;
    BITMAPFILEHEADER header = {};
    header.bfType = 0x4D42;  // "BM"
    header.bfOffBits = sizeof(header) + sizeof(info);
    header.bfSize = static_cast<DWORD>(header.bfOffBits + strPixels.size());
    std::string strFile(reinterpret_cast<const char*>(&header), sizeof(header));
    strFile.append(reinterpret_cast<const char*>(&info), sizeof(info));
    strFile += strPixels;
    return WriteBytes(strPath, strFile);
}

// A drop of these paths as the shell hands it over: a DROPFILES record and
// the paths as UTF-16, each ended by a zero and the list by another. The
// window that takes WM_DROPFILES frees it (DragFinish).
HDROP DropOf(const std::vector<std::string>& paths)
{
    std::wstring strList;
    for (const std::string& strPath : paths)
        strList += Utf8ToWide(strPath) + L'\0';
    strList += L'\0';
    const size_t nBytes = sizeof(DROPFILES) + strList.size() * sizeof(wchar_t);
    const HGLOBAL hDrop = ::GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, nBytes);
    auto* pDrop = static_cast<DROPFILES*>(::GlobalLock(hDrop));
    pDrop->pFiles = sizeof(DROPFILES);
    pDrop->fWide = TRUE;
    std::memcpy(reinterpret_cast<char*>(pDrop) + sizeof(DROPFILES), strList.data(), strList.size() * sizeof(wchar_t));
    ::GlobalUnlock(hDrop);
    return static_cast<HDROP>(hDrop);
}

const char* const kRefusedBoxText = "状态返回失败，返回值为0xaa。";
const char* const kDowngradeQuestion = "当前版本比原来的更老，是否继续升级?";

// The dialog (modal, as vantrel.exe shows it) on a thread of its own, with a
// settings file that permits every version and selects the test's port.
class WinDialogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_nCom = TestComNumber();
        ASSERT_GT(m_nCom, 0) << "VANTREL_TEST_COM names the COM number the simulator's line is mapped to";
        ASSERT_LE(m_nCom, 12) << "the dialog's port box lists COM1 to COM12";
        ASSERT_FALSE(m_dir.Path().empty());
        ASSERT_TRUE(
            WriteBytes(m_dir.File("vantrel.Ini"),
                       "[Port:]\r\nUsedTimes=1\r\nStopBit=0\r\nPortNum=0\r\nDataBit=3\r\nCsBit=2\r\nBaudRate=7\r\n"
                       "SendType=1\r\nFrameLen=1024\r\nRepeatTimes=1\r\nTimeInterval=1000\r\n"
                       "[update]\r\nsupportversion=*.*.*\r\n"));
        m_pIni = std::make_unique<CScopedEnv>("VANTREL_INI", m_dir.File("vantrel.Ini"));

        static bool s_bLoaded = false;
        if (!s_bLoaded) {
            INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
            ASSERT_TRUE(::InitCommonControlsEx(&controls));
            ASSERT_NE(::LoadLibraryW(L"riched20.dll"), nullptr);
            s_bLoaded = true;
        }
        m_thread = std::thread([this] {
            m_nThread = ::GetCurrentThreadId();
            CWinLoaderDlg dlg;
            dlg.DoModal(::GetModuleHandleW(nullptr));
            m_bEnded = true;
        });
        ASSERT_TRUE(WaitFor([this] { return (m_hDlg = FindDialog()) != nullptr; })) << "the dialog never showed";
        // The port box: the test's COM number, chosen as the operator would.
        const HWND hPort = Item(EControl::kPort);
        ::SendMessageW(hPort, CB_SETCURSEL, static_cast<WPARAM>(m_nCom - 1), 0);
        ::SendMessageW(m_hDlg, WM_COMMAND, MAKEWPARAM(IDC_PORT, CBN_SELCHANGE), reinterpret_cast<LPARAM>(hPort));
    }

    void TearDown() override
    {
        if (m_thread.joinable()) {
            if (m_hDlg && !m_bEnded)
                ::PostMessageW(m_hDlg, WM_CLOSE, 0, 0);
            // An idle dialog closes at once; a question about a run is answered Yes.
            WaitFor([this] {
                if (CFoundBox box = FindBox(); box.hBox)
                    Answer(box, IDYES);
                return m_bEnded.load();
            });
            m_thread.join();
        }
        m_pIni.reset();
    }

    HWND FindDialog() const
    {
        if (m_nThread == 0)
            return nullptr;
        struct CSearch {
            HWND hFound = nullptr;
        } search;
        ::EnumThreadWindows(
            m_nThread,
            [](HWND hWnd, LPARAM lParam) -> BOOL {
                wchar_t szClass[16] = {};
                ::GetClassNameW(hWnd, szClass, 16);
                if (std::wstring(szClass) == L"#32770" && ::GetDlgItem(hWnd, IDC_LOG) != nullptr) {
                    reinterpret_cast<CSearch*>(lParam)->hFound = hWnd;
                    return FALSE;
                }
                return TRUE;
            },
            reinterpret_cast<LPARAM>(&search));
        return search.hFound;
    }

    // A visible box of the dialog's thread other than the dialog itself.
    CFoundBox FindBox() const
    {
        struct CSearch {
            HWND hDlg;
            HWND hFound = nullptr;
        } search {m_hDlg};
        ::EnumThreadWindows(
            m_nThread,
            [](HWND hWnd, LPARAM lParam) -> BOOL {
                auto* pSearch = reinterpret_cast<CSearch*>(lParam);
                wchar_t szClass[16] = {};
                ::GetClassNameW(hWnd, szClass, 16);
                if (hWnd != pSearch->hDlg && std::wstring(szClass) == L"#32770" && ::IsWindowVisible(hWnd)) {
                    pSearch->hFound = hWnd;
                    return FALSE;
                }
                return TRUE;
            },
            reinterpret_cast<LPARAM>(&search));
        CFoundBox box;
        box.hBox = search.hFound;
        if (box.hBox) {
            box.strCaption = WindowText(box.hBox);
            box.strText = WindowText(::GetDlgItem(box.hBox, 0xFFFF));  // a message box's text
        }
        return box;
    }

    static void Answer(const CFoundBox& box, int nButton)
    {
        ::PostMessageW(::GetDlgItem(box.hBox, nButton), BM_CLICK, 0, 0);
    }

    HWND Item(EControl eControl) const { return ::GetDlgItem(m_hDlg, static_cast<int>(eControl)); }
    std::string Text(EControl eControl) const { return WindowText(Item(eControl)); }
    // The rich edit keeps a line end as "\r" and gives it out as "\r\n";
    // read as the model writes it.
    std::string LogText() const
    {
        const std::string strText = Text(EControl::kLog);
        std::string strLog;
        for (size_t i = 0; i < strText.size(); ++i) {
            if (strText[i] != '\r')
                strLog += strText[i];
            else if (i + 1 >= strText.size() || strText[i + 1] != '\n')
                strLog += '\n';
        }
        return strLog;
    }
    // Posted, as a click is: the handler may raise a box and wait for it.
    void Click(EControl eControl) const { ::PostMessageW(Item(eControl), BM_CLICK, 0, 0); }
    void SetFile(const std::vector<uint8_t>& data)
    {
        const std::string strPath = m_dir.File("firmware.hex");
        ASSERT_TRUE(WriteBytes(strPath, HexFile(0x1000, data)));
        ::SendMessageW(Item(EControl::kFilePath), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(Utf8ToWide(strPath).c_str()));
    }
    // Waits for the dialog's box (a message box or a question) and gives it.
    CFoundBox WaitForBox() const
    {
        CFoundBox box;
        WaitFor([&] { return (box = FindBox()).hBox != nullptr; });
        return box;
    }
    bool ProgressShown() const { return ::IsWindowVisible(Item(EControl::kProgress)) != FALSE; }
    bool LogEndsWith(const std::string& strEnd) const
    {
        const std::string strLog = LogText();
        return strLog.size() >= strEnd.size() &&
               strLog.compare(strLog.size() - strEnd.size(), strEnd.size(), strEnd) == 0;
    }

    int m_nCom = 0;
    CWinTempDir m_dir;
    std::unique_ptr<CScopedEnv> m_pIni;
    std::thread m_thread;
    std::atomic<DWORD> m_nThread {0};
    std::atomic<bool> m_bEnded {false};
    HWND m_hDlg = nullptr;
};

// The same dialog before a simulator that refuses the first identify.
class WinDialogRefusingDeviceTest : public WinDialogTest {};

}  // namespace

TEST_F(WinDialogTest, OpensWithItsControlsAsTheModelSetsThem)
{
    EXPECT_EQ(Text(EControl::kStart), kStartText);
    EXPECT_EQ(Text(EControl::kOpenPort), kOpenPortText);
    EXPECT_FALSE(ProgressShown());
    // The port box lists the model's items in the model's order.
    const HWND hPort = Item(EControl::kPort);
    ASSERT_EQ(::SendMessageW(hPort, CB_GETCOUNT, 0, 0), static_cast<LRESULT>(ComboItems(EControl::kPort).size()));
    EXPECT_EQ(::SendMessageW(hPort, CB_GETCURSEL, 0, 0), m_nCom - 1);
    // The prefix's COM ports have no device of the set-up API, so no
    // friendly name: each item is its name alone, not the system's path.
    const std::vector<std::string> names = ComboItems(EControl::kPort);
    for (size_t i = 0; i < names.size(); ++i) {
        wchar_t szItem[64] = {};
        ::SendMessageW(hPort, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(szItem));
        EXPECT_EQ(WideToUtf8(szItem), names[i]) << i;
    }
    // The parity box's template sorts, but the items keep the model's order.
    const HWND hParity = Item(EControl::kParity);
    const std::vector<std::string> parity = ComboItems(EControl::kParity);
    ASSERT_EQ(::SendMessageW(hParity, CB_GETCOUNT, 0, 0), static_cast<LRESULT>(parity.size()));
    for (size_t i = 0; i < parity.size(); ++i) {
        wchar_t szItem[64] = {};
        ::SendMessageW(hParity, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(szItem));
        EXPECT_EQ(WideToUtf8(szItem), parity[i]) << i;
    }
    // The about entry in the system menu.
    const HMENU hSysMenu = ::GetSystemMenu(m_hDlg, FALSE);
    ASSERT_NE(hSysMenu, nullptr);
    wchar_t szAbout[64] = {};
    ASSERT_GT(::GetMenuStringW(hSysMenu, IDM_ABOUTBOX, szAbout, 64, MF_BYCOMMAND), 0);
    EXPECT_EQ(WideToUtf8(szAbout), "关于 Vantrel(&A)...");
}

TEST_F(WinDialogTest, DownloadShowsProgressDuringTheRunOnly)
{
    SetFile(Pattern(2048));
    // Noted by the test's thread as the run goes: the progress bar's states.
    Click(EControl::kStart);
    ASSERT_TRUE(WaitFor([this] { return Text(EControl::kStart) == kCancelText; }, 10000)) << LogText();
    bool bShownDuringRun = false;
    int nHighest = 0;
    const HWND hProgress = Item(EControl::kProgress);
    // The screenshot run takes its picture halfway through the blocks.
    const char* pPicture = std::getenv("VANTREL_SCREENSHOT");
    bool bPictureTaken = false;
    ASSERT_TRUE(WaitFor(
        [&] {
            if (Text(EControl::kStart) == kCancelText && ProgressShown()) {
                bShownDuringRun = true;
                nHighest = std::max(nHighest, static_cast<int>(::SendMessageW(hProgress, PBM_GETPOS, 0, 0)));
                if (pPicture && !bPictureTaken && nHighest * 2 >= ::SendMessageW(hProgress, PBM_GETRANGE, FALSE, 0))
                    bPictureTaken = SaveWindowPicture(m_hDlg, pPicture);
            }
            return Text(EControl::kStart) == kStartText;
        },
        60000))
        << LogText();
    EXPECT_TRUE(bShownDuringRun);
    EXPECT_GT(nHighest, 0);
    EXPECT_TRUE(!pPicture || bPictureTaken) << pPicture;
    EXPECT_FALSE(ProgressShown());
    EXPECT_EQ(::SendMessageW(hProgress, PBM_GETPOS, 0, 0), 0);
    EXPECT_TRUE(LogEndsWith("-- Download successfully.\n")) << LogText();
    EXPECT_NE(LogText().find("-- Verify successfully.\n"), std::string::npos) << LogText();
    EXPECT_FALSE(FindBox().hBox) << FindBox().strText;
    // The port was let go: the port button opens it again and closes it.
    EXPECT_EQ(Text(EControl::kOpenPort), kOpenPortText);
}

TEST_F(WinDialogTest, CancelStopsARunMidway)
{
    SetFile(Pattern(32768));
    Click(EControl::kStart);
    const HWND hProgress = Item(EControl::kProgress);
    ASSERT_TRUE(WaitFor([&] { return ::SendMessageW(hProgress, PBM_GETPOS, 0, 0) >= 3; }, 30000)) << LogText();
    ASSERT_EQ(Text(EControl::kStart), kCancelText);
    const LRESULT nMax = ::SendMessageW(hProgress, PBM_GETRANGE, FALSE, 0);
    Click(EControl::kStart);
    ASSERT_TRUE(WaitFor([this] { return Text(EControl::kStart) == kStartText; }, 30000)) << LogText();
    EXPECT_LT(::SendMessageW(hProgress, PBM_GETPOS, 0, 0), nMax);
    EXPECT_FALSE(ProgressShown());
    const std::string strLog = LogText();
    EXPECT_EQ(strLog.find("successfully"), std::string::npos) << strLog;
    EXPECT_TRUE(LogEndsWith("## Download stopped before it finished: the device is still in IAP mode.\n")) << strLog;
    // The run leaves the port open, and the port button says so; it closes it.
    EXPECT_EQ(Text(EControl::kOpenPort), kClosePortText);
    Click(EControl::kOpenPort);
    EXPECT_TRUE(WaitFor([this] { return Text(EControl::kOpenPort) == kOpenPortText; })) << LogText();
}

TEST_F(WinDialogTest, PortButtonOpensAndClosesThePort)
{
    Click(EControl::kOpenPort);
    ASSERT_TRUE(WaitFor([this] { return Text(EControl::kOpenPort) == kClosePortText; })) << LogText();
    EXPECT_FALSE(FindBox().hBox) << FindBox().strText;
    const std::string strOpened = "串口打开正常:COM" + std::to_string(m_nCom) + ",115200,8,N,1\n";
    EXPECT_TRUE(LogEndsWith(strOpened)) << LogText();
    Click(EControl::kOpenPort);
    ASSERT_TRUE(WaitFor([this] { return Text(EControl::kOpenPort) == kOpenPortText; })) << LogText();
    EXPECT_TRUE(LogEndsWith(strOpened + "串口关闭正常!\n")) << LogText();
}

TEST_F(WinDialogTest, ClosingDuringARunAsksAndNoKeepsItGoing)
{
    SetFile(Pattern(32768));
    Click(EControl::kStart);
    ASSERT_TRUE(WaitFor([this] { return Text(EControl::kStart) == kCancelText; }, 10000)) << LogText();
    ::PostMessageW(m_hDlg, WM_CLOSE, 0, 0);
    CFoundBox box;
    ASSERT_TRUE(WaitFor([&] { return (box = FindBox()).hBox != nullptr; })) << LogText();
    EXPECT_EQ(box.strCaption, "vantrel");
    EXPECT_EQ(box.strText, kStopAndCloseQuestion);
    Answer(box, IDNO);
    ASSERT_TRUE(WaitFor([this] { return !FindBox().hBox; }));
    EXPECT_FALSE(m_bEnded);
    EXPECT_EQ(Text(EControl::kStart), kCancelText);
    // Asked again, Yes stops the run and the window closes once it has ended.
    ::PostMessageW(m_hDlg, WM_CLOSE, 0, 0);
    ASSERT_TRUE(WaitFor([&] { return (box = FindBox()).hBox != nullptr; })) << LogText();
    Answer(box, IDYES);
    EXPECT_TRUE(WaitFor([this] { return m_bEnded.load(); }));
}

TEST_F(WinDialogTest, ARunThatEndsWhileTheCloseQuestionIsUpTakesItDownAndCloses)
{
    SetFile(Pattern(2048));
    Click(EControl::kStart);
    ASSERT_TRUE(WaitFor([this] { return Text(EControl::kStart) == kCancelText; }, 10000)) << LogText();
    ::PostMessageW(m_hDlg, WM_CLOSE, 0, 0);
    CFoundBox box;
    ASSERT_TRUE(WaitFor([&] { return (box = FindBox()).hBox != nullptr; })) << LogText();
    EXPECT_EQ(box.strText, kStopAndCloseQuestion);
    // Left unanswered, the run goes to its end; the question goes with it,
    // and so does the window, as Yes would have taken it.
    ASSERT_TRUE(WaitFor([this] { return m_bEnded.load(); }, 60000)) << LogText();
    EXPECT_FALSE(::IsWindow(box.hBox));
    const std::optional<std::string> ini = ReadBytes(m_dir.File("vantrel.Ini"));
    ASSERT_TRUE(ini.has_value());
    EXPECT_NE(ini->find("PortNum=" + std::to_string(m_nCom - 1)), std::string::npos) << *ini;
}

TEST_F(WinDialogTest, DowngradeQuestionAnsweredNoThenYes)
{
    // A program of version 0.0.0 over the device's 1.0.0: the run asks first.
    const std::vector<uint8_t> data = Pattern(256);
    SetFile(data);
    Click(EControl::kProgram);
    ASSERT_TRUE(WaitFor([this] { return ::IsDlgButtonChecked(m_hDlg, static_cast<int>(EControl::kProgram)); }));

    Click(EControl::kStart);
    CFoundBox box = WaitForBox();
    ASSERT_TRUE(box.hBox) << LogText();
    EXPECT_EQ(box.strCaption, "vantrel");
    EXPECT_EQ(box.strText, kDowngradeQuestion);
    // Enter answers No: a downgrade is never the default button.
    const auto isDefault = [&box](int nButton) {
        const LONG nStyle = ::GetWindowLongW(::GetDlgItem(box.hBox, nButton), GWL_STYLE);
        return (nStyle & BS_TYPEMASK) == BS_DEFPUSHBUTTON;
    };
    EXPECT_TRUE(isDefault(IDNO));
    EXPECT_FALSE(isDefault(IDYES));
    // The run waits for the answer: its last line is still the version's.
    ::Sleep(300);
    EXPECT_TRUE(LogEndsWith("##  当前芯片应用程序版本：1.0.0 !\n")) << LogText();
    Answer(box, IDNO);
    ASSERT_TRUE(WaitFor([this] { return Text(EControl::kStart) == kStartText; })) << LogText();
    EXPECT_TRUE(LogEndsWith("##  the Verion is too old not to update IAP !\n")) << LogText();
    EXPECT_FALSE(FindBox().hBox);
    // Nothing holds the port: the port button opens it.
    EXPECT_EQ(Text(EControl::kOpenPort), kOpenPortText);

    Click(EControl::kStart);
    box = WaitForBox();
    ASSERT_TRUE(box.hBox) << LogText();
    EXPECT_EQ(box.strText, kDowngradeQuestion);
    Answer(box, IDYES);
    ASSERT_TRUE(WaitFor([this] { return LogEndsWith("-- Download successfully.\n"); }, 60000)) << LogText();
    EXPECT_FALSE(FindBox().hBox);
}

TEST_F(WinDialogTest, TerminalSendIsAnsweredByTheFarEnd)
{
    // An identify frame typed in hexadecimal: the device echoes the frame's
    // free bytes ("Hi") and adds its version (1.0.0, the zeros dropped) and
    // its status 0x55 ('U'); the reply comes back through the receive timer.
    uint8_t frame[10] = {0xFE, 0x03, 'H', 'i', 0, 0, 0, 0, 0, 0};
    const uint16_t nCrc = Crc16(frame, 8);
    frame[8] = static_cast<uint8_t>(nCrc >> 8);
    frame[9] = static_cast<uint8_t>(nCrc);
    std::string strHex;
    char szByte[4];
    for (uint8_t n : frame) {
        std::snprintf(szByte, sizeof(szByte), "%02X ", n);
        strHex += szByte;
    }
    ::SendMessageW(Item(EControl::kTimeInterval), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"50"));
    Click(EControl::kOpenPort);
    ASSERT_TRUE(WaitFor([this] { return Text(EControl::kOpenPort) == kClosePortText; })) << LogText();
    Click(EControl::kReceive);
    ASSERT_TRUE(WaitFor([this] { return Text(EControl::kReceive) == kStopReceiveText; })) << LogText();
    const HWND hMode = Item(EControl::kSendMode);
    ::SendMessageW(hMode, CB_SETCURSEL, 1, 0);
    ::SendMessageW(m_hDlg, WM_COMMAND, MAKEWPARAM(static_cast<int>(EControl::kSendMode), CBN_SELCHANGE),
                   reinterpret_cast<LPARAM>(hMode));
    ::SendMessageW(Item(EControl::kSend), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(Utf8ToWide(strHex).c_str()));
    Click(EControl::kManualSend);
    EXPECT_TRUE(WaitFor([this] { return LogText().find("Hi\x01U") != std::string::npos; })) << LogText();

    Click(EControl::kReceive);
    ASSERT_TRUE(WaitFor([this] { return Text(EControl::kReceive) == kReceiveText; })) << LogText();
    Click(EControl::kOpenPort);
    EXPECT_TRUE(WaitFor([this] { return Text(EControl::kOpenPort) == kOpenPortText; })) << LogText();
}

TEST_F(WinDialogRefusingDeviceTest, RefusedIdentifyRaisesABoxThatHoldsTheRunUntilAnswered)
{
    const std::vector<uint8_t> data = Pattern(256);
    SetFile(data);
    Click(EControl::kStart);
    const CFoundBox box = WaitForBox();
    ASSERT_TRUE(box.hBox) << LogText();
    EXPECT_EQ(box.strCaption, "vantrel");
    EXPECT_EQ(box.strText, kRefusedBoxText);
    // While the box is up, the run has not gone on to its next line.
    ::Sleep(300);
    EXPECT_EQ(LogText().find("cmdcheckid"), std::string::npos) << LogText();
    EXPECT_EQ(Text(EControl::kStart), kCancelText);
    Answer(box, IDOK);
    // Not an end: the query finds the device and the download goes through.
    ASSERT_TRUE(WaitFor([this] { return LogEndsWith("-- Download successfully.\n"); }, 60000)) << LogText();
    EXPECT_NE(LogText().find("##  cmdcheckid fail!\n"), std::string::npos) << LogText();
    EXPECT_FALSE(FindBox().hBox);
}

TEST_F(WinDialogTest, DroppedFileBecomesTheDownloadFile)
{
    const std::string strFile = m_dir.File("固件 v2.hex");
    ASSERT_TRUE(WriteBytes(strFile, HexFile(0x1000, Pattern(16))));
    struct CDropCase {
        std::vector<std::string> paths;
        std::string strLogEnd;  // empty: the path edit takes the file
    };
    const CDropCase cases[] = {
        {{strFile, strFile}, "## Drop one firmware file at a time: 2 files were dropped.\n"},
        {{m_dir.Path()}, "## Not a file: " + m_dir.Path() + "\n"},
        {{strFile}, ""},
    };
    for (const CDropCase& c : cases) {
        ::PostMessageW(m_hDlg, WM_DROPFILES, reinterpret_cast<WPARAM>(DropOf(c.paths)), 0);
        if (c.strLogEnd.empty())
            EXPECT_TRUE(WaitFor([&] { return Text(EControl::kFilePath) == strFile; })) << Text(EControl::kFilePath);
        else
            EXPECT_TRUE(WaitFor([&] { return LogEndsWith(c.strLogEnd); })) << LogText();
    }
    // The dropped file is the one a download then writes.
    Click(EControl::kStart);
    EXPECT_TRUE(WaitFor([this] { return LogEndsWith("-- Download successfully.\n"); }, 60000)) << LogText();
    EXPECT_NE(LogText().find("-- Downloading file " + strFile + " ..."), std::string::npos) << LogText();
}

// A raw binary holds no address: dropped on the dialog, it brings up the
// question for one, the answer is kept in the settings file, and the run
// writes the file there.
TEST_F(WinDialogTest, ADroppedRawBinaryIsAskedForItsAddress)
{
    const std::string strFile = m_dir.File("应用.bin");
    ASSERT_TRUE(WriteBytes(strFile, std::string(64, '\x5A')));
    ::PostMessageW(m_hDlg, WM_DROPFILES, reinterpret_cast<WPARAM>(DropOf({strFile})), 0);
    CFoundBox box = WaitForBox();
    ASSERT_TRUE(box.hBox) << LogText();
    EXPECT_NE(WindowText(::GetDlgItem(box.hBox, IDC_ASK_QUESTION)).find("应用.bin"), std::string::npos);
    ::SendMessageW(::GetDlgItem(box.hBox, IDC_ASK_ANSWER), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"0x2000"));
    Answer(box, IDOK);
    ASSERT_TRUE(WaitFor([&] { return Text(EControl::kFilePath) == strFile; })) << LogText();
    EXPECT_TRUE(WaitFor([&] { return LogEndsWith("-- The raw binary file " + strFile + " loads at 0x2000.\n"); }))
        << LogText();
    const std::optional<std::string> ini = ReadBytes(m_dir.File("vantrel.Ini"));
    ASSERT_TRUE(ini.has_value());
    EXPECT_NE(ini->find("BinAddress=0x2000"), std::string::npos) << *ini;

    Click(EControl::kStart);
    ASSERT_TRUE(WaitFor([this] { return LogEndsWith("-- Download successfully.\n"); }, 60000)) << LogText();
    EXPECT_NE(LogText().find("-- Downloading file " + strFile + " ..."), std::string::npos) << LogText();
}

// vantrel.exe's manifest, which this program carries too, as the system
// reads it: aware of each monitor's DPI (the dialog is its template only,
// which the system scales again on a move), of the system's DPI where that
// is not known; the system's code page.
TEST(WinDialogManifest, AwareOfEachMonitorsDpi)
{
    wchar_t szSelf[MAX_PATH] = {};
    ASSERT_GT(::GetModuleFileNameW(nullptr, szSelf, MAX_PATH), 0u);
    const CProgramManifest manifest(szSelf);
    ASSERT_TRUE(manifest.IsRead()) << ::GetLastError();
    EXPECT_EQ(manifest.Setting(kDpiSettings2005, L"dpiAware"), "true");
    EXPECT_EQ(manifest.Setting(kDpiSettings2016, L"dpiAwareness"), "PerMonitorV2, system");
    EXPECT_EQ(manifest.Setting(L"http://schemas.microsoft.com/SMI/2019/WindowsSettings", L"activeCodePage"),
              std::nullopt);

    // The system runs the process aware of the DPI. Wine 8 reports neither
    // a thread's per-monitor mode nor version 6 of the controls' library,
    // so neither is asked here.
    EXPECT_TRUE(::IsProcessDPIAware());
}

TEST_F(WinDialogTest, SystemMenuShowsTheAboutBox)
{
    ::PostMessageW(m_hDlg, WM_SYSCOMMAND, IDM_ABOUTBOX, 0);
    const CFoundBox box = WaitForBox();
    ASSERT_TRUE(box.hBox);
    EXPECT_EQ(box.strCaption, "关于 Vantrel");
    EXPECT_EQ(::GetParent(box.hBox), m_hDlg);
    Answer(box, IDOK);
    EXPECT_TRUE(WaitFor([this] { return !FindBox().hBox; }));
    EXPECT_FALSE(m_bEnded);
}
