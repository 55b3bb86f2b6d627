// The dialog's controls as plain values: the integer edits, the reading
// exchange, the combo boxes, the settings record to the controls and back,
// and the engine's inputs taken from them.
#include <array>
#include <set>

#include <gtest/gtest.h>

#include "dialog/DialogControls.h"

namespace {

TEST(ParseDialogInt, DecimalWithBlanksAndASignWithinTheIntRange)
{
    struct CCase {
        const char* pText;
        bool bOk;
        int nValue;
    };
    const CCase cases[] = {
        {"0", true, 0},
        {"42", true, 42},
        {" 42 ", true, 42},
        {"\t7\r\n", true, 7},
        {"+5", true, 5},
        {"-5", true, -5},
        {"-0", true, 0},
        {"007", true, 7},
        {"2147483647", true, 2147483647},
        {"-2147483648", true, -2147483647 - 1},
        {"00000000000000000000012", true, 12},
        // Unicode blanks around the number: the ideographic space, no-break
        // space, next line, line and paragraph separators.
        {"\xE3\x80\x80"
         "12\xE3\x80\x80",
         true, 12},
        {"\xC2\xA0"
         "5",
         true, 5},
        {"\xC2\x85"
         "7",
         true, 7},
        {"\xE2\x80\xA8"
         "3\xE2\x80\xA9",
         true, 3},
        {"2147483648", false, 0},
        {"-2147483649", false, 0},
        {"99999999999999999999", false, 0},
        {"", false, 0},
        {" ", false, 0},
        {"+", false, 0},
        {"-", false, 0},
        {"1 2", false, 0},
        {"12a", false, 0},
        {"0x10", false, 0},
        {"1e3", false, 0},
        {"1.0", false, 0},
        {"1,000", false, 0},
        {"--1", false, 0},
        {"+-1", false, 0},
        {"\xEF\xBC\x91\xEF\xBC\x92", false, 0},  // full-width digits
        {"\xE2\x80\x8B"
         "5",
         false, 0},  // a zero-width space is no blank
        {"\xEF\xBB\xBF"
         "5",
         false, 0},  // nor a byte-order mark
        {"\xE2\x88\x92"
         "5",
         false, 0},  // the minus sign is not "-"
        {"\xFF"
         "3",
         false, 0},
        {"3\xC3", false, 0},
    };
    for (const CCase& c : cases) {
        SCOPED_TRACE(c.pText);
        int nValue = 12345;
        EXPECT_EQ(ParseDialogInt(c.pText, nValue), c.bOk);
        EXPECT_EQ(nValue, c.bOk ? c.nValue : 12345);  // a failed read changes nothing
    }
}

// The integer edits in the order the exchange reads them, and their values.
struct CIntEdit {
    EControl eEdit;
    std::string CDialogFields::*pText;
    int CDialogValues::*pValue;
};
const CIntEdit kIntEdits[] = {
    {EControl::kFrameLen, &CDialogFields::strFrameLen, &CDialogValues::nFrameLen},
    {EControl::kTimeInterval, &CDialogFields::strTimeInterval, &CDialogValues::nTimeInterval},
    {EControl::kRepeatTimes, &CDialogFields::strRepeatTimes, &CDialogValues::nRepeatTimes},
    {EControl::kVerMajor, &CDialogFields::strVerMajor, &CDialogValues::nVerMajor},
    {EControl::kVerMinor, &CDialogFields::strVerMinor, &CDialogValues::nVerMinor},
    {EControl::kVerPatch, &CDialogFields::strVerPatch, &CDialogValues::nVerPatch},
};

TEST(ReadFields, StopsAtTheFirstEditWithoutAnIntegerOrReadsAroundIt)
{
    // What each control held before (old) and shows now (new).
    CDialogValues old;
    old.strFilePath = "old.hex";
    old.strSend = "old";
    old.nBurnType = 0;
    old.bChipTypeCheck = 0;
    CDialogFields typed;
    typed.strFilePath = "new.hex";
    typed.strSend = "41 42";
    typed.nBurnType = 2;
    typed.bChipTypeCheck = true;
    for (size_t i = 0; i < std::size(kIntEdits); ++i) {
        old.*kIntEdits[i].pValue = 100 + static_cast<int>(i);
        typed.*kIntEdits[i].pText = std::to_string(200 + i);
    }

    enum EPart { kPath, kSend, kRadiosAndCheck };
    struct CCase {
        const char* pName;
        std::set<EControl> bad;  // edits typed without an integer
        bool bStop;
        EControl eFirstBad;
        std::set<EControl> read;  // integer edits that take the new value
        std::set<EPart> parts;    // the other controls that are read
    };
    const std::set<EControl> allInts = {EControl::kFrameLen, EControl::kTimeInterval, EControl::kRepeatTimes,
                                        EControl::kVerMajor, EControl::kVerMinor,     EControl::kVerPatch};
    const CCase cases[] = {
        {"all good", {}, true, EControl::kNone, allInts, {kPath, kSend, kRadiosAndCheck}},
        {"frame length", {EControl::kFrameLen}, true, EControl::kFrameLen, {}, {kPath}},
        {"interval", {EControl::kTimeInterval}, true, EControl::kTimeInterval, {EControl::kFrameLen}, {kPath}},
        {"repeat times",
         {EControl::kRepeatTimes},
         true,
         EControl::kRepeatTimes,
         {EControl::kFrameLen, EControl::kTimeInterval},
         {kPath}},
        {"major version",
         {EControl::kVerMajor},
         true,
         EControl::kVerMajor,
         {EControl::kFrameLen, EControl::kTimeInterval, EControl::kRepeatTimes},
         {kPath, kSend}},
        {"patch version",
         {EControl::kVerPatch},
         true,
         EControl::kVerPatch,
         {EControl::kFrameLen, EControl::kTimeInterval, EControl::kRepeatTimes, EControl::kVerMajor,
          EControl::kVerMinor},
         {kPath, kSend}},
        {"two bad, the first reported",
         {EControl::kVerMinor, EControl::kTimeInterval},
         true,
         EControl::kTimeInterval,
         {EControl::kFrameLen},
         {kPath}},
        {"quietly: the bad keep their values",
         {EControl::kVerMinor, EControl::kTimeInterval},
         false,
         EControl::kTimeInterval,
         {EControl::kFrameLen, EControl::kRepeatTimes, EControl::kVerMajor, EControl::kVerPatch},
         {kPath, kSend, kRadiosAndCheck}},
        {"quietly, all good", {}, false, EControl::kNone, allInts, {kPath, kSend, kRadiosAndCheck}},
    };
    for (const CCase& c : cases) {
        SCOPED_TRACE(c.pName);
        CDialogFields fields = typed;
        for (const CIntEdit& edit : kIntEdits) {
            if (c.bad.contains(edit.eEdit))
                fields.*edit.pText = "12x";
        }
        CDialogValues values = old;
        EXPECT_EQ(ReadFields(fields, values, c.bStop), c.eFirstBad);
        for (const CIntEdit& edit : kIntEdits) {
            const bool bRead = c.read.contains(edit.eEdit);
            EXPECT_EQ(values.*edit.pValue, bRead ? std::stoi(typed.*edit.pText) : old.*edit.pValue)
                << static_cast<int>(edit.eEdit);
        }
        EXPECT_EQ(values.strFilePath, c.parts.contains(kPath) ? typed.strFilePath : old.strFilePath);
        EXPECT_EQ(values.strSend, c.parts.contains(kSend) ? typed.strSend : old.strSend);
        const bool bRadios = c.parts.contains(kRadiosAndCheck);
        EXPECT_EQ(values.nBurnType, bRadios ? 2 : 0);
        EXPECT_EQ(values.bChipTypeCheck, bRadios ? 1 : 0);
    }
}

TEST(ReadFields, WhatIsWrittenReadsBackTheSame)
{
    CDialogValues values;
    values.strFilePath = "/固件/app v1.hex";
    values.nFrameLen = 512;
    values.nTimeInterval = -3;
    values.nRepeatTimes = 0;
    values.strSend = "中 41";
    values.nVerMajor = 2147483647;
    values.nVerMinor = -2147483647 - 1;
    values.nVerPatch = 9;
    values.bChipTypeCheck = 1;
    for (int nBurnType : {-1, 0, 1, 2}) {
        values.nBurnType = nBurnType;
        const CDialogFields fields = FieldsOf(values);
        EXPECT_EQ(fields.nBurnType, nBurnType);
        EXPECT_TRUE(fields.bChipTypeCheck);
        CDialogValues read;
        EXPECT_EQ(ReadFields(fields, read, true), EControl::kNone);
        EXPECT_EQ(read, values);
    }
}

TEST(ComboBoxes, TheSelectedItemIsTheShownOneOrTheTypedOne)
{
    struct CCase {
        EControl eCombo;
        CComboValue value;
        int nSelected;
    };
    const CCase cases[] = {
        {EControl::kBaudRate, {7, "115200"}, 7},
        {EControl::kBaudRate, {7, "9600"}, 2},     // typed over the current item
        {EControl::kBaudRate, {-1, "230400"}, 8},  // typed with no current item
        {EControl::kBaudRate, {7, "250000"}, -1},  // typed, no such item
        {EControl::kBaudRate, {7, " 9600"}, -1},   // matched exactly
        {EControl::kParity, {2, "none"}, -1},
        {EControl::kParity, {-1, "Odd"}, 3},
        {EControl::kStopBits, {0, "1.5"}, 1},
        {EControl::kSendMode, {0, "按16进制"}, 1},
        {EControl::kDataBits, {-1, ""}, -1},
        {EControl::kDataBits, {9, "8"}, -1},  // an index the box does not have
        // The port box takes no typing: its index stands, whatever it shows.
        {EControl::kPort, {4, "COM5  /dev/ttyUSB0"}, 4},
        {EControl::kPort, {12, "AUTOCHECK"}, 12},
        {EControl::kPort, {-1, "COM1"}, -1},
    };
    for (const CCase& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.eCombo));
        SCOPED_TRACE(c.value.strText);
        EXPECT_EQ(SelectedIndex(c.eCombo, c.value), c.nSelected);
    }
}

