#include "dialog/DialogControls.h"

#include <limits>

#include "dialog/Utf8Text.h"
#include "serial/PortEnumeration.h"

namespace {

const std::vector<std::string> kDataBitsItems = {"5", "6", "7", "8"};
// The parity and stop-bit boxes are sorted lists: their items in sorted order.
const std::vector<std::string> kParityItems = {"Even", "Mark", "None", "Odd", "Space"};
const std::vector<std::string> kStopBitsItems = {"1", "1.5", "2"};
const std::vector<std::string> kSendModeItems = {"按ASCII码", "按16进制"};

// The text without the Unicode blanks around it; a byte that is no UTF-8
// character counts as no blank.
std::string_view TrimUnicodeSpace(std::string_view text)
{
    size_t nBegin = 0;
    char32_t cChar = 0;
    while (nBegin < text.size()) {
        const size_t nLength = Utf8CharAt(text, nBegin, cChar);
        if (nLength == 0 || !IsUnicodeSpace(cChar))
            break;
        nBegin += nLength;
    }
    size_t nEnd = text.size();
    while (nEnd > nBegin) {
        size_t nStart = nEnd - 1;
        while (nStart > nBegin && nEnd - nStart < 4 && (static_cast<unsigned char>(text[nStart]) & 0xC0) == 0x80)
            --nStart;
        if (Utf8CharAt(text, nStart, cChar) != nEnd - nStart || !IsUnicodeSpace(cChar))
            break;
        nEnd = nStart;
    }
    return text.substr(nBegin, nEnd - nBegin);
}

void SelectClamped(CComboValue& value, int nIndex, size_t nCount)
{
    value.nIndex = nIndex >= 0 && static_cast<size_t>(nIndex) < nCount ? nIndex : -1;
}

std::string SelectedItemText(EControl eCombo, const CComboValue& value)
{
    const int nIndex = SelectedIndex(eCombo, value);
    return nIndex >= 0 ? ComboItems(eCombo)[static_cast<size_t>(nIndex)] : std::string();
}

}  // namespace

std::vector<std::string> ComboItems(EControl eCombo)
{
    switch (eCombo) {
    case EControl::kPort: {
        std::vector<std::string> items;
        for (int i = 0; i < kPortItemCount; ++i)
            items.push_back(PortItemText(i));
        return items;
    }
    case EControl::kBaudRate: {
        std::vector<std::string> items;
        for (int nRate : kBaudRates)
            items.push_back(std::to_string(nRate));
        return items;
    }
    case EControl::kDataBits: return kDataBitsItems;
    case EControl::kParity: return kParityItems;
    case EControl::kStopBits: return kStopBitsItems;
    case EControl::kSendMode: return kSendModeItems;
    default: return {};
    }
}

bool IsEditableCombo(EControl eCombo)
{
    return eCombo != EControl::kPort;
}

std::vector<std::string> PortItemTexts(const CComPortMap& comPorts)
{
    std::vector<std::string> items = ComPortBoxTexts(comPorts, kAutoCheckIndex);
    for (int i = kAutoCheckIndex; i < kPortItemCount; ++i)
        items.push_back(PortItemText(i));
    return items;
}

bool IsDigitsOnlyEdit(EControl eEdit)
{
    return eEdit == EControl::kFrameLen || eEdit == EControl::kVerMajor || eEdit == EControl::kVerMinor ||
           eEdit == EControl::kVerPatch;
}

bool ExchangesOnChange(EControl eEdit)
{
    return eEdit == EControl::kSend || eEdit == EControl::kTimeInterval || eEdit == EControl::kRepeatTimes ||
           eEdit == EControl::kVerMajor || eEdit == EControl::kVerMinor || eEdit == EControl::kVerPatch;
}

bool ParseDialogInt(std::string_view text, int& nValue)
{
    text = TrimUnicodeSpace(text);
    bool bNegative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        bNegative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty())
        return false;
    // Gathered as a negative number: the int range reaches one further below zero.
    long long nRead = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        nRead = nRead * 10 - (c - '0');
        if (nRead < std::numeric_limits<int>::min())
            return false;
    }
    if (!bNegative && nRead < -std::numeric_limits<int>::max())
        return false;
    nValue = static_cast<int>(bNegative ? nRead : -nRead);
    return true;
}

EControl ReadFields(const CDialogFields& fields, CDialogValues& values, bool bStopAtBadEdit)
{
    EControl eFirstBad = EControl::kNone;
    const auto readInt = [&](EControl eEdit, const std::string& strText, int& nValue) {
        if (eFirstBad != EControl::kNone && bStopAtBadEdit)
            return;
        if (!ParseDialogInt(strText, nValue) && eFirstBad == EControl::kNone)
            eFirstBad = eEdit;
    };
    values.strFilePath = fields.strFilePath;
    readInt(EControl::kFrameLen, fields.strFrameLen, values.nFrameLen);
    readInt(EControl::kTimeInterval, fields.strTimeInterval, values.nTimeInterval);
    readInt(EControl::kRepeatTimes, fields.strRepeatTimes, values.nRepeatTimes);
    if (eFirstBad != EControl::kNone && bStopAtBadEdit)
        return eFirstBad;
    values.strSend = fields.strSend;
    readInt(EControl::kVerMajor, fields.strVerMajor, values.nVerMajor);
    readInt(EControl::kVerMinor, fields.strVerMinor, values.nVerMinor);
    readInt(EControl::kVerPatch, fields.strVerPatch, values.nVerPatch);
    if (eFirstBad != EControl::kNone && bStopAtBadEdit)
        return eFirstBad;
    values.nBurnType = fields.nBurnType >= 0 && fields.nBurnType <= 2 ? fields.nBurnType : -1;
    values.bChipTypeCheck = fields.bChipTypeCheck ? 1 : 0;
    return eFirstBad;
}

