#pragma once
// A view of the dialog model for tests: its controls are a record the test
// types into, and it notes everything the model asks of it. Beside it, the
// engine's reports carried to the test's thread the way a view must carry
// them to its UI thread: queued from a worker, delivered in order when the
// test pumps, a box holding its worker until answered.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "dialog/CDialogModel.h"

class CRecordingDialogView : public CDialogView {
public:
    struct CBox {
        std::string strText;
        bool bQuestion = false;
        EBoxIcon eIcon = EBoxIcon::kNone;
        bool bDefaultYes = false;
    };

    CDialogControls ReadControls() const override { return m_controls; }
    void WriteFields(const CDialogFields& fields) override { m_controls.fields = fields; }
    void SelectComboItems(const CComboSelection& combos) override
    {
        Select(EControl::kPort, combos.port, m_controls.combos.port);
        Select(EControl::kBaudRate, combos.baudRate, m_controls.combos.baudRate);
        Select(EControl::kDataBits, combos.dataBits, m_controls.combos.dataBits);
        Select(EControl::kParity, combos.parity, m_controls.combos.parity);
        Select(EControl::kStopBits, combos.stopBits, m_controls.combos.stopBits);
        Select(EControl::kSendMode, combos.sendMode, m_controls.combos.sendMode);
    }
    void SetPortItems(const std::vector<std::string>& items) override { m_portItems = items; }
    void SetControlText(EControl eControl, const std::string& strText) override
    {
        m_texts[eControl].push_back(strText);
        if (eControl == EControl::kFilePath)
            m_controls.fields.strFilePath = strText;
    }
    void EnableControl(EControl eControl, bool bEnable) override { m_enabled[eControl] = bEnable; }
    void FocusControl(EControl eControl) override { m_focus.push_back(eControl); }

    void ShowBox(const std::string& strText, EBoxIcon eIcon) override
    {
        m_boxes.push_back({strText, false, eIcon, false});
        if (m_onBox)
            m_onBox();
    }
    bool AskQuestion(const std::string& strText, bool bDefaultYes) override
    {
        m_boxes.push_back({strText, true, EBoxIcon::kNone, bDefaultYes});
        // Up while m_onBox runs: what that does can take it down.
        m_questionsUp.push_back(false);
        if (m_onBox)
            m_onBox();
        const bool bDismissed = m_questionsUp.back();
        m_questionsUp.pop_back();
        if (bDismissed)
            return false;  // taken down, no answer used
        if (m_answers.empty())
            return true;
        const bool bYes = m_answers.front();
        m_answers.pop_front();
        return bYes;
    }
    void DismissQuestion() override
    {
        ++m_nDismissCalls;
        if (!m_questionsUp.empty())
            m_questionsUp.back() = true;
    }
    bool ChooseFile(const std::string& strCurrent, std::string& strChosen) override
    {
        m_fileDialogs.push_back(strCurrent);
        strChosen = m_strChosenFile;
        return !m_strChosenFile.empty();
    }

    bool AskText(const std::string& strQuestion, const std::string& strOffered, std::string& strAnswer) override
    {
        m_textQuestions.push_back({strQuestion, strOffered});
        if (m_textAnswers.empty())
            return false;
        const std::optional<std::string> answer = m_textAnswers.front();
        m_textAnswers.pop_front();
        if (answer)
            strAnswer = *answer;
        return answer.has_value();
    }

    void StartTimer(ETimer eTimer, int nMs) override { m_timers[eTimer] = nMs; }
    void StopTimer(ETimer eTimer) override { m_timers.erase(eTimer); }
    bool TimerRuns(ETimer eTimer) const { return m_timers.contains(eTimer); }
    int TimerPeriod(ETimer eTimer) const { return m_timers.at(eTimer); }

