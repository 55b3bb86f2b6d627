#pragma once
// What the dialog model asks of a view (the Qt dialog, the Win32 dialog).
// Every call comes on the UI thread, from inside one of the model's
// functions; none of them may call back into the model before it returns,
// except a box's own message loop, which may deliver the operator's other
// input as usual.
#include <string>
#include <vector>

#include "dialog/DialogControls.h"
#include "dialog/DialogLog.h"

// The model's timers. A started timer fires every nMs milliseconds until it
// is stopped (Win32: SetTimer with the number as its ID; Qt: a QTimer);
// starting a running one starts its period afresh.
enum class ETimer : int {
    kReceive = 1,   // the terminal's receive poll
    kAutoSend = 2,  // the terminal's repeated send
    kClose = 3,     // a close waiting for a stopped run to finish
};

enum class EBoxIcon { kNone, kWarning };

// The choices of the file dialog, in their order: a name and the patterns
// it shows, blank-separated.
struct CFileFilter {
    std::string strName;
    std::string strPatterns;

    bool operator==(const CFileFilter&) const = default;
};
// Every format the readers take, then each on its own, then all files.
std::vector<CFileFilter> FirmwareFileFilters();

// One item dropped on the dialog.
struct CDroppedItem {
    std::string strLocalPath;  // empty for anything but a local file or folder
    std::string strShown;      // the item as the operator would read it (an address)
    bool bFolder = false;
};

class CDialogView {
public:
    virtual ~CDialogView() = default;

    // Every control's value as the operator left it.
    virtual CDialogControls ReadControls() const = 0;
    // The edits' texts (only where they differ: an edit keeps its cursor),
    // the radio of the burn type (none for -1) and the check box.
    virtual void WriteFields(const CDialogFields& fields) = 0;
    // Selects the combo boxes' items by index; an index out of range selects none.
    virtual void SelectComboItems(const CComboSelection& combos) = 0;
    // The port box's item texts, the box's count unchanged.
    virtual void SetPortItems(const std::vector<std::string>& items) = 0;
    // A button's or an edit's text.
    virtual void SetControlText(EControl eControl, const std::string& strText) = 0;
    virtual void EnableControl(EControl eControl, bool bEnable) = 0;
    // The keyboard focus; an edit's text is selected whole.
    virtual void FocusControl(EControl eControl) = 0;

    // Modal boxes with the program's caption, returning once answered.
    virtual void ShowBox(const std::string& strText, EBoxIcon eIcon) = 0;
    // Yes and No; true for Yes. Without bDefaultYes, No is the default and
    // Esc's answer.
    virtual bool AskQuestion(const std::string& strText, bool bDefaultYes) = 0;
    // Takes down the question AskQuestion has up, which then returns false;
    // nothing when none is up.
    virtual void DismissQuestion() = 0;
    // The open-file dialog with FirmwareFileFilters(), in the folder of
    // strCurrent when it names one; false when cancelled.
    virtual bool ChooseFile(const std::string& strCurrent, std::string& strChosen) = 0;
    // A line of text asked for in a small modal box with the program's
    // caption, OK and Cancel, strAnswer offered first; false when cancelled.
    virtual bool AskText(const std::string& strQuestion, const std::string& strOffered, std::string& strAnswer) = 0;

    virtual void StartTimer(ETimer eTimer, int nMs) = 0;
    virtual void StopTimer(ETimer eTimer) = 0;

    // The log: emptied, or one append carried out as CLogAppend says, with
    // the operator's selection dropped and the newest text brought into view.
    virtual void ClearLog() = 0;
    virtual void AppendToLog(const CLogAppend& append) = 0;
    // The progress bar: a range from 0, a position in it, shown or hidden.
    virtual void SetProgressRange(int nMax) = 0;
    virtual void SetProgressPos(int nPos) = 0;
    virtual void ShowProgress(bool bShow) = 0;

    // Carries out now whatever the engine has reported that still waits to
    // reach the UI thread (see CDialogModel), before the model goes on.
    virtual void FlushReports() = 0;
    // The window closes; the model has saved everything.
    virtual void CloseWindow() = 0;
};
