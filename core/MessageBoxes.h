#pragma once
// The operator-facing boxes raised from inside an exchange or a run. The GUI
// shows them modally on its UI thread, the command line prints them, tests
// record them; in every case the calling thread waits until the box is done.
#include <string>

class CMessageBoxes {
public:
    virtual ~CMessageBoxes() = default;
    // An OK box; returns once the operator has closed it.
    virtual void ShowMessageBox(const std::string& strText) = 0;
    // A Yes/No question; true for Yes.
    virtual bool AskYesNo(const std::string& strText) = 0;
};
