#include "app/CLoaderDlg.h"

#include <algorithm>
#include <utility>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QInputDialog>
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
#include <QThread>
#include <QTimer>
#include <QUrl>

#include "app/AppIcon.h"
#include "app/CAboutDlg.h"
#include "app/DialogLayout.h"

namespace {

// Room a window manager's title bar and borders take, kept free on a small screen.
constexpr int kFrameAllowanceX = 16;
constexpr int kFrameAllowanceY = 40;

QString Text(const char* pText)
{
    return QString::fromUtf8(pText);
}

QString Text(const std::string& strText)
{
    return QString::fromStdString(strText);
}

// The object name the tests find a control by, and the template's control ID.
void Place(QWidget* pWidget, const char* pName, EControl eId, const QRect& rect)
{
    pWidget->setObjectName(QString::fromLatin1(pName));
    pWidget->setProperty("controlId", static_cast<int>(eId));
    pWidget->setGeometry(rect);
}

// A group frame lies beneath the controls it surrounds and lets clicks through.
void MakeGroup(QWidget* pParent, const CDialogUnits& du, const char* pText, int nX, int nY, int nW, int nH)
{
    auto* pGroup = new QGroupBox(Text(pText), pParent);
    pGroup->setGeometry(du.Rect(nX, nY, nW, nH));
    pGroup->setAttribute(Qt::WA_TransparentForMouseEvents);
    pGroup->lower();
}

void MakeLabel(QWidget* pParent, const CDialogUnits& du, const char* pText, int nX, int nY, int nW, int nH)
{
    auto* pLabel = new QLabel(Text(pText), pParent);
    pLabel->setGeometry(du.Rect(nX, nY, nW, nH));
}

// The items and whether the box takes typing are the model's. The
// rectangle's height is the closed box and its list together.
void SetUpCombo(QComboBox* pCombo, const CDialogUnits& du, const char* pName, EControl eCombo, int nX, int nY, int nW,
                int nH)
{
    const bool bEditable = IsEditableCombo(eCombo);
    pCombo->setEditable(bEditable);
    if (bEditable)
        pCombo->setInsertPolicy(QComboBox::NoInsert);
    for (const std::string& strItem : ComboItems(eCombo))
        pCombo->addItem(Text(strItem));
    const QRect rect = du.Rect(nX, nY, nW, nH);
    const int nClosed = std::min(pCombo->sizeHint().height(), rect.height());
    Place(pCombo, pName, eCombo, QRect(rect.x(), rect.y(), rect.width(), nClosed));
    const int nItem = std::max(1, pCombo->fontMetrics().height());
    pCombo->setMaxVisibleItems(std::max(1, (rect.height() - nClosed) / nItem));
}

QComboBox* MakeCombo(QWidget* pParent, const CDialogUnits& du, const char* pName, EControl eCombo, int nX, int nY,
                     int nW, int nH)
{
    auto* pCombo = new QComboBox(pParent);
    SetUpCombo(pCombo, du, pName, eCombo, nX, nY, nW, nH);
    return pCombo;
}

QLineEdit* MakeEdit(QWidget* pParent, const CDialogUnits& du, const char* pName, EControl eEdit, int nX, int nY, int nW,
                    int nH)
{
    auto* pEdit = new QLineEdit(pParent);
    if (IsDigitsOnlyEdit(eEdit))
        pEdit->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), pEdit));
    Place(pEdit, pName, eEdit, du.Rect(nX, nY, nW, nH));
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

QPushButton* MakeButton(QWidget* pParent, const CDialogUnits& du, const char* pName, EControl eId, const char* pText,
                        bool bFlat, int nX, int nY, int nW, int nH)
{
    auto* pButton = new CVisibleButton(Text(pText), pParent);
    pButton->setFlat(bFlat);
    Place(pButton, pName, eId, du.Rect(nX, nY, nW, nH));
    return pButton;
}

