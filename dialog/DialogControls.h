#pragma once
// The dialog's controls as plain values, and the pure rules between them,
// the settings record and the engine's inputs. A view turns its widgets into
// these records and back; everything else about the values is decided here.
// Texts are UTF-8.
#include <string>
#include <string_view>
#include <vector>

#include "download/CLoader.h"
#include "settings/Settings.h"

// The controls the model speaks of, by the dialog template's control IDs, so
// that a Win32 view can pass them to GetDlgItem as they are.
enum class EControl : int {
    kNone = 0,
    kStart = 1,  // IDOK: also the Enter key
    kFilePath = 1000,
    kAutoSend = 1002,
    kSelectFile = 1004,
    kReceive = 1005,
    kPort = 1007,
    kClear = 1008,
    kSendMode = 1009,
    kManualSend = 1010,
    kSend = 1011,
    kProgress = 1013,
    kLog = 1014,
    kFirmware = 1016,
    kEmulator = 1017,
    kProgram = 1018,
    kFrameLen = 1019,
    kRepeatTimes = 1021,
    kTimeInterval = 1022,
    kVerPatch = 1024,
    kVerMinor = 1025,
    kVerMajor = 1026,
    kChipType = 1027,
    kOpenPort = 1032,
    kBaudRate = 1045,
    kDataBits = 1046,
    kParity = 1047,
    kStopBits = 1048,
};

// The texts of the buttons whose text follows the state ("&" marks the
// mnemonic in both toolkits), and of the model's own boxes.
inline constexpr const char* kStartText = "&Start Downloading";
inline constexpr const char* kCancelText = "&Cancel";
inline constexpr const char* kOpenPortText = "打开串口";
inline constexpr const char* kClosePortText = "关闭串口";
inline constexpr const char* kAutoSendText = "自动发送";
inline constexpr const char* kStopSendText = "停止发送";
inline constexpr const char* kReceiveText = "开始接收";
inline constexpr const char* kStopReceiveText = "停止接收";
inline constexpr const char* kNotAnIntegerText = "请键入一个整数。";
inline constexpr const char* kStopAndCloseQuestion = "正在下载，是否停止下载并关闭?";
// Asked when a raw binary file is chosen; {} is the file's name.
inline constexpr const char* kLoadAddressQuestion =
    "原始二进制文件 {} 不含地址。\n请键入它的加载地址（0x 开头为十六进制，否则为十进制）：";
inline constexpr const char* kNotAnAddressText = "请键入小于 4 GiB 的地址：0x 加十六进制数字，或十进制数字。";

// A combo box as the view shows it: the current item (-1 for none) and the
// text in the box, which an editable box lets the operator type freely.
struct CComboValue {
    int nIndex = -1;
    std::string strText;

    bool operator==(const CComboValue&) const = default;
};

// The combo boxes. Written back by index only: a view selects the item, or
// none for an index out of range.
struct CComboSelection {
    CComboValue port, baudRate, dataBits, parity, stopBits, sendMode;

    bool operator==(const CComboSelection&) const = default;
};

// The edits' texts, the burn-type radios and the check box.
struct CDialogFields {
    std::string strFilePath;
    std::string strFrameLen;
    std::string strTimeInterval;
    std::string strRepeatTimes;
    std::string strSend;
    std::string strVerMajor;
    std::string strVerMinor;
    std::string strVerPatch;
    int nBurnType = 0;  // the checked radio: 0 programmer firmware, 1 emulator firmware, 2 program; -1 none
    bool bChipTypeCheck = false;

    bool operator==(const CDialogFields&) const = default;
};

// Every control's value, as a view reads them all at once.
struct CDialogControls {
    CDialogFields fields;
    CComboSelection combos;
};

// What the dialog works with: the edits' values as last read, an integer
// edit keeping its value while it holds no integer.
struct CDialogValues {
    std::string strFilePath;
    int nFrameLen = 1024;
    int nTimeInterval = 1000;
    int nRepeatTimes = 1;
    std::string strSend;
    int nVerMajor = 0;
    int nVerMinor = 0;
    int nVerPatch = 0;
    int nBurnType = 0;
    int bChipTypeCheck = 0;

    bool operator==(const CDialogValues&) const = default;
};

// The items of a combo box in their order; the port box's plain names
// ("COM1" to "COM12", "AUTOCHECK"), the others as they always read.
std::vector<std::string> ComboItems(EControl eCombo);
// Whether the operator may type into the combo box (all but the port box).
bool IsEditableCombo(EControl eCombo);
// The port box's items: each COM number as the platform shows it
// (ComPortBoxTexts), then "AUTOCHECK". The engine gets the index; the texts
// are only shown.
std::vector<std::string> PortItemTexts(const CComPortMap& comPorts);
// The edits that take digits only as they are typed; the others take any text.
bool IsDigitsOnlyEdit(EControl eEdit);
// The edits whose every change reads the controls (and may raise the box of
// an edit without an integer); the path and frame-length edits are read at
// the next exchange only.
bool ExchangesOnChange(EControl eEdit);

// The integer an edit holds: blanks around it (as Unicode counts them), an
// optional sign, decimal digits, within the int range. False for any other text.
bool ParseDialogInt(std::string_view text, int& nValue);

// The reading exchange: the edits, radios and check box into the values, in
// the template's order. An integer edit without an integer keeps its value.
// Stopping at a bad edit, the reading ends at the first one (the edits of
// its group after it, and the radios and the check box, stay as they were);
// otherwise everything else is read all the same. Gives the first bad edit,
// or EControl::kNone.
EControl ReadFields(const CDialogFields& fields, CDialogValues& values, bool bStopAtBadEdit);
// The writing exchange: the values as the edits, radios and check box show them.
CDialogFields FieldsOf(const CDialogValues& values);

// The item a combo box stands for: its current item while the box shows
// that item's text, else the item whose text was typed; -1 for none.
int SelectedIndex(EControl eCombo, const CComboValue& value);
// The settings record into the combo boxes' indexes (an index out of range
// shows no selection) and the values of the three transfer edits.
void ApplySettings(const CSettings& settings, CDialogValues& values, CComboSelection& combos);
// The settings as the controls give them; what the controls do not show
// (the permitted versions) comes from base.
CSettings SettingsOf(const CSettings& base, const CDialogValues& values, const CComboSelection& combos);

// Which port to open and its line settings' texts: the boxes' own (typed)
// texts for a run, the selected items' texts for the port button.
CPortChoice PortChoiceOf(const CComboSelection& combos, bool bTypedTexts);
// The inputs of a run as the controls give them.
CRunInputs RunInputsOf(const CDialogValues& values, const CComboSelection& combos,
                       const std::string& strSupportVersion);