TEST(ComboBoxes, PortItemsShowThePathEachComNumberStandsFor)
{
    CComPortMap comPorts;
    comPorts.SetPath(1, "/dev/ttyUSB0");
    comPorts.SetPath(12, "/dev/serial/by-id/usb-串口-if00");
    comPorts.SetPath(13, "/dev/ttyACM0");  // past the list: not shown
    const std::vector<std::string> items = PortItemTexts(comPorts);
    ASSERT_EQ(items.size(), static_cast<size_t>(kPortItemCount));
    EXPECT_EQ(items[0], "COM1  /dev/ttyUSB0");
    EXPECT_EQ(items[1], "COM2");
    EXPECT_EQ(items[11], "COM12  /dev/serial/by-id/usb-串口-if00");
    EXPECT_EQ(items[12], "AUTOCHECK");
    for (size_t i = 0; i < items.size(); ++i)
        EXPECT_EQ(items[i].rfind(ComboItems(EControl::kPort)[i], 0), 0u) << items[i];
}

// The combo boxes as a view shows a selection: the item's text, or none.
CComboSelection Shown(const CComboSelection& chosen)
{
    CComboSelection shown = chosen;
    const std::pair<EControl, CComboValue*> combos[] = {
        {EControl::kPort, &shown.port},         {EControl::kBaudRate, &shown.baudRate},
        {EControl::kDataBits, &shown.dataBits}, {EControl::kParity, &shown.parity},
        {EControl::kStopBits, &shown.stopBits}, {EControl::kSendMode, &shown.sendMode}};
    for (const auto& [eCombo, pValue] : combos) {
        const std::vector<std::string> items = ComboItems(eCombo);
        pValue->strText = pValue->nIndex >= 0 ? items.at(static_cast<size_t>(pValue->nIndex)) : std::string();
    }
    return shown;
}

