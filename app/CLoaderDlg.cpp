#include "app/CLoaderDlg.h"

#include <algorithm>
#include <map>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QKeyEvent>
#include <QMimeData>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpressionValidator>
#include <QScreen>
#include <QScrollArea>
#include <QStyleOptionButton>
#include <QStylePainter>
#include <QTimer>
#include <QUrl>

#include <fmt/format.h>

#include "app/AppIcon.h"
#include "app/CAboutDlg.h"
#include "app/DialogLayout.h"
#include "serial/ComPortMap.h"

namespace {

const QString kStartText = QStringLiteral("&Start Downloading");
const QString kCancelText = QStringLiteral("&Cancel");
const QString kOpenPortText = QStringLiteral("打开串口");
const QString kClosePortText = QStringLiteral("关闭串口");
const QString kAutoSendText = QStringLiteral("自动发送");
const QString kStopSendText = QStringLiteral("停止发送");
const QString kReceiveText = QStringLiteral("开始接收");
const QString kStopReceiveText = QStringLiteral("停止接收");
const char* const kNotAnInteger = "请键入一个整数。";
const QString kFileFilters = QStringLiteral("Firmware (*.hex *.asc);;All Files (*)");
const char* const kStopAndCloseQuestion = "正在下载，是否停止下载并关闭?";
// Room a window manager's title bar and borders take, kept free on a small screen.
constexpr int kFrameAllowanceX = 16;
constexpr int kFrameAllowanceY = 40;
// The shortest timer period the terminal uses; a period of 0 would spin.
constexpr int kMinTimerMs = 10;

void Place(QWidget* pWidget, const char* pName, int nId, const QRect& rect)
{
    pWidget->setObjectName(QString::fromLatin1(pName));
    if (nId != 0)
        pWidget->setProperty("controlId", nId);
    pWidget->setGeometry(rect);
}

// A group frame lies beneath the controls it surrounds and lets clicks through.
void MakeGroup(QWidget* pParent, const CDialogUnits& du, const char* pText, int nX, int nY, int nW, int nH)
{
    auto* pGroup = new QGroupBox(QString::fromUtf8(pText), pParent);
    pGroup->setGeometry(du.Rect(nX, nY, nW, nH));
    pGroup->setAttribute(Qt::WA_TransparentForMouseEvents);
    pGroup->lower();
}

void MakeLabel(QWidget* pParent, const CDialogUnits& du, const char* pText, int nX, int nY, int nW, int nH)
{
    auto* pLabel = new QLabel(QString::fromUtf8(pText), pParent);
    pLabel->setGeometry(du.Rect(nX, nY, nW, nH));
}

// The rectangle's height is the closed box and its list together.
void SetUpCombo(QComboBox* pCombo, const CDialogUnits& du, const char* pName, int nId, bool bEditable,
                const QStringList& items, int nX, int nY, int nW, int nH)
{
    pCombo->setEditable(bEditable);
    if (bEditable)
        pCombo->setInsertPolicy(QComboBox::NoInsert);
    pCombo->addItems(items);
    const QRect rect = du.Rect(nX, nY, nW, nH);
    const int nClosed = std::min(pCombo->sizeHint().height(), rect.height());
    Place(pCombo, pName, nId, QRect(rect.x(), rect.y(), rect.width(), nClosed));
    const int nItem = std::max(1, pCombo->fontMetrics().height());
    pCombo->setMaxVisibleItems(std::max(1, (rect.height() - nClosed) / nItem));
}

QComboBox* MakeCombo(QWidget* pParent, const CDialogUnits& du, const char* pName, int nId, bool bEditable,
                     const QStringList& items, int nX, int nY, int nW, int nH)
{
    auto* pCombo = new QComboBox(pParent);
    SetUpCombo(pCombo, du, pName, nId, bEditable, items, nX, nY, nW, nH);
    return pCombo;
}

QLineEdit* MakeEdit(QWidget* pParent, const CDialogUnits& du, const char* pName, int nId, bool bDigitsOnly, int nX,
                    int nY, int nW, int nH)
{
    auto* pEdit = new QLineEdit(pParent);
    if (bDigitsOnly)
        pEdit->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), pEdit));
    Place(pEdit, pName, nId, du.Rect(nX, nY, nW, nH));
    return pEdit;
}

