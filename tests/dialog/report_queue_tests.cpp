// The queue that carries the engine's reports to the UI thread, as both
// dialogs use it: the test's thread stands for the UI thread, a worker
// thread for the run, and the flush hook only counts the flushes asked for.
#include <atomic>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "RecordingDialogView.h"
#include "dialog/CReportQueue.h"

namespace {

class ReportQueueTest : public ::testing::Test {
protected:
    ReportQueueTest() { m_queue.SetModel(&m_model); }
    ~ReportQueueTest() override { m_queue.Detach(); }

    // Waits (within a generous limit) until n flushes have been asked for.
    bool WaitForPosts(int n) const
    {
        for (int i = 0; i < 2000 && m_nPosts.load() < n; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return m_nPosts.load() >= n;
    }

    const std::thread::id m_uiThread = std::this_thread::get_id();
    std::atomic<int> m_nPosts {0};
    std::atomic<bool> m_bCanPost {true};
    CRecordingDialogView m_view;
    CReportQueue m_queue {{[this] {
                               if (!m_bCanPost.load())
                                   return false;
                               ++m_nPosts;
                               return true;
                           },
                           [this] { return std::this_thread::get_id() == m_uiThread; }}};
    CDialogModel m_model {m_view, m_queue};
};

TEST_F(ReportQueueTest, WorkerReportsArriveInOrderInBatchesOnTheUiThread)
{
    std::thread worker([this] {
        m_queue.AppendLog("-- one\r\n", 0);
        m_queue.BeginProgress(4);
        for (int i = 0; i < 3; ++i)
            m_queue.StepProgress();
        m_queue.AppendLog("## two", 2);
        m_queue.AppendLog(" and three\r\n", 2);
    });
    worker.join();
    // Nothing reaches the model off the UI thread; one flush is asked for the burst.
    EXPECT_EQ(m_view.m_strLog, "");
    EXPECT_EQ(m_nPosts.load(), 1);
    m_queue.Flush();
    EXPECT_EQ(m_view.m_strLog, "-- one\n## two and three\n");
    EXPECT_EQ(m_view.m_nProgressMax, 4);
    EXPECT_EQ(m_view.m_nProgressPos, 3);
    // Once flushed, the next report asks again.
    std::thread([this] { m_queue.AppendLog("-- four\r\n", 0); }).join();
    EXPECT_EQ(m_nPosts.load(), 2);
    // A call on the UI thread comes after what was queued, at once.
    m_queue.AppendLog("-- five\r\n", 0);
    EXPECT_EQ(m_view.m_strLog, "-- one\n## two and three\n-- four\n-- five\n");
}

TEST_F(ReportQueueTest, QuestionHoldsTheWorkerUntilAnswered)
{
    for (const bool bYes : {false, true}) {
        SCOPED_TRACE(bYes);
        m_view.m_answers = {bYes};
        const size_t nBoxesBefore = m_view.m_boxes.size();
        const int nPostsBefore = m_nPosts.load();
        std::atomic<int> nAnswer {-1};
        std::thread worker([&] {
            m_queue.AppendLog("-- asking\r\n", 0);
            nAnswer = m_queue.AskYesNo("write an older version?") ? 1 : 0;
        });
        ASSERT_TRUE(WaitForPosts(nPostsBefore + 1));
        EXPECT_EQ(nAnswer.load(), -1);
        m_queue.Flush();  // the log line, then the question, answered by the view
        worker.join();
        EXPECT_EQ(nAnswer.load(), bYes ? 1 : 0);
        ASSERT_EQ(m_view.m_boxes.size(), nBoxesBefore + 1);
        EXPECT_TRUE(m_view.m_boxes.back().bQuestion);
    }
}

TEST_F(ReportQueueTest, DetachAnswersAWaitingWorkerNoAndDropsTheRest)
{
    std::atomic<int> nAnswer {-1};
    std::thread worker([&] { nAnswer = m_queue.AskYesNo("write an older version?") ? 1 : 0; });
    ASSERT_TRUE(WaitForPosts(1));
    m_queue.Detach();
    worker.join();
    EXPECT_EQ(nAnswer.load(), 0);
    std::thread([this] { m_queue.AppendLog("-- too late\r\n", 0); }).join();
    m_queue.Flush();
    EXPECT_EQ(m_nPosts.load(), 1);
    EXPECT_TRUE(m_view.m_boxes.empty());
    EXPECT_EQ(m_view.m_strLog, "");
}

TEST_F(ReportQueueTest, ReportsWaitUntilAFlushCanBeAskedFor)
{
    // The Win32 dialog has no window to post to before its first message.
    m_bCanPost = false;
    std::thread([this] { m_queue.AppendLog("-- early\r\n", 0); }).join();
    std::thread([this] { m_queue.AppendLog("-- early too\r\n", 0); }).join();
    EXPECT_EQ(m_nPosts.load(), 0);
    m_bCanPost = true;
    m_queue.PostPending();
    EXPECT_EQ(m_nPosts.load(), 1);
    m_queue.PostPending();  // one flush already asked for
    EXPECT_EQ(m_nPosts.load(), 1);
    m_queue.Flush();
    EXPECT_EQ(m_view.m_strLog, "-- early\n-- early too\n");
}

}  // namespace
