// The traceability record: the file digest against the FIPS 180-4 examples,
// the CSV rows, and appends that stay whole.
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "cli/CsvReport.h"
#include "common/PtyPair.h"
#include "common/TempDir.h"
#include "core/Sha256.h"

namespace {

std::string ReadAll(const std::string& strPath)
{
    std::ifstream file(strPath, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

std::vector<std::string> Lines(const std::string& strText)
{
    std::vector<std::string> vecLines;
    size_t nStart = 0;
    for (size_t nEnd; (nEnd = strText.find("\r\n", nStart)) != std::string::npos; nStart = nEnd + 2)
        vecLines.push_back(strText.substr(nStart, nEnd - nStart));
    EXPECT_EQ(nStart, strText.size()) << "text after the last line end";
    return vecLines;
}

SReportRow Row(const std::string& strPort, const std::string& strResult)
{
    SReportRow row;
    row.strUtcTime = "2026-12-11T01:02:03Z";
    row.strPort = strPort;
    row.strUsbSerial = "A50285BI";
    row.strFileName = "app.hex";
    row.strFileSha256 = Sha256Hex("abc");
    row.strResult = strResult;
    row.nBytes = 65536;
    row.dSeconds = 12.34;
    return row;
}

}  // namespace

TEST(Sha256Test, GivesTheStandardsExampleDigests)
{
    struct SCase {
        std::string strInput;
        const char* pszDigest;
    };
    const SCase cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopq"
         "rstu",
         "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const SCase& test : cases)
        EXPECT_EQ(Sha256Hex(test.strInput), test.pszDigest) << test.strInput.substr(0, 20);
}

TEST(Sha256Test, PiecesOfAnySizeGiveTheDigestOfTheWhole)
{
    std::string strData;
    for (int i = 0; i < 1000; ++i)
        strData += static_cast<char>(i * 7);
    for (const size_t nPiece : {size_t(1), size_t(55), size_t(63), size_t(64), size_t(65), size_t(333)}) {
        CSha256 sha;
        for (size_t n = 0; n < strData.size(); n += nPiece)
            sha.Update(strData.data() + n, std::min(nPiece, strData.size() - n));
        std::string strHex;
        for (const uint8_t n : sha.Finish())
            strHex += "0123456789abcdef"[n >> 4], strHex += "0123456789abcdef"[n & 0xF];
        EXPECT_EQ(strHex, Sha256Hex(strData)) << nPiece;
    }
}

TEST(CsvReportTest, QuotesOnlyTheFieldsThatNeedIt)
{
    struct SCase {
        std::string strPort;
        std::string strField;  // as the line holds it
    };
    const SCase cases[] = {
        {"/dev/ttyUSB0", "/dev/ttyUSB0"},
        {"COM3", "COM3"},
        {"a,b", "\"a,b\""},
        {"say \"hi\"", "\"say \"\"hi\"\"\""},
        {"two\nlines", "\"two\nlines\""},
        {"/tmp/固件/端口", "/tmp/固件/端口"},
    };
    for (const SCase& test : cases) {
        EXPECT_EQ(ReportLine(Row(test.strPort, "success")), "2026-12-11T01:02:03Z," + test.strField +
                                                                ",A50285BI,app.hex," + Sha256Hex("abc") +
                                                                ",success,65536,12.3\r\n");
    }
    EXPECT_EQ(ReportHeader(), "utc_time,port,usb_serial,file,file_sha256,result,bytes,seconds\r\n");
}

TEST(CsvReportTest, TheHeaderGoesOnlyIntoANewOrEmptyFile)
{
    CTempDir dir;
    for (const bool bMadeEmpty : {false, true}) {
        const std::string strPath = dir.Path(bMadeEmpty ? "empty.csv" : "报告 new.csv");
        if (bMadeEmpty)
            dir.Write("empty.csv", "");
        std::string strError;
        ASSERT_TRUE(AppendReportRow(strPath, Row("/dev/pts/5", "success"), strError)) << strError;
        ASSERT_TRUE(AppendReportRow(strPath, Row("COM4", "connection"), strError)) << strError;
        EXPECT_EQ(ReadAll(strPath),
                  ReportHeader() + ReportLine(Row("/dev/pts/5", "success")) + ReportLine(Row("COM4", "connection")));
    }
}

// The check before a run writes nothing and makes nothing: a report that is
// not there yet is not there after it either.
TEST(CsvReportTest, TheCheckBeforeARunCreatesNothing)
{
    CTempDir dir;
    const std::string strNew = dir.Path("报告 new.csv");
    std::string strError;
    EXPECT_TRUE(CheckReportWritable(strNew, strError)) << strError;
    EXPECT_FALSE(std::filesystem::exists(strNew));
    const std::string strMissingFolder = dir.Path("no such folder/report.csv");
    EXPECT_FALSE(CheckReportWritable(strMissingFolder, strError));
    EXPECT_NE(strError.find(strMissingFolder), std::string::npos) << strError;
    EXPECT_NE(strError.find("No such file or directory"), std::string::npos) << strError;
    EXPECT_FALSE(std::filesystem::exists(dir.Path("no such folder")));
    EXPECT_FALSE(CheckReportWritable(dir.Path(""), strError));
    EXPECT_NE(strError.find("is a folder"), std::string::npos) << strError;
}

TEST(CsvReportTest, AFileThatCannotBeOpenedIsSaidWithItsName)
{
    CTempDir dir;
    const std::string strPath = dir.Path("no such folder/report.csv");
    std::string strError;
    EXPECT_FALSE(AppendReportRow(strPath, Row("COM4", "success"), strError));
    EXPECT_NE(strError.find(strPath), std::string::npos) << strError;
}

// A FIFO would hold the run until someone reads it, and neither it nor a
// terminal or a device can be synced: each is refused by name, and nothing
// goes to it.
TEST(CsvReportTest, OnlyAFileTakesTheReport)
{
    CTempDir dir;
    const std::string strFifo = dir.Path("report.csv");
    ASSERT_EQ(::mkfifo(strFifo.c_str(), 0600), 0);
    // With a reader the FIFO would open; what reaches it is seen here.
    const int fdReader = ::open(strFifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(fdReader, 0);
    CPtyPair terminal;
    for (const std::string& strPath : {strFifo, terminal.SlavePath(), std::string("/dev/null")}) {
        SCOPED_TRACE(strPath);
        std::string strError;
        EXPECT_FALSE(AppendReportRow(strPath, Row("COM4", "success"), strError));
        EXPECT_NE(strError.find(strPath + " is not a regular file"), std::string::npos) << strError;
        strError.clear();
        EXPECT_FALSE(AppendWhole(strPath, std::string(), std::string(), strError)) << "the check before a run";
        EXPECT_NE(strError.find("not a regular file"), std::string::npos) << strError;
    }
    char c = 0;
    EXPECT_LE(::read(fdReader, &c, 1), 0) << "a row went into the FIFO";
    EXPECT_TRUE(terminal.Receive(50).empty());
    ::close(fdReader);
}

// A report whose last line was left without its line end (edited by hand, or
// by a program that ends lines differently): the row starts a line of its
// own, once, however many programs append at once.
TEST(CsvReportTest, ARowNeverContinuesAnUnendedLine)
{
    CTempDir dir;
    const struct {
        std::string strBefore;
        std::string strAfter;  // what the row follows
    } cases[] = {
        {"utc_time,port\r\nearlier,row", "utc_time,port\r\nearlier,row\r\n"},
        {"utc_time,port\nearlier,row\n", "utc_time,port\nearlier,row\n"},
        {"utc_time,port\r\nearlier,row\r\n", "utc_time,port\r\nearlier,row\r\n"},
        {"utc_time,port\r\nearlier,row\r", "utc_time,port\r\nearlier,row\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.strBefore);
        const std::string strPath = dir.Write("hand.csv", c.strBefore);
        std::string strError;
        ASSERT_TRUE(CheckReportWritable(strPath, strError)) << strError;
        EXPECT_EQ(ReadAll(strPath), c.strBefore) << "the check before a run changes nothing";
        ASSERT_TRUE(AppendReportRow(strPath, Row("COM4", "success"), strError)) << strError;
        EXPECT_EQ(ReadAll(strPath), c.strAfter + ReportLine(Row("COM4", "success")));
    }
    const std::string strPath = dir.Write("shared.csv", "utc_time,port\r\nearlier,row");
    std::vector<std::thread> writers;
    for (int w = 0; w < 4; ++w) {
        writers.emplace_back([&strPath] {
            for (int i = 0; i < 20; ++i) {
                std::string strError;
                EXPECT_TRUE(AppendReportRow(strPath, Row("COM4", "success"), strError)) << strError;
            }
        });
    }
    for (std::thread& writer : writers)
        writer.join();
    const std::vector<std::string> vecLines = Lines(ReadAll(strPath));
    ASSERT_EQ(vecLines.size(), 2u + 80u);
    EXPECT_EQ(vecLines[1], "earlier,row");
    for (size_t n = 2; n < vecLines.size(); ++n)
        EXPECT_EQ(vecLines[n] + "\r\n", ReportLine(Row("COM4", "success")));
}

// A full disk, as a file size limit gives it (in a child process, so that
// the limit stays there): the row that does not fit is not left half written.
TEST(CsvReportTest, ARowThatDoesNotFitLeavesNoPartOfItself)
{
    CTempDir dir;
    const std::string strPath = dir.Path("full.csv");
    std::string strError;
    ASSERT_TRUE(AppendReportRow(strPath, Row("COM3", "success"), strError)) << strError;
    const std::string strBefore = ReadAll(strPath);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit {strBefore.size() + 10, strBefore.size() + 10};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        std::string strChildError;
        const bool bWritten = AppendReportRow(strPath, Row("COM4", "success"), strChildError);
        ::_exit(!bWritten && strChildError.find("cannot write the report") != std::string::npos ? 0 : 1);
    }
    int nStatus = 0;
    ASSERT_EQ(::waitpid(pid, &nStatus, 0), pid);
    EXPECT_TRUE(WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0) << "the row was taken as written";
    EXPECT_EQ(ReadAll(strPath), strBefore);
    // With room again, the next row follows whole.
    ASSERT_TRUE(AppendReportRow(strPath, Row("COM5", "write"), strError)) << strError;
    EXPECT_EQ(ReadAll(strPath), strBefore + ReportLine(Row("COM5", "write")));
}

TEST(CsvReportTest, RowsAppendedAtOnceFromSeveralWritersStayWhole)
{
    CTempDir dir;
    const std::string strPath = dir.Path("shared.csv");
    constexpr int kWriters = 4;
    constexpr int kRows = 200;
    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; ++w) {
        writers.emplace_back([&, w] {
            for (int i = 0; i < kRows; ++i) {
                SReportRow row = Row("/dev/ttyUSB" + std::to_string(w), "success");
                row.strFileName = std::string(200 + i, 'f');
                std::string strError;
                EXPECT_TRUE(AppendReportRow(strPath, row, strError)) << strError;
            }
        });
    }
    for (std::thread& writer : writers)
        writer.join();
    const std::vector<std::string> vecLines = Lines(ReadAll(strPath));
    ASSERT_EQ(vecLines.size(), size_t(1 + kWriters * kRows));
    EXPECT_EQ(vecLines[0] + "\r\n", ReportHeader());
    std::vector<int> vecCounts(kWriters);
    for (size_t n = 1; n < vecLines.size(); ++n) {
        const std::string& strLine = vecLines[n];
        const std::string strStart = "2026-12-11T01:02:03Z,/dev/ttyUSB";
        ASSERT_EQ(strLine.rfind(strStart, 0), 0u) << strLine;
        const int w = strLine[strStart.size()] - '0';
        ASSERT_TRUE(w >= 0 && w < kWriters) << strLine;
        SReportRow row = Row("/dev/ttyUSB" + std::to_string(w), "success");
        const size_t nFileStart = strLine.find(",f") + 1;
        row.strFileName = strLine.substr(nFileStart, strLine.find(',', nFileStart) - nFileStart);
        EXPECT_EQ(strLine + "\r\n", ReportLine(row));
        ++vecCounts[w];
    }
    for (const int nCount : vecCounts)
        EXPECT_EQ(nCount, kRows);
}

TEST(CsvReportTest, TheTimeIsUtcInTheRowsForm)
{
    const std::string strTime = UtcTimeNow();
    ASSERT_EQ(strTime.size(), 20u) << strTime;
    EXPECT_EQ(strTime.substr(4, 1) + strTime.substr(7, 1) + strTime.substr(10, 1) + strTime.substr(13, 1) +
                  strTime.substr(16, 1) + strTime.substr(19, 1),
              "--T::Z");
    EXPECT_GE(strTime.substr(0, 4), "2024");
}