// A push button that shows the mouse over it and the keyboard focus also when
// it is flat, so that Tab always lands somewhere visible.
class CVisibleButton : public QPushButton {
public:
    CVisibleButton(const QString& strText, QWidget* pParent) : QPushButton(strText, pParent)
    {
        setAttribute(Qt::WA_Hover);  // repainted as the mouse comes and goes
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QStylePainter painter(this);
        QStyleOptionButton option;
        initStyleOption(&option);
        const bool bFocus = hasFocus();
        if (bFocus || underMouse())
            option.features &= ~QStyleOptionButton::Flat;  // the raised face
        painter.drawControl(QStyle::CE_PushButton, option);
        if (bFocus) {
            // Drawn here: not every style marks a focused button.
            const QRect focus = style()->subElementRect(QStyle::SE_PushButtonFocusRect, &option, this);
            painter.setPen(QPen(palette().color(QPalette::Highlight), 1, Qt::DotLine));
            painter.drawRect(focus.adjusted(0, 0, -1, -1));
        }
    }
};

QPushButton* MakeButton(QWidget* pParent, const CDialogUnits& du, const char* pName, int nId, const QString& strText,
                        bool bFlat, int nX, int nY, int nW, int nH)
{
    auto* pButton = new CVisibleButton(strText, pParent);
    pButton->setFlat(bFlat);
    Place(pButton, pName, nId, du.Rect(nX, nY, nW, nH));
    return pButton;
}

QRadioButton* MakeRadio(QWidget* pParent, const CDialogUnits& du, const char* pName, int nId, const char* pText, int nX,
                        int nY, int nW, int nH)
{
    auto* pRadio = new QRadioButton(QString::fromUtf8(pText), pParent);
    pRadio->setFocusPolicy(Qt::ClickFocus);  // reached by mouse, not by Tab
    Place(pRadio, pName, nId, du.Rect(nX, nY, nW, nH));
    return pRadio;
}

// The item the combo shows: its current item while the text is that item's,
// else the item with the typed text; -1 for none.
int SelectedIndex(const QComboBox* pCombo)
{
    const int nCurrent = pCombo->currentIndex();
    if (!pCombo->isEditable() || (nCurrent >= 0 && pCombo->itemText(nCurrent) == pCombo->currentText()))
        return nCurrent;
    return pCombo->findText(pCombo->currentText(), Qt::MatchExactly);
}

void SelectIndex(QComboBox* pCombo, int nIndex)
{
    pCombo->setCurrentIndex(nIndex >= 0 && nIndex < pCombo->count() ? nIndex : -1);
}

std::string SelectedItemText(const QComboBox* pCombo, int nIndex)
{
    return nIndex >= 0 ? pCombo->itemText(nIndex).toStdString() : std::string();
}

void SetTextIfDifferent(QLineEdit* pEdit, const QString& strText)
{
    if (pEdit->text() != strText)
        pEdit->setText(strText);
}

}  // namespace

CLoaderDlg::CLoaderDlg(QWidget* pParent)
    : QDialog(pParent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                           Qt::WindowCloseButtonHint),
      m_view(*this), m_loader(m_view)
{
    setWindowTitle(QStringLiteral("Vantrel"));
    setWindowIcon(AppIcon());
    setFont(DialogFont());
    CreateControls();
    InitDialog();
}

CLoaderDlg::~CLoaderDlg()
{
    // From here on the worker reports into nothing and waits for no one.
    m_view.Detach();
    m_loader.RequestStop();
    m_loader.WaitForRun();
    if (!m_bDestroyed)
        OnDestroy();
}