TEST(Settings, TheDefaultsShowAsTheFirstStartShowsThem)
{
    CDialogValues values;
    CComboSelection combos;
    ApplySettings(CSettings(), values, combos);
    const CComboSelection shown = Shown(combos);
    EXPECT_EQ(shown.port.strText, "COM1");
    EXPECT_EQ(shown.baudRate.strText, "115200");
    EXPECT_EQ(shown.dataBits.strText, "8");
    EXPECT_EQ(shown.parity.strText, "None");
    EXPECT_EQ(shown.stopBits.strText, "1");
    EXPECT_EQ(shown.sendMode.strText, "按16进制");
    const CDialogFields fields = FieldsOf(values);
    EXPECT_EQ(fields.strFrameLen, "1024");
    EXPECT_EQ(fields.strRepeatTimes, "1");
    EXPECT_EQ(fields.strTimeInterval, "1000");
}

TEST(Settings, RoundTripThroughTheControls)
{
    struct CCase {
        const char* pName;
        CSettings settings;
        CSettings back;  // as the controls give it back
    };
    const CCase cases[] = {
        {"defaults", CSettings {0, 0, 3, 2, 7, 1, 1024, 1, 1000, "1.2.*"},
         CSettings {0, 0, 3, 2, 7, 1, 1024, 1, 1000, "1.2.*"}},
        {"last items", CSettings {2, 12, 0, 4, 8, 0, 512, 3, 250, "1.2.*"},
         CSettings {2, 12, 0, 4, 8, 0, 512, 3, 250, "1.2.*"}},
        // An index the box does not have shows no selection, and comes back as none.
        {"out of range", CSettings {3, 13, 4, 5, 99, 2, 0, -1, 5, "1.2.*"},
         CSettings {-1, -1, -1, -1, -1, -1, 0, -1, 5, "1.2.*"}},
        {"none selected", CSettings {-1, -1, -1, -1, -1, -1, 1, 1, 1, "1.2.*"},
         CSettings {-1, -1, -1, -1, -1, -1, 1, 1, 1, "1.2.*"}},
    };
    for (const CCase& c : cases) {
        SCOPED_TRACE(c.pName);
        CDialogValues values;
        CComboSelection combos;
        ApplySettings(c.settings, values, combos);
        // Through the edits as texts and back, as a view does it.
        CDialogValues read;
        ReadFields(FieldsOf(values), read, true);
        CSettings base;
        base.strSupportVersion = "1.2.*";
        EXPECT_EQ(SettingsOf(base, read, Shown(combos)), c.back);
    }
}