QRadioButton* MakeRadio(QWidget* pParent, const CDialogUnits& du, const char* pName, EControl eId, const char* pText,
                        int nX, int nY, int nW, int nH)
{
    auto* pRadio = new QRadioButton(Text(pText), pParent);
    pRadio->setFocusPolicy(Qt::ClickFocus);  // reached by mouse, not by Tab
    Place(pRadio, pName, eId, du.Rect(nX, nY, nW, nH));
    return pRadio;
}

CComboValue ComboValue(const QComboBox* pCombo)
{
    return {pCombo->currentIndex(), pCombo->currentText().toStdString()};
}

void SelectIndex(QComboBox* pCombo, const CComboValue& value)
{
    pCombo->setCurrentIndex(value.nIndex >= 0 && value.nIndex < pCombo->count() ? value.nIndex : -1);
}

void SetTextIfDifferent(QLineEdit* pEdit, const std::string& strText)
{
    const QString strNew = Text(strText);
    if (pEdit->text() != strNew)
        pEdit->setText(strNew);
}

}  // namespace

CLoaderDlg::CLoaderDlg(QWidget* pParent)
    : QDialog(pParent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                           Qt::WindowCloseButtonHint),
      m_view({[this] {
                  // By name: nothing of ours crosses to the UI thread outside
                  // the queue's own lock, and the call is dropped with the
                  // dialog if it goes first.
                  QMetaObject::invokeMethod(this, "FlushQueuedReports", Qt::QueuedConnection);
                  return true;
              },
              [this] { return QThread::currentThread() == thread(); }}),
      m_model(*this, m_view)
{
    m_view.SetModel(&m_model);
    setWindowTitle(QStringLiteral("Vantrel"));
    setWindowIcon(AppIcon());
    setFont(DialogFont());
    CreateControls();
    m_model.InitDialog();
}