void CLoaderDlg::CreateControls()
{
    const CDialogUnits du(font());
    // The controls lie on a page of the template's size inside a scroll area
    // without a frame: where the screen has room, the area is the page.
    // Parented at once: the default button must find its dialog when it is made one.
    m_pPage = new QWidget(this);
    m_pPage->setObjectName(QStringLiteral("m_page"));
    m_pPage->setFixedSize(du.Size(506, 366));
    QWidget* const pPage = m_pPage;

    m_btnStart = MakeButton(pPage, du, "m_btnStart", 1, kStartText, false, 13, 324, 93, 20);
    m_btnStart->setDefault(true);
    QStringList ports;
    for (int i = 0; i < kPortItemCount; ++i)
        ports << QString::fromStdString(PortItemText(i));
    m_cbPort = new CPortComboBox(pPage);
    SetUpCombo(m_cbPort, du, "m_cbPort", 1007, false, ports, 45, 23, 61, 79);
    m_btnSelectFile = MakeButton(pPage, du, "m_btnSelectFile", 1004, QStringLiteral("&Select download file ..."), false,
                                 383, 150, 106, 19);
    m_richLog = new CLogPanel(pPage);
    Place(m_richLog, "m_richLog", 1014, du.Rect(7, 184, 492, 131));
    m_progress = new QProgressBar(pPage);
    m_progress->setTextVisible(false);
    Place(m_progress, "m_progress", 1013, du.Rect(7, 177, 492, 9));
    m_editFilePath = MakeEdit(pPage, du, "m_editFilePath", 1000, false, 10, 152, 354, 17);

    MakeGroup(pPage, du, "设置串口参数", 9, 7, 107, 139);
    MakeLabel(pPage, du, "串口号", 16, 25, 27, 8);
    MakeLabel(pPage, du, "波特率", 16, 41, 27, 8);
    QStringList baudRates;
    for (int nRate : kBaudRates)
        baudRates << QString::number(nRate);
    m_cbBaudRate = MakeCombo(pPage, du, "m_cbBaudRate", 1045, true, baudRates, 45, 39, 61, 86);
    m_cbDataBits = MakeCombo(pPage, du, "m_cbDataBits", 1046, true, {"5", "6", "7", "8"}, 45, 57, 61, 61);
    MakeLabel(pPage, du, "数据位", 16, 59, 27, 8);
    MakeLabel(pPage, du, "校验位", 16, 78, 27, 8);
    // Sorted lists: the items are given in their sorted order.
    m_cbParity =
        MakeCombo(pPage, du, "m_cbParity", 1047, true, {"Even", "Mark", "None", "Odd", "Space"}, 45, 78, 61, 70);
    MakeLabel(pPage, du, "停止位", 16, 99, 29, 8);
    m_cbStopBits = MakeCombo(pPage, du, "m_cbStopBits", 1048, true, {"1", "1.5", "2"}, 45, 95, 61, 45);
    m_btnOpenPort = MakeButton(pPage, du, "m_btnOpenPort", 1032, kOpenPortText, false, 38, 119, 49, 14);

    MakeLabel(pPage, du, "每帧字节数", 249, 28, 50, 9);
    m_editFrameLen = MakeEdit(pPage, du, "m_editFrameLen", 1019, true, 309, 26, 36, 13);
    MakeLabel(pPage, du, "重 发 次 数", 249, 47, 44, 9);
    m_editRepeatTimes = MakeEdit(pPage, du, "m_editRepeatTimes", 1021, false, 309, 45, 35, 13);
    MakeLabel(pPage, du, "重发间隔时间", 249, 68, 48, 9);
    m_editTimeInterval = MakeEdit(pPage, du, "m_editTimeInterval", 1022, false, 309, 67, 37, 13);
    MakeLabel(pPage, du, "ms", 350, 70, 10, 9);

    MakeGroup(pPage, du, "传输参数", 243, 15, 119, 78);
    m_editSend = MakeEdit(pPage, du, "m_editSend", 1011, false, 249, 106, 109, 14);
    MakeGroup(pPage, du, "发送字符串", 243, 94, 120, 48);
    MakeGroup(pPage, du, "操作提示", 374, 15, 81, 105);
    m_btnAutoSend = MakeButton(pPage, du, "m_btnAutoSend", 1002, kAutoSendText, true, 389, 31, 40, 16);
    m_btnReceive = MakeButton(pPage, du, "m_btnReceive", 1005, kReceiveText, true, 389, 51, 40, 16);
    m_btnClear = MakeButton(pPage, du, "m_btnClear", 1008, QStringLiteral("清除"), true, 389, 71, 40, 16);
    m_cbSendMode = MakeCombo(pPage, du, "m_cbSendMode", 1009, true, {"按ASCII码", "按16进制"}, 249, 124, 75, 55);
    m_btnManualSend = MakeButton(pPage, du, "m_btnManualSend", 1010, QStringLiteral("手动发送"), true, 389, 93, 40, 16);

    MakeGroup(pPage, du, "烧录类型", 133, 19, 90, 75);
    m_radioFirmware = MakeRadio(pPage, du, "m_radioFirmware", 1016, "烧录器固件", 138, 37, 56, 10);
    m_radioEmulator = MakeRadio(pPage, du, "m_radioEmulator", 1017, "仿真器固件", 138, 55, 56, 10);
    m_radioProgram = MakeRadio(pPage, du, "m_radioProgram", 1018, "程序", 138, 73, 32, 10);

    m_editVerMajor = MakeEdit(pPage, du, "m_editVerMajor", 1026, true, 157, 103, 19, 13);
    m_editVerMinor = MakeEdit(pPage, du, "m_editVerMinor", 1025, true, 180, 103, 19, 13);
    m_editVerPatch = MakeEdit(pPage, du, "m_editVerPatch", 1024, true, 201, 103, 19, 13);
    MakeLabel(pPage, du, "版本号：", 123, 106, 33, 8);
    m_checkChipType = new QCheckBox(QStringLiteral("芯片类型检测"), pPage);
    Place(m_checkChipType, "m_checkChipType", 1027, du.Rect(132, 127, 64, 10));

    m_scroll = new QScrollArea(this);
    m_scroll->setObjectName(QStringLiteral("m_scroll"));
    m_scroll->setFrameShape(QFrame::NoFrame);
    m_scroll->setFocusPolicy(Qt::NoFocus);  // Tab lands on controls only
    m_scroll->setWidget(m_pPage);
    FitToScreen();
    // Wherever the focus goes, by Tab, mouse or program, it is brought into view.
    connect(qApp, &QApplication::focusChanged, this, [this](QWidget*, QWidget* pNow) {
        if (pNow && m_pPage->isAncestorOf(pNow))
            m_scroll->ensureWidgetVisible(pNow, 0, 0);
    });

    QWidget* const tabOrder[] = {m_btnStart,     m_cbPort,          m_btnSelectFile,    m_richLog,       m_editFilePath,
                                 m_cbBaudRate,   m_cbDataBits,      m_cbParity,         m_cbStopBits,    m_btnOpenPort,
                                 m_editFrameLen, m_editRepeatTimes, m_editTimeInterval, m_editSend,      m_btnAutoSend,
                                 m_btnReceive,   m_btnClear,        m_cbSendMode,       m_btnManualSend, m_editVerMajor,
                                 m_editVerMinor, m_editVerPatch,    m_checkChipType};
    for (size_t i = 1; i < std::size(tabOrder); ++i)
        setTabOrder(tabOrder[i - 1], tabOrder[i]);

    m_timerReceive = new QTimer(this);
    m_timerReceive->setSingleShot(true);
    m_timerAutoSend = new QTimer(this);
    m_timerAutoSend->setSingleShot(true);
    m_timerClose = new QTimer(this);
    m_timerClose->setInterval(50);

    // Enter in the send edit sends; elsewhere it stays the default button's.
    m_editSend->installEventFilter(this);
    setAcceptDrops(true);
    m_editFilePath->installEventFilter(this);

    connect(m_btnStart, &QPushButton::clicked, this, &CLoaderDlg::OnOK);
    connect(m_btnSelectFile, &QPushButton::clicked, this, &CLoaderDlg::OnSelectFile);
    connect(m_btnOpenPort, &QPushButton::clicked, this, &CLoaderDlg::OnOpenClosePort);
    connect(m_btnAutoSend, &QPushButton::clicked, this, &CLoaderDlg::OnAutoSend);
    connect(m_btnReceive, &QPushButton::clicked, this, &CLoaderDlg::OnReceive);
    connect(m_btnClear, &QPushButton::clicked, this, &CLoaderDlg::OnClear);
    connect(m_btnManualSend, &QPushButton::clicked, this, &CLoaderDlg::OnManualSend);
    connect(m_radioFirmware, &QRadioButton::clicked, this, &CLoaderDlg::OnBurnTypeFirmware);
    connect(m_radioEmulator, &QRadioButton::clicked, this, &CLoaderDlg::OnBurnTypeFirmware);
    connect(m_radioProgram, &QRadioButton::clicked, this, &CLoaderDlg::OnBurnTypeProgram);
    for (QLineEdit* pEdit :
         {m_editSend, m_editTimeInterval, m_editRepeatTimes, m_editVerMajor, m_editVerMinor, m_editVerPatch})
        connect(pEdit, &QLineEdit::textChanged, this, &CLoaderDlg::OnParamChange);
    connect(m_timerReceive, &QTimer::timeout, this, &CLoaderDlg::OnTimer);
    connect(m_timerAutoSend, &QTimer::timeout, this, &CLoaderDlg::OnAutoSendTimer);
    connect(m_timerClose, &QTimer::timeout, this, &CLoaderDlg::OnCloseTimer);
}