TEST(Settings, TheOperatorsTypingCountsWhereItNamesAnItem)
{
    CDialogValues values;
    CComboSelection combos = Shown(CComboSelection {{2, ""}, {7, ""}, {3, ""}, {2, ""}, {0, ""}, {1, ""}});
    combos.baudRate.strText = "9600";   // typed: an item
    combos.parity.strText = "Parity?";  // typed: no item
    const CSettings settings = SettingsOf(CSettings(), values, combos);
    EXPECT_EQ(settings.nBaudRate, 2);
    EXPECT_EQ(settings.nCsBit, -1);
    EXPECT_EQ(settings.nPortNum, 2);
    EXPECT_EQ(settings.nDataBit, 3);
}

TEST(RunInputs, ARunTakesTheTypedTextsAndThePortButtonTheItems)
{
    CComboSelection combos = Shown(CComboSelection {{12, ""}, {7, ""}, {3, ""}, {2, ""}, {0, ""}, {1, ""}});
    combos.baudRate.strText = "250000";  // a rate the list lacks
    combos.stopBits = {1, "1.5"};
    combos.parity.strText = "Odd";

    const CPortChoice typed = PortChoiceOf(combos, true);
    EXPECT_EQ(typed.nPortIndex, kAutoCheckIndex);
    EXPECT_EQ(typed.strBaudRate, "250000");
    EXPECT_EQ(typed.strDataBits, "8");
    EXPECT_EQ(typed.strParity, "Odd");
    EXPECT_EQ(typed.strStopBits, "1.5");
    EXPECT_TRUE(typed.strPortPath.empty());

    const CPortChoice items = PortChoiceOf(combos, false);
    EXPECT_EQ(items.strBaudRate, "");  // no item named so
    EXPECT_EQ(items.strParity, "Odd");
    EXPECT_EQ(items.strStopBits, "1.5");

    CDialogValues values;
    values.strFilePath = "/fw/app.hex";
    values.nBurnType = 2;
    values.bChipTypeCheck = 1;
    values.nVerMajor = 1;
    values.nVerMinor = 2;
    values.nVerPatch = 3;
    const CRunInputs inputs = RunInputsOf(values, combos, "1.*.*");
    EXPECT_EQ(inputs.strFilePath, "/fw/app.hex");
    EXPECT_EQ(inputs.port.strBaudRate, "250000");
    EXPECT_EQ(inputs.port.nPortIndex, kAutoCheckIndex);
    EXPECT_EQ(inputs.nBurnType, 2);
    EXPECT_EQ(inputs.bChipTypeCheck, 1);
    EXPECT_EQ((std::array {inputs.nVerMajor, inputs.nVerMinor, inputs.nVerPatch}), (std::array {1, 2, 3}));
    EXPECT_EQ(inputs.strSupportVersion, "1.*.*");
}

TEST(Edits, WhichTakeDigitsOnlyAndWhichReadTheControlsAsTheyChange)
{
    struct CCase {
        EControl eEdit;
        bool bDigitsOnly;
        bool bExchanges;
    };
    const CCase cases[] = {
        {EControl::kFilePath, false, false},   {EControl::kFrameLen, true, false},
        {EControl::kRepeatTimes, false, true}, {EControl::kTimeInterval, false, true},
        {EControl::kSend, false, true},        {EControl::kVerMajor, true, true},
        {EControl::kVerMinor, true, true},     {EControl::kVerPatch, true, true},
    };
    for (const CCase& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.eEdit));
        EXPECT_EQ(IsDigitsOnlyEdit(c.eEdit), c.bDigitsOnly);
        EXPECT_EQ(ExchangesOnChange(c.eEdit), c.bExchanges);
    }
}

}  // namespace