    // The log as a control that counts a line end as one character holds it.
    void ClearLog() override { m_strLog.clear(); }
    void AppendToLog(const CLogAppend& append) override
    {
        if (append.bClearFirst)
            m_strLog.clear();
        for (const CLogPiece& piece : append.pieces) {
            m_strLog += piece.strText;
            m_logColours.push_back(piece.nColour);
        }
        size_t nUnits = append.CutPosition(1);
        size_t nByte = 0;
        while (nUnits > 0 && nByte < m_strLog.size()) {
            const auto nLead = static_cast<unsigned char>(m_strLog[nByte]);
            const size_t nLength = nLead < 0x80 ? 1 : nLead < 0xE0 ? 2 : nLead < 0xF0 ? 3 : 4;
            const size_t nCharUnits = nLength == 4 ? 2 : 1;
            nUnits -= std::min(nUnits, nCharUnits);
            nByte += nLength;
        }
        m_strLog.erase(0, nByte);
        ++m_nAppends;
    }
    void SetProgressRange(int nMax) override { m_nProgressMax = nMax; }
    void SetProgressPos(int nPos) override { m_nProgressPos = nPos; }
    void ShowProgress(bool bShow) override { m_bProgressShown = bShow; }

    void FlushReports() override
    {
        ++m_nFlushes;
        if (m_flush)
            m_flush();
    }
    void CloseWindow() override { m_bClosed = true; }

    // The last text the model gave a control; empty when none.
    std::string LastText(EControl eControl) const
    {
        const auto it = m_texts.find(eControl);
        return it == m_texts.end() || it->second.empty() ? std::string() : it->second.back();
    }
    size_t TextCount(EControl eControl, const std::string& strText) const
    {
        const auto it = m_texts.find(eControl);
        return it == m_texts.end() ? 0 : static_cast<size_t>(std::count(it->second.begin(), it->second.end(), strText));
    }

    CDialogControls m_controls;
    std::vector<std::string> m_portItems;
    std::map<EControl, std::vector<std::string>> m_texts;
    std::map<EControl, bool> m_enabled;
    std::vector<EControl> m_focus;
    std::vector<CBox> m_boxes;
    std::deque<bool> m_answers;  // the questions' answers in turn; Yes once they run out
    std::function<void()> m_onBox;
    std::vector<bool> m_questionsUp;  // the questions up, innermost last: true once taken down
    int m_nDismissCalls = 0;
    std::string m_strChosenFile;  // the file dialog's choice; empty for cancel
    std::vector<std::string> m_fileDialogs;
    // The text questions asked and what each offered; the answers in turn,
    // nothing for Cancel, and Cancel once they run out.
    std::vector<std::pair<std::string, std::string>> m_textQuestions;
    std::deque<std::optional<std::string>> m_textAnswers;
    std::map<ETimer, int> m_timers;
    std::string m_strLog;
    std::vector<int> m_logColours;
    int m_nAppends = 0;
    int m_nProgressMax = -1;
    int m_nProgressPos = -1;
    bool m_bProgressShown = true;
    int m_nFlushes = 0;
    std::function<void()> m_flush;
    bool m_bClosed = false;

private:
    // As a combo box shows a selection: the item's text, or none.
    static void Select(EControl eCombo, const CComboValue& chosen, CComboValue& shown)
    {
        const std::vector<std::string> items = ComboItems(eCombo);
        const bool bInRange = chosen.nIndex >= 0 && static_cast<size_t>(chosen.nIndex) < items.size();
        shown.nIndex = bInRange ? chosen.nIndex : -1;
        shown.strText = bInRange ? items[static_cast<size_t>(chosen.nIndex)] : std::string();
    }
};