void CLoaderDlg::FitToScreen()
{
    // A screen smaller than the dialog (a large scale on a small monitor)
    // gets a window it can hold, and the controls scroll into view.
    const QSize full = m_pPage->size();
    QSize size = full;
    if (const QScreen* pScreen = screen()) {
        const QSize room = pScreen->availableGeometry().size() - QSize(kFrameAllowanceX, kFrameAllowanceY);
        const int nBar = style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, m_scroll);
        size = size.boundedTo(room);
        // A scroll bar in one direction takes room from the other.
        if (size.height() < full.height())
            size.setWidth(std::min(full.width() + nBar, room.width()));
        if (size.width() < full.width())
            size.setHeight(std::min(full.height() + nBar, room.height()));
        size = size.expandedTo(QSize(1, 1));
    }
    setFixedSize(size);
    m_scroll->setGeometry(rect());
}

void CLoaderDlg::InitDialog()
{
    m_progress->hide();
    m_richLog->ClearLog();

    // The pins of the settings file are known before the search, so that it
    // lists them and gives new devices only numbers that are free.
    LoadPortMap(m_profile, m_loader.ComPorts());
    m_loader.FindSerialPorts();
    CSettings settings;
    LoadSettings(m_profile, settings, m_view);
    ApplySettings(settings);
    UpdateData(false);
    RefreshPortItems();

    m_checkChipType->setEnabled(false);
    m_btnStart->setFocus();
}