CLoaderDlg::~CLoaderDlg()
{
    // From here on the worker reports into nothing and waits for no one.
    m_view.Detach();
    m_model.Shutdown();
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

    m_btnStart = MakeButton(pPage, du, "m_btnStart", EControl::kStart, kStartText, false, 13, 324, 93, 20);
    m_btnStart->setDefault(true);
    m_cbPort = new CPortComboBox(pPage);
    SetUpCombo(m_cbPort, du, "m_cbPort", EControl::kPort, 45, 23, 61, 79);
    m_btnSelectFile = MakeButton(pPage, du, "m_btnSelectFile", EControl::kSelectFile, "&Select download file ...",
                                 false, 383, 150, 106, 19);
    m_richLog = new CLogPanel(pPage);
    Place(m_richLog, "m_richLog", EControl::kLog, du.Rect(7, 184, 492, 131));
    m_progress = new QProgressBar(pPage);
    m_progress->setTextVisible(false);
    Place(m_progress, "m_progress", EControl::kProgress, du.Rect(7, 177, 492, 9));
    m_editFilePath = MakeEdit(pPage, du, "m_editFilePath", EControl::kFilePath, 10, 152, 354, 17);

    MakeGroup(pPage, du, "设置串口参数", 9, 7, 107, 139);
    MakeLabel(pPage, du, "串口号", 16, 25, 27, 8);
    MakeLabel(pPage, du, "波特率", 16, 41, 27, 8);
    m_cbBaudRate = MakeCombo(pPage, du, "m_cbBaudRate", EControl::kBaudRate, 45, 39, 61, 86);
    m_cbDataBits = MakeCombo(pPage, du, "m_cbDataBits", EControl::kDataBits, 45, 57, 61, 61);
    MakeLabel(pPage, du, "数据位", 16, 59, 27, 8);
    MakeLabel(pPage, du, "校验位", 16, 78, 27, 8);
    m_cbParity = MakeCombo(pPage, du, "m_cbParity", EControl::kParity, 45, 78, 61, 70);
    MakeLabel(pPage, du, "停止位", 16, 99, 29, 8);
    m_cbStopBits = MakeCombo(pPage, du, "m_cbStopBits", EControl::kStopBits, 45, 95, 61, 45);
    m_btnOpenPort = MakeButton(pPage, du, "m_btnOpenPort", EControl::kOpenPort, kOpenPortText, false, 38, 119, 49, 14);

    MakeLabel(pPage, du, "每帧字节数", 249, 28, 50, 9);
    m_editFrameLen = MakeEdit(pPage, du, "m_editFrameLen", EControl::kFrameLen, 309, 26, 36, 13);
    MakeLabel(pPage, du, "重 发 次 数", 249, 47, 44, 9);
    m_editRepeatTimes = MakeEdit(pPage, du, "m_editRepeatTimes", EControl::kRepeatTimes, 309, 45, 35, 13);
    MakeLabel(pPage, du, "重发间隔时间", 249, 68, 48, 9);
    m_editTimeInterval = MakeEdit(pPage, du, "m_editTimeInterval", EControl::kTimeInterval, 309, 67, 37, 13);
    MakeLabel(pPage, du, "ms", 350, 70, 10, 9);

    MakeGroup(pPage, du, "传输参数", 243, 15, 119, 78);
    m_editSend = MakeEdit(pPage, du, "m_editSend", EControl::kSend, 249, 106, 109, 14);
    MakeGroup(pPage, du, "发送字符串", 243, 94, 120, 48);
    MakeGroup(pPage, du, "操作提示", 374, 15, 81, 105);
    m_btnAutoSend = MakeButton(pPage, du, "m_btnAutoSend", EControl::kAutoSend, kAutoSendText, true, 389, 31, 40, 16);
    m_btnReceive = MakeButton(pPage, du, "m_btnReceive", EControl::kReceive, kReceiveText, true, 389, 51, 40, 16);
    m_btnClear = MakeButton(pPage, du, "m_btnClear", EControl::kClear, "清除", true, 389, 71, 40, 16);
    m_cbSendMode = MakeCombo(pPage, du, "m_cbSendMode", EControl::kSendMode, 249, 124, 75, 55);
    m_btnManualSend =
        MakeButton(pPage, du, "m_btnManualSend", EControl::kManualSend, "手动发送", true, 389, 93, 40, 16);

    MakeGroup(pPage, du, "烧录类型", 133, 19, 90, 75);
    m_radioFirmware = MakeRadio(pPage, du, "m_radioFirmware", EControl::kFirmware, "烧录器固件", 138, 37, 56, 10);
    m_radioEmulator = MakeRadio(pPage, du, "m_radioEmulator", EControl::kEmulator, "仿真器固件", 138, 55, 56, 10);
    m_radioProgram = MakeRadio(pPage, du, "m_radioProgram", EControl::kProgram, "程序", 138, 73, 32, 10);

    m_editVerMajor = MakeEdit(pPage, du, "m_editVerMajor", EControl::kVerMajor, 157, 103, 19, 13);
    m_editVerMinor = MakeEdit(pPage, du, "m_editVerMinor", EControl::kVerMinor, 180, 103, 19, 13);
    m_editVerPatch = MakeEdit(pPage, du, "m_editVerPatch", EControl::kVerPatch, 201, 103, 19, 13);
    MakeLabel(pPage, du, "版本号：", 123, 106, 33, 8);
    m_checkChipType = new QCheckBox(QStringLiteral("芯片类型检测"), pPage);
    Place(m_checkChipType, "m_checkChipType", EControl::kChipType, du.Rect(132, 127, 64, 10));

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

    // The model stops each timer in its tick and starts it again as it needs.
    m_timerReceive = new QTimer(this);
    m_timerAutoSend = new QTimer(this);
    m_timerClose = new QTimer(this);

    // Enter in the send edit sends; elsewhere it stays the default button's.
    m_editSend->installEventFilter(this);
    setAcceptDrops(true);
    m_editFilePath->installEventFilter(this);

    connect(m_btnStart, &QPushButton::clicked, this, [this] { m_model.OnStartButton(); });
    connect(m_btnSelectFile, &QPushButton::clicked, this, [this] { m_model.OnSelectFile(); });
    connect(m_btnOpenPort, &QPushButton::clicked, this, [this] { m_model.OnOpenClosePort(); });
    connect(m_btnAutoSend, &QPushButton::clicked, this, [this] { m_model.OnAutoSend(); });
    connect(m_btnReceive, &QPushButton::clicked, this, [this] { m_model.OnReceive(); });
    connect(m_btnClear, &QPushButton::clicked, this, [this] { m_model.OnClear(); });
    connect(m_btnManualSend, &QPushButton::clicked, this, [this] { m_model.OnManualSend(); });
    const std::pair<QRadioButton*, int> radios[] = {{m_radioFirmware, 0}, {m_radioEmulator, 1}, {m_radioProgram, 2}};
    for (const auto& [pRadio, nBurnType] : radios)
        connect(pRadio, &QRadioButton::clicked, this, [this, nBurnType] { m_model.OnBurnTypeClicked(nBurnType); });
    const std::pair<QLineEdit*, EControl> edits[] = {{m_editFilePath, EControl::kFilePath},
                                                     {m_editFrameLen, EControl::kFrameLen},
                                                     {m_editRepeatTimes, EControl::kRepeatTimes},
                                                     {m_editTimeInterval, EControl::kTimeInterval},
                                                     {m_editSend, EControl::kSend},
                                                     {m_editVerMajor, EControl::kVerMajor},
                                                     {m_editVerMinor, EControl::kVerMinor},
                                                     {m_editVerPatch, EControl::kVerPatch}};
    for (const auto& [pEdit, eEdit] : edits)
        connect(pEdit, &QLineEdit::textChanged, this, [this, eEdit] { m_model.OnEditChanged(eEdit); });
    const std::pair<QTimer*, ETimer> timers[] = {
        {m_timerReceive, ETimer::kReceive}, {m_timerAutoSend, ETimer::kAutoSend}, {m_timerClose, ETimer::kClose}};
    for (const auto& [pTimer, eTimer] : timers)
        connect(pTimer, &QTimer::timeout, this, [this, eTimer] { m_model.OnTimer(eTimer); });
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

QWidget* CLoaderDlg::Control(EControl eControl) const
{
    switch (eControl) {
    case EControl::kNone: return nullptr;
    case EControl::kStart: return m_btnStart;
    case EControl::kFilePath: return m_editFilePath;
    case EControl::kAutoSend: return m_btnAutoSend;
    case EControl::kSelectFile: return m_btnSelectFile;
    case EControl::kReceive: return m_btnReceive;
    case EControl::kPort: return m_cbPort;
    case EControl::kClear: return m_btnClear;
    case EControl::kSendMode: return m_cbSendMode;
    case EControl::kManualSend: return m_btnManualSend;
    case EControl::kSend: return m_editSend;
    case EControl::kProgress: return m_progress;
    case EControl::kLog: return m_richLog;
    case EControl::kFirmware: return m_radioFirmware;
    case EControl::kEmulator: return m_radioEmulator;
    case EControl::kProgram: return m_radioProgram;
    case EControl::kFrameLen: return m_editFrameLen;
    case EControl::kRepeatTimes: return m_editRepeatTimes;
    case EControl::kTimeInterval: return m_editTimeInterval;
    case EControl::kVerPatch: return m_editVerPatch;
    case EControl::kVerMinor: return m_editVerMinor;
    case EControl::kVerMajor: return m_editVerMajor;
    case EControl::kChipType: return m_checkChipType;
    case EControl::kOpenPort: return m_btnOpenPort;
    case EControl::kBaudRate: return m_cbBaudRate;
    case EControl::kDataBits: return m_cbDataBits;
    case EControl::kParity: return m_cbParity;
    case EControl::kStopBits: return m_cbStopBits;
    }
    return nullptr;
}

QTimer* CLoaderDlg::Timer(ETimer eTimer) const
{
    switch (eTimer) {
    case ETimer::kReceive: return m_timerReceive;
    case ETimer::kAutoSend: return m_timerAutoSend;
    case ETimer::kClose: return m_timerClose;
    }
    return nullptr;
}

CDialogControls CLoaderDlg::ReadControls() const
{
    CDialogControls controls;
    CDialogFields& fields = controls.fields;
    fields.strFilePath = m_editFilePath->text().toStdString();
    fields.strFrameLen = m_editFrameLen->text().toStdString();
    fields.strTimeInterval = m_editTimeInterval->text().toStdString();
    fields.strRepeatTimes = m_editRepeatTimes->text().toStdString();
    fields.strSend = m_editSend->text().toStdString();
    fields.strVerMajor = m_editVerMajor->text().toStdString();
    fields.strVerMinor = m_editVerMinor->text().toStdString();
    fields.strVerPatch = m_editVerPatch->text().toStdString();
    fields.nBurnType = m_radioFirmware->isChecked()   ? 0
                       : m_radioEmulator->isChecked() ? 1
                       : m_radioProgram->isChecked()  ? 2
                                                      : -1;
    fields.bChipTypeCheck = m_checkChipType->isChecked();
    CComboSelection& combos = controls.combos;
    combos.port = ComboValue(m_cbPort);
    combos.baudRate = ComboValue(m_cbBaudRate);
    combos.dataBits = ComboValue(m_cbDataBits);
    combos.parity = ComboValue(m_cbParity);
    combos.stopBits = ComboValue(m_cbStopBits);
    combos.sendMode = ComboValue(m_cbSendMode);
    return controls;
}

void CLoaderDlg::WriteFields(const CDialogFields& fields)
{
    SetTextIfDifferent(m_editFilePath, fields.strFilePath);
    SetTextIfDifferent(m_editFrameLen, fields.strFrameLen);
    SetTextIfDifferent(m_editTimeInterval, fields.strTimeInterval);
    SetTextIfDifferent(m_editRepeatTimes, fields.strRepeatTimes);
    SetTextIfDifferent(m_editSend, fields.strSend);
    SetTextIfDifferent(m_editVerMajor, fields.strVerMajor);
    SetTextIfDifferent(m_editVerMinor, fields.strVerMinor);
    SetTextIfDifferent(m_editVerPatch, fields.strVerPatch);
    QRadioButton* const radios[] = {m_radioFirmware, m_radioEmulator, m_radioProgram};
    for (int i = 0; i < 3; ++i) {
        // Unchecking one of an exclusive group needs the group let go.
        radios[i]->setAutoExclusive(false);
        radios[i]->setChecked(i == fields.nBurnType);
        radios[i]->setAutoExclusive(true);
    }
    m_checkChipType->setChecked(fields.bChipTypeCheck);
}

void CLoaderDlg::SelectComboItems(const CComboSelection& combos)
{
    SelectIndex(m_cbStopBits, combos.stopBits);
    SelectIndex(m_cbPort, combos.port);
    SelectIndex(m_cbDataBits, combos.dataBits);
    SelectIndex(m_cbParity, combos.parity);
    SelectIndex(m_cbBaudRate, combos.baudRate);
    SelectIndex(m_cbSendMode, combos.sendMode);
}

void CLoaderDlg::SetPortItems(const std::vector<std::string>& items)
{
    for (int i = 0; i < m_cbPort->count() && i < static_cast<int>(items.size()); ++i) {
        const QString strText = Text(items[static_cast<size_t>(i)]);
        if (m_cbPort->itemText(i) != strText || m_cbPort->itemData(i, Qt::ToolTipRole).toString() != strText)
            m_cbPort->SetPortItemText(i, strText);
    }
}

void CLoaderDlg::SetControlText(EControl eControl, const std::string& strText)
{
    QWidget* pControl = Control(eControl);
    if (auto* pEdit = qobject_cast<QLineEdit*>(pControl))
        pEdit->setText(Text(strText));
    else if (auto* pButton = qobject_cast<QAbstractButton*>(pControl))
        pButton->setText(Text(strText));
}

void CLoaderDlg::EnableControl(EControl eControl, bool bEnable)
{
    if (QWidget* pControl = Control(eControl))
        pControl->setEnabled(bEnable);
}

void CLoaderDlg::FocusControl(EControl eControl)
{
    QWidget* pControl = Control(eControl);
    if (!pControl)
        return;
    pControl->setFocus();
    if (auto* pEdit = qobject_cast<QLineEdit*>(pControl))
        pEdit->selectAll();
}

QString CLoaderDlg::BoxCaption()
{
    return QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName();
}

void CLoaderDlg::ShowBox(const std::string& strText, EBoxIcon eIcon)
{
    QMessageBox box(eIcon == EBoxIcon::kWarning ? QMessageBox::Warning : QMessageBox::NoIcon, BoxCaption(),
                    Text(strText), QMessageBox::Ok, this);
    box.exec();
}

bool CLoaderDlg::AskQuestion(const std::string& strText, bool bDefaultYes)
{
    QMessageBox box(QMessageBox::Question, BoxCaption(), Text(strText), QMessageBox::Yes | QMessageBox::No, this);
    box.setDefaultButton(bDefaultYes ? QMessageBox::Yes : QMessageBox::No);
    if (!bDefaultYes)
        box.setEscapeButton(QMessageBox::No);
    QMessageBox* const pOuter = std::exchange(m_pQuestion, &box);
    const bool bYes = box.exec() == QMessageBox::Yes;
    m_pQuestion = pOuter;
    return bYes;
}

void CLoaderDlg::DismissQuestion()
{
    if (m_pQuestion != nullptr)
        m_pQuestion->done(QMessageBox::No);
}

bool CLoaderDlg::ChooseFile(const std::string& strCurrent, std::string& strChosen)
{
    // The dialog opens where the current file lies, firmware files first.
    QStringList filters;
    for (const CFileFilter& filter : FirmwareFileFilters())
        filters << QStringLiteral("%1 (%2)").arg(Text(filter.strName), Text(filter.strPatterns));
    const QString strCurrentPath = Text(strCurrent);
    const QString strFolder = strCurrentPath.isEmpty() ? QString() : QFileInfo(strCurrentPath).absolutePath();
    const QString strPath =
        QFileDialog::getOpenFileName(this, QString(), strFolder, filters.join(QStringLiteral(";;")));
    strChosen = strPath.toStdString();
    return !strPath.isEmpty();
}

bool CLoaderDlg::AskText(const std::string& strQuestion, const std::string& strOffered, std::string& strAnswer)
{
    bool bOk = false;
    const QString strText =
        QInputDialog::getText(this, BoxCaption(), Text(strQuestion), QLineEdit::Normal, Text(strOffered), &bOk);
    if (bOk)
        strAnswer = strText.toStdString();
    return bOk;
}

void CLoaderDlg::StartTimer(ETimer eTimer, int nMs)
{
    Timer(eTimer)->start(nMs);
}

void CLoaderDlg::StopTimer(ETimer eTimer)
{
    Timer(eTimer)->stop();
}

void CLoaderDlg::ClearLog()
{
    m_richLog->ClearLog();
}

void CLoaderDlg::AppendToLog(const CLogAppend& append)
{
    m_richLog->Append(append);
}

void CLoaderDlg::AppendLog(const std::string& strText, int nColour)
{
    m_model.AppendLogs({CLogPiece {strText, nColour}});
}

void CLoaderDlg::SetProgressRange(int nMax)
{
    m_progress->setRange(0, nMax);
}

void CLoaderDlg::SetProgressPos(int nPos)
{
    m_progress->setValue(nPos);
}

void CLoaderDlg::ShowProgress(bool bShow)
{
    m_progress->setVisible(bShow);
}

void CLoaderDlg::FlushReports()
{
    m_view.Flush();
}

void CLoaderDlg::FlushQueuedReports()
{
    m_view.Flush();
}

void CLoaderDlg::CloseWindow()
{
    QDialog::reject();
}

void CLoaderDlg::accept()
{
    m_model.OnStartButton();
}

void CLoaderDlg::reject()
{
    m_model.OnCloseRequest();
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
            m_model.OnManualSend();
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
    std::vector<CDroppedItem> items;
    for (const QUrl& url : urls) {
        CDroppedItem item;
        item.strShown = url.toDisplayString().toStdString();
        if (url.isLocalFile()) {
            const QString strPath = url.toLocalFile();
            item.strLocalPath = strPath.toStdString();
            item.bFolder = QFileInfo(strPath).isDir();
        }
        items.push_back(std::move(item));
    }
    m_model.OnDropFiles(items);
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