CDialogFields FieldsOf(const CDialogValues& values)
{
    CDialogFields fields;
    fields.strFilePath = values.strFilePath;
    fields.strFrameLen = std::to_string(values.nFrameLen);
    fields.strTimeInterval = std::to_string(values.nTimeInterval);
    fields.strRepeatTimes = std::to_string(values.nRepeatTimes);
    fields.strSend = values.strSend;
    fields.strVerMajor = std::to_string(values.nVerMajor);
    fields.strVerMinor = std::to_string(values.nVerMinor);
    fields.strVerPatch = std::to_string(values.nVerPatch);
    fields.nBurnType = values.nBurnType;
    fields.bChipTypeCheck = values.bChipTypeCheck != 0;
    return fields;
}

int SelectedIndex(EControl eCombo, const CComboValue& value)
{
    const std::vector<std::string> items = ComboItems(eCombo);
    if (value.nIndex >= static_cast<int>(items.size()))
        return -1;
    if (!IsEditableCombo(eCombo) || (value.nIndex >= 0 && items[static_cast<size_t>(value.nIndex)] == value.strText))
        return value.nIndex;
    for (size_t i = 0; i < items.size(); ++i) {
        if (items[i] == value.strText)
            return static_cast<int>(i);
    }
    return -1;
}

void ApplySettings(const CSettings& settings, CDialogValues& values, CComboSelection& combos)
{
    SelectClamped(combos.stopBits, settings.nStopBit, kStopBitsItems.size());
    SelectClamped(combos.port, settings.nPortNum, kPortItemCount);
    SelectClamped(combos.dataBits, settings.nDataBit, kDataBitsItems.size());
    SelectClamped(combos.parity, settings.nCsBit, kParityItems.size());
    SelectClamped(combos.baudRate, settings.nBaudRate, kBaudRates.size());
    SelectClamped(combos.sendMode, settings.nSendType, kSendModeItems.size());
    values.nFrameLen = settings.nFrameLen;
    values.nRepeatTimes = settings.nRepeatTimes;
    values.nTimeInterval = settings.nTimeInterval;
}

CSettings SettingsOf(const CSettings& base, const CDialogValues& values, const CComboSelection& combos)
{
    CSettings settings = base;
    settings.nStopBit = SelectedIndex(EControl::kStopBits, combos.stopBits);
    settings.nPortNum = SelectedIndex(EControl::kPort, combos.port);
    settings.nDataBit = SelectedIndex(EControl::kDataBits, combos.dataBits);
    settings.nCsBit = SelectedIndex(EControl::kParity, combos.parity);
    settings.nBaudRate = SelectedIndex(EControl::kBaudRate, combos.baudRate);
    settings.nSendType = SelectedIndex(EControl::kSendMode, combos.sendMode);
    settings.nFrameLen = values.nFrameLen;
    settings.nRepeatTimes = values.nRepeatTimes;
    settings.nTimeInterval = values.nTimeInterval;
    return settings;
}

CPortChoice PortChoiceOf(const CComboSelection& combos, bool bTypedTexts)
{
    CPortChoice choice;
    choice.nPortIndex = SelectedIndex(EControl::kPort, combos.port);
    const auto text = [bTypedTexts](EControl eCombo, const CComboValue& value) {
        return bTypedTexts ? value.strText : SelectedItemText(eCombo, value);
    };
    choice.strBaudRate = text(EControl::kBaudRate, combos.baudRate);
    choice.strDataBits = text(EControl::kDataBits, combos.dataBits);
    choice.strParity = text(EControl::kParity, combos.parity);
    choice.strStopBits = text(EControl::kStopBits, combos.stopBits);
    return choice;
}

CRunInputs RunInputsOf(const CDialogValues& values, const CComboSelection& combos, const std::string& strSupportVersion)
{
    CRunInputs inputs;
    inputs.strFilePath = values.strFilePath;
    inputs.port = PortChoiceOf(combos, true);
    inputs.nBurnType = values.nBurnType;
    inputs.bChipTypeCheck = values.bChipTypeCheck;
    inputs.nVerMajor = values.nVerMajor;
    inputs.nVerMinor = values.nVerMinor;
    inputs.nVerPatch = values.nVerPatch;
    inputs.strSupportVersion = strSupportVersion;
    return inputs;
}