void CLoaderDlg::ApplySettings(const CSettings& settings)
{
    m_settings = settings;
    SelectIndex(m_cbStopBits, settings.nStopBit);
    SelectIndex(m_cbPort, settings.nPortNum);
    SelectIndex(m_cbDataBits, settings.nDataBit);
    SelectIndex(m_cbParity, settings.nCsBit);
    SelectIndex(m_cbBaudRate, settings.nBaudRate);
    SelectIndex(m_cbSendMode, settings.nSendType);
    m_nFrameLen = settings.nFrameLen;
    m_nRepeatTimes = settings.nRepeatTimes;
    m_nTimeInterval = settings.nTimeInterval;
}

CSettings CLoaderDlg::CurrentSettings() const
{
    CSettings settings = m_settings;
    settings.nStopBit = SelectedIndex(m_cbStopBits);
    settings.nPortNum = SelectedIndex(m_cbPort);
    settings.nDataBit = SelectedIndex(m_cbDataBits);
    settings.nCsBit = SelectedIndex(m_cbParity);
    settings.nBaudRate = SelectedIndex(m_cbBaudRate);
    settings.nSendType = SelectedIndex(m_cbSendMode);
    settings.nFrameLen = m_nFrameLen;
    settings.nRepeatTimes = m_nRepeatTimes;
    settings.nTimeInterval = m_nTimeInterval;
    return settings;
}

CPortChoice CLoaderDlg::PortChoice(bool bTypedTexts) const
{
    CPortChoice choice;
    choice.nPortIndex = SelectedIndex(m_cbPort);
    const auto text = [bTypedTexts](const QComboBox* pCombo) {
        return bTypedTexts ? pCombo->currentText().toStdString() : SelectedItemText(pCombo, SelectedIndex(pCombo));
    };
    choice.strBaudRate = text(m_cbBaudRate);
    choice.strDataBits = text(m_cbDataBits);
    choice.strParity = text(m_cbParity);
    choice.strStopBits = text(m_cbStopBits);
    return choice;
}

void CLoaderDlg::RefreshPortItems()
{
    // The engine gets the index; the path is only shown.
    for (int i = 0; i < kPortItemCount; ++i) {
        const std::string strPath = i < kAutoCheckIndex ? m_loader.ComPorts().Path(i + 1) : std::string();
        QString strText = QString::fromStdString(PortItemText(i));
        if (!strPath.empty())
            strText += QStringLiteral("  ") + QString::fromStdString(strPath);
        if (m_cbPort->itemText(i) != strText || m_cbPort->itemData(i, Qt::ToolTipRole).toString() != strText)
            m_cbPort->SetPortItemText(i, strText);
    }
}

bool CLoaderDlg::ReadInt(QLineEdit* pEdit, int& nValue, bool bReport)
{
    bool bOk = false;
    const int nRead = pEdit->text().trimmed().toInt(&bOk, 10);
    if (bOk) {
        nValue = nRead;
        return true;
    }
    if (!bReport)
        return false;
    QMessageBox box(QMessageBox::Warning, BoxCaption(), QString::fromUtf8(kNotAnInteger), QMessageBox::Ok, this);
    box.exec();
    pEdit->setFocus();
    pEdit->selectAll();
    return false;
}

