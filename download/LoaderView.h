#pragma once
// What the engine needs of a view: the log, the progress bar, the boxes, and
// the state changes that buttons show. The Qt dialog marshals every call to
// its UI thread (boxes block the caller until answered); the command line
// prints; tests record. Calls come from the run's worker thread and, for the
// port button and the terminal, from the caller's own thread.
#include "core/LogSink.h"
#include "core/MessageBoxes.h"

// The passes a run's progress counts: the blocks written, then the blocks
// read back; or, for a read of the device into a file, the blocks read.
enum class ERunPass { kWrite, kVerify, kRead };

class CLoaderView : public CLogSink, public CMessageBoxes {
public:
    // A pass over nCount blocks: position 0, one step per block.
    virtual void BeginProgress(int nCount) = 0;
    // Said just before the BeginProgress of each pass, so that a view that
    // shows more than a bar (the command line's JSON) can name the pass.
    virtual void OnPassBegun(ERunPass pass) { (void)pass; }
    virtual void StepProgress() = 0;
    // Shown while a run is in progress; hidden (and back at 0) after it.
    virtual void ShowProgress(bool bShow) = 0;
    // A run began ("&Cancel") or ended ("&Start Downloading").
    virtual void OnRunStateChanged(bool bRunning) { (void)bRunning; }
    // The device is connected and in IAP mode for a download or a verify
    // (not for a read, which sends nothing ahead): the quickest IAP exchange in
    // microseconds, the bit rate, and the window the run sends flash commands with.
    virtual void OnConnected(long long nRoundTripUs, int nBaudRate, int nWindow)
    {
        (void)nRoundTripUs, (void)nBaudRate, (void)nWindow;
    }
    // The port button's port was opened or closed ("关闭串口" / "打开串口").
    virtual void OnPortButtonState(bool bOpen) { (void)bOpen; }
};
