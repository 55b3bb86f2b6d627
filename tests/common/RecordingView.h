#pragma once
// A view that records what the engine tells the operator, for tests.
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "download/LoaderView.h"

class CRecordingView : public CLoaderView {
public:
    struct CEntry {
        std::string strText;
        int nColour;
    };

    void AppendLog(const std::string& strText, int nColour) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_log.push_back({strText, nColour});
    }
    void ShowMessageBox(const std::string& strText) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_boxes.push_back(strText);
        m_log.push_back({"[box] " + strText, -1});
    }
    bool AskYesNo(const std::string& strText) override
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_questions.push_back(strText);
            m_log.push_back({"[question] " + strText, -1});
        }
        if (m_onQuestion)
            m_onQuestion();  // what the operator does while the question waits
        return m_bAnswerYes;
    }
    void BeginProgress(int nCount) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_progressBegins.push_back(nCount);
    }
    void StepProgress() override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_nSteps;
    }
    void ShowProgress(bool bShow) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bProgressShown = bShow;
    }
    void OnPortButtonState(bool bOpen) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_portButton.push_back(bOpen);
    }

    // The whole log as the panel would show it.
    std::string LogText() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::string strText;
        for (const CEntry& entry : m_log) {
            if (entry.nColour >= 0)
                strText += entry.strText;
        }
        return strText;
    }
    std::vector<CEntry> Log() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_log;
    }
    std::vector<std::string> Boxes() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_boxes;
    }
    std::vector<std::string> Questions() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_questions;
    }
    int Steps() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_nSteps;
    }
    std::vector<int> ProgressBegins() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_progressBegins;
    }
    bool ProgressShown() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_bProgressShown;
    }
    std::vector<bool> PortButton() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_portButton;
    }
    void Clear()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_log.clear();
        m_boxes.clear();
        m_questions.clear();
    }

    bool m_bAnswerYes = true;
    std::function<void()> m_onQuestion;

private:
    mutable std::mutex m_mutex;
    std::vector<CEntry> m_log;
    std::vector<std::string> m_boxes;
    std::vector<std::string> m_questions;
    std::vector<int> m_progressBegins;
    std::vector<bool> m_portButton;
    int m_nSteps = 0;
    bool m_bProgressShown = false;
};