bool CLoaderDlg::UpdateData(bool bSaveAndValidate)
{
    // A change signal raised by an exchange (or by its box) starts no other.
    if (m_bExchanging)
        return true;
    m_bExchanging = true;
    struct CDone {
        bool& bFlag;
        ~CDone() { bFlag = false; }
    } done {m_bExchanging};

    if (!bSaveAndValidate) {
        SetTextIfDifferent(m_editFilePath, QString::fromStdString(m_strFilePath));
        SetTextIfDifferent(m_editFrameLen, QString::number(m_nFrameLen));
        SetTextIfDifferent(m_editTimeInterval, QString::number(m_nTimeInterval));
        SetTextIfDifferent(m_editRepeatTimes, QString::number(m_nRepeatTimes));
        SetTextIfDifferent(m_editSend, QString::fromStdString(m_strSend));
        SetTextIfDifferent(m_editVerMajor, QString::number(m_nVerMajor));
        SetTextIfDifferent(m_editVerMinor, QString::number(m_nVerMinor));
        SetTextIfDifferent(m_editVerPatch, QString::number(m_nVerPatch));
        QRadioButton* const radios[] = {m_radioFirmware, m_radioEmulator, m_radioProgram};
        for (int i = 0; i < 3; ++i) {
            // Unchecking one of an exclusive group needs the group let go.
            radios[i]->setAutoExclusive(false);
            radios[i]->setChecked(i == m_nBurnType);
            radios[i]->setAutoExclusive(true);
        }
        m_checkChipType->setChecked(m_bChipTypeCheck != 0);
        return true;
    }

    return ReadControls(true);
}

void CLoaderDlg::ReadControlsQuietly()
{
    if (m_bExchanging)
        return;
    m_bExchanging = true;
    ReadControls(false);
    m_bExchanging = false;
}

bool CLoaderDlg::ReadControls(bool bReport)
{
    // Reporting, the first edit without an integer ends the exchange there;
    // quietly, each such edit keeps its member's value and the rest are read.
    bool bAll = true;
    const auto readInt = [&](QLineEdit* pEdit, int& nValue) {
        if (bAll || !bReport)
            bAll = ReadInt(pEdit, nValue, bReport) && bAll;
    };
    m_strFilePath = m_editFilePath->text().toStdString();
    readInt(m_editFrameLen, m_nFrameLen);
    readInt(m_editTimeInterval, m_nTimeInterval);
    readInt(m_editRepeatTimes, m_nRepeatTimes);
    if (!bAll && bReport)
        return false;
    m_strSend = m_editSend->text().toStdString();
    readInt(m_editVerMajor, m_nVerMajor);
    readInt(m_editVerMinor, m_nVerMinor);
    readInt(m_editVerPatch, m_nVerPatch);
    if (!bAll && bReport)
        return false;
    m_nBurnType = m_radioFirmware->isChecked()   ? 0
                  : m_radioEmulator->isChecked() ? 1
                  : m_radioProgram->isChecked()  ? 2
                                                 : -1;
    m_bChipTypeCheck = m_checkChipType->isChecked() ? 1 : 0;
    return bAll;
}

QString CLoaderDlg::BoxCaption()
{
    return QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName();
}

void CLoaderDlg::AppendLog(const std::string& strText, int nColour)
{
    m_richLog->AppendLog(strText, nColour);
}

void CLoaderDlg::AppendLogs(const std::vector<CLogPiece>& pieces)
{
    m_richLog->AppendLogs(pieces);
}

void CLoaderDlg::BeginProgress(int nCount)
{
    const int nRange = nCount & 0xFFFF;
    // A range of 0 to 0 would make the bar a busy indicator.
    m_progress->setRange(0, std::max(nRange, 1));
    m_progress->setValue(0);
}

void CLoaderDlg::StepProgress(int nSteps)
{
    m_progress->setValue(std::min(m_progress->value() + nSteps, m_progress->maximum()));
}

void CLoaderDlg::ShowProgress(bool bShow)
{
    if (!bShow)
        m_progress->setValue(0);
    m_progress->setVisible(bShow);
}

void CLoaderDlg::OnRunStateChanged(bool bRunning)
{
    m_btnStart->setText(bRunning ? kCancelText : kStartText);
    if (!bRunning)
        RefreshPortItems();  // a search of the run may have numbered new devices
}

void CLoaderDlg::OnPortButtonState(bool bOpen)
{
    m_btnOpenPort->setText(bOpen ? kClosePortText : kOpenPortText);
}

