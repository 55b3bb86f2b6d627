#pragma once
// Small helpers shared by the benchmark sections.
#include <chrono>
#include <string>

#include "download/LoaderView.h"

using BenchClock = std::chrono::steady_clock;

inline double SecondsSince(BenchClock::time_point start)
{
    return std::chrono::duration<double>(BenchClock::now() - start).count();
}

// A view that takes every report and shows none of it, so a measured run
// pays for forming its log lines but not for a terminal.
class CSilentView : public CLoaderView {
public:
    void AppendLog(const std::string& strText, int) override { m_nLogBytes += strText.size(); }
    void ShowMessageBox(const std::string&) override { ++m_nBoxes; }
    bool AskYesNo(const std::string&) override { return true; }
    void BeginProgress(int) override {}
    void StepProgress() override { ++m_nSteps; }
    void ShowProgress(bool) override {}

    size_t m_nLogBytes = 0;
    int m_nBoxes = 0;
    int m_nSteps = 0;
};