// The engine's reports on their way to the model. The test's thread stands
// for the UI thread: a call made on it is carried out at once, after what is
// queued; a call from any other thread waits in the queue until Pump.
class CQueuedReports : public CLoaderView {
public:
    void Attach(CDialogModel& model) { m_pModel = &model; }
    // Nothing more is delivered, and a worker waiting for an answer gets "No".
    void Detach()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bDetached = true;
        m_queue.clear();
        m_cv.notify_all();
    }

    // Carries out everything queued so far.
    void Pump()
    {
        while (PumpOne(false)) {
        }
    }
    // Pumps until done() holds, then once more; false when it never does.
    bool PumpUntil(const std::function<bool()>& done)
    {
        return WaitWhilePumping([&] {
            Pump();
            if (!done())
                return false;
            Pump();
            return true;
        });
    }
    // Pumps until a box or a question is next in the queue, and leaves it
    // there: its worker stays held until the next Pump. False when none comes.
    bool PumpToBox()
    {
        return WaitWhilePumping([&] {
            while (PumpOne(true)) {
            }
            std::lock_guard<std::mutex> lock(m_mutex);
            return !m_queue.empty() && m_queue.front().bBox;
        });
    }

    void AppendLog(const std::string& strText, int nColour) override
    {
        Post([this, strText, nColour] { m_pModel->AppendLogs({CLogPiece {strText, nColour}}); });
    }
    void ShowMessageBox(const std::string& strText) override
    {
        Ask([this, strText] {
            m_pModel->ShowMessageBox(strText);
            return true;
        });
    }
    bool AskYesNo(const std::string& strText) override
    {
        return Ask([this, strText] { return m_pModel->AskYesNo(strText); });
    }
    void BeginProgress(int nCount) override
    {
        Post([this, nCount] { m_pModel->BeginProgress(nCount); });
    }
    void StepProgress() override
    {
        Post([this] { m_pModel->StepProgress(1); });
    }
    void ShowProgress(bool bShow) override
    {
        Post([this, bShow] { m_pModel->ShowProgress(bShow); });
    }
    void OnRunStateChanged(bool bRunning) override
    {
        Post([this, bRunning] { m_pModel->OnRunStateChanged(bRunning); });
    }
    void OnPortButtonState(bool bOpen) override
    {
        Post([this, bOpen] { m_pModel->OnPortButtonState(bOpen); });
    }

private:
    struct CCall {
        std::function<void()> call;
        bool bBox = false;
    };

    bool OnTestThread() const { return std::this_thread::get_id() == m_testThread; }

    // Carries out the first call queued, unless the queue is empty (or, with
    // bStopAtBox, a box is next); true when it did.
    bool PumpOne(bool bStopAtBox)
    {
        std::function<void()> call;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_queue.empty() || m_bDetached || (bStopAtBox && m_queue.front().bBox))
                return false;
            call = std::move(m_queue.front().call);
            m_queue.pop_front();
        }
        call();
        return true;
    }

    // Tries until tried() holds, waiting for the next report in between;
    // false after half a minute without.
    bool WaitWhilePumping(const std::function<bool()>& tried)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!tried()) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            std::unique_lock<std::mutex> lock(m_mutex);
            m_cv.wait_for(lock, std::chrono::milliseconds(20));
        }
        return true;
    }

    void Post(std::function<void()> call, bool bBox = false)
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_bDetached)
                return;
            m_queue.push_back({std::move(call), bBox});
            m_cv.notify_all();
        }
        if (OnTestThread())
            Pump();
    }

    bool Ask(const std::function<bool()>& ask)
    {
        if (OnTestThread()) {
            Pump();
            return !IsDetached() && ask();
        }
        struct CAnswer {
            bool bDone = false;
            bool bYes = false;
        };
        auto answer = std::make_shared<CAnswer>();
        Post(
            [this, ask, answer] {
                const bool bYes = ask();
                std::lock_guard<std::mutex> lock(m_mutex);
                answer->bYes = bYes;
                answer->bDone = true;
                m_cv.notify_all();
            },
            true);
        std::unique_lock<std::mutex> lock(m_mutex);
        m_cv.wait(lock, [&] { return answer->bDone || m_bDetached; });
        return answer->bDone && answer->bYes;
    }

    bool IsDetached() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_bDetached;
    }

    CDialogModel* m_pModel = nullptr;
    const std::thread::id m_testThread = std::this_thread::get_id();
    mutable std::mutex m_mutex;
    std::condition_variable m_cv;
    std::deque<CCall> m_queue;
    bool m_bDetached = false;
};