void CLoaderDlg::ShowMessage(const std::string& strText)
{
    QMessageBox box(QMessageBox::NoIcon, BoxCaption(), QString::fromStdString(strText), QMessageBox::Ok, this);
    box.exec();
}

bool CLoaderDlg::AskQuestion(const std::string& strText)
{
    QMessageBox box(QMessageBox::Question, BoxCaption(), QString::fromStdString(strText),
                    QMessageBox::Yes | QMessageBox::No, this);
    box.setDefaultButton(QMessageBox::Yes);
    return box.exec() == QMessageBox::Yes;
}

void CLoaderDlg::OnOK()
{
    // A bad edit is reported and stops the exchange there; the press still
    // counts, with what was read, so that "&Cancel" always stops a run.
    UpdateData(true);
    CRunInputs inputs;
    inputs.strFilePath = m_strFilePath;
    inputs.port = PortChoice(true);
    inputs.nBurnType = m_nBurnType;
    inputs.bChipTypeCheck = m_bChipTypeCheck;
    inputs.nVerMajor = m_nVerMajor;
    inputs.nVerMinor = m_nVerMinor;
    inputs.nVerPatch = m_nVerPatch;
    inputs.strSupportVersion = m_settings.strSupportVersion;
    // Starts a run, asks a running one to stop, or (while one is stopping) nothing.
    m_loader.OnStartButton(inputs);
}

void CLoaderDlg::accept()
{
    OnOK();
}

void CLoaderDlg::OnSelectFile()
{
    UpdateData(true);
    // The dialog opens where the current file lies, firmware files first.
    const QString strCurrent = QString::fromStdString(m_strFilePath);
    const QString strFolder = strCurrent.isEmpty() ? QString() : QFileInfo(strCurrent).absolutePath();
    const QString strPath = QFileDialog::getOpenFileName(this, QString(), strFolder, kFileFilters);
    if (strPath.isEmpty())
        return;
    m_strFilePath = strPath.toStdString();
    UpdateData(false);
}

void CLoaderDlg::OnOpenClosePort()
{
    if (!UpdateData(true))
        return;
    if (m_loader.OnOpenClosePort(PortChoice(false)))
        SaveSettings(m_profile, CurrentSettings(), m_view);
    UpdateData(false);
}

int CLoaderDlg::TimerInterval() const
{
    return std::max(m_nTimeInterval, kMinTimerMs);
}

void CLoaderDlg::OnAutoSend()
{
    m_bAutoSending = !m_bAutoSending;
    m_btnAutoSend->setText(m_bAutoSending ? kStopSendText : kAutoSendText);
    if (!m_bAutoSending) {
        m_timerAutoSend->stop();
        return;
    }
    OnAutoSendTimer();
}

void CLoaderDlg::OnAutoSendTimer()
{
    m_timerAutoSend->stop();
    if (!m_bAutoSending)
        return;
    OnManualSend();
    // The period follows the interval edit as it is now.
    m_timerAutoSend->start(TimerInterval());
}

void CLoaderDlg::OnReceive()
{
    m_bReceiving = !m_bReceiving;
    m_btnReceive->setText(m_bReceiving ? kStopReceiveText : kReceiveText);
    if (m_bReceiving)
        m_timerReceive->start(TimerInterval());
    else
        m_timerReceive->stop();
}

void CLoaderDlg::OnTimer()
{
    m_timerReceive->stop();
    if (!m_bReceiving)
        return;
    m_loader.PollReceive();  // takes what has arrived; never waits
    m_timerReceive->start(TimerInterval());
}

void CLoaderDlg::OnManualSend()
{
    m_loader.ManualSend(m_strSend, SelectedIndex(m_cbSendMode) == 1 ? 1 : 0);
}

void CLoaderDlg::OnClear()
{
    m_view.Flush();
    m_richLog->ClearLog();
}

void CLoaderDlg::OnParamChange()
{
    UpdateData(true);
}

void CLoaderDlg::OnBurnTypeFirmware()
{
    m_checkChipType->setEnabled(false);
}

void CLoaderDlg::OnBurnTypeProgram()
{
    m_checkChipType->setEnabled(true);
}

bool CLoaderDlg::eventFilter(QObject* pObject, QEvent* pEvent)
{
    if (pObject == m_editFilePath) {
        // Files dropped on the path edit become the path, never a "file://" text.
        switch (pEvent->type()) {
        case QEvent::DragEnter:
        case QEvent::DragMove: {
            auto* pDrag = static_cast<QDragMoveEvent*>(pEvent);
            if (!pDrag->mimeData()->hasUrls())
                break;
            pDrag->acceptProposedAction();
            return true;
        }
        case QEvent::Drop: {
            auto* pDrop = static_cast<QDropEvent*>(pEvent);
            if (!pDrop->mimeData()->hasUrls())
                break;
            OnDropFiles(pDrop->mimeData()->urls());
            pDrop->acceptProposedAction();
            return true;
        }
        default: break;
        }
    }
    if (pObject == m_editSend && pEvent->type() == QEvent::KeyPress) {
        const auto* pKey = static_cast<QKeyEvent*>(pEvent);
        if (pKey->key() == Qt::Key_Return || pKey->key() == Qt::Key_Enter) {
            OnManualSend();
            return true;
        }
    }
    return QDialog::eventFilter(pObject, pEvent);
}

void CLoaderDlg::dragEnterEvent(QDragEnterEvent* pEvent)
{
    if (pEvent->mimeData()->hasUrls())
        pEvent->acceptProposedAction();
}

void CLoaderDlg::dropEvent(QDropEvent* pEvent)
{
    if (!pEvent->mimeData()->hasUrls())
        return;
    OnDropFiles(pEvent->mimeData()->urls());
    pEvent->acceptProposedAction();
}

void CLoaderDlg::OnDropFiles(const QList<QUrl>& urls)
{
    if (urls.size() != 1) {
        m_view.AppendLog(fmt::format("## Drop one firmware file at a time: {} files were dropped.\r\n", urls.size()),
                         kLogRed);
        return;
    }
    const QUrl& url = urls.front();
    if (!url.isLocalFile()) {
        m_view.AppendLog(
            fmt::format("## Only a local file can be dropped: {}\r\n", url.toDisplayString().toStdString()), kLogRed);
        return;
    }
    const QString strPath = url.toLocalFile();
    if (QFileInfo(strPath).isDir()) {
        m_view.AppendLog(fmt::format("## Not a file: {}\r\n", strPath.toStdString()), kLogRed);
        return;
    }
    // The edit has no change handler: the path is read at the next exchange.
    m_editFilePath->setText(strPath);
}

void CLoaderDlg::contextMenuEvent(QContextMenuEvent* pEvent)
{
    QMenu menu(this);
    QAction* pAbout = menu.addAction(QStringLiteral("关于 Vantrel(&A)..."));
    if (menu.exec(pEvent->globalPos()) == pAbout) {
        CAboutDlg about(this);
        about.exec();
    }
}

void CLoaderDlg::reject()
{
    if (m_bClosing || m_bAskingToClose)
        return;  // already waiting for the run to stop, or for the answer
    if (!m_loader.IsIdle()) {
        // Stopping leaves the device half-written in IAP mode: the operator decides.
        m_bAskingToClose = true;
        const bool bStop = AskToStopAndClose();
        m_bAskingToClose = false;
        if (!bStop)
            return;
    }
    if (!m_loader.IsIdle()) {
        m_bClosing = true;
        m_loader.RequestStop();
        m_timerClose->start();
        return;
    }
    FinishClose();
}

bool CLoaderDlg::AskToStopAndClose()
{
    QMessageBox box(QMessageBox::Question, BoxCaption(), QString::fromUtf8(kStopAndCloseQuestion),
                    QMessageBox::Yes | QMessageBox::No, this);
    box.setDefaultButton(QMessageBox::No);
    box.setEscapeButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}

void CLoaderDlg::OnCloseTimer()
{
    if (!m_loader.IsIdle())
        return;
    m_timerClose->stop();
    m_bClosing = false;
    FinishClose();
}

void CLoaderDlg::FinishClose()
{
    m_loader.WaitForRun();  // idle: the worker has made its last call
    m_view.Flush();
    OnDestroy();
    QDialog::reject();
}

void CLoaderDlg::OnDestroy()
{
    m_bDestroyed = true;
    m_timerReceive->stop();
    m_timerAutoSend->stop();
    // Every edit counts, also the ones without a change handler; the window
    // is going away, so an edit without a number keeps its last value quietly.
    ReadControlsQuietly();
    SaveSettings(m_profile, CurrentSettings(), m_view);
    if (!SavePortMap(m_profile, m_loader.ComPorts()))
        m_view.AppendLog("## Cannot write the port map to the settings file.\r\n", kLogRed);
    if (m_loader.ClosePortWhenIdle())
        m_view.OnPortButtonState(false);
}
