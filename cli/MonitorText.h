#pragma once
// What the monitor makes of the bytes a device sends and of the keys the
// operator types, without any I/O: the tests call these directly.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "terminal/CodePage936.h"

// The bytes 0x1D (Ctrl-]) and 0x03 (Ctrl-C): either ends the monitor.
constexpr char kMonitorQuitKey = 0x1D;
constexpr char kMonitorInterruptKey = 0x03;
// Bytes shown on one line in hex.
constexpr int kMonitorHexPerLine = 16;

// Received bytes as shown: code page 936 text in UTF-8, or hex pairs. In
// text, CR, LF, CR LF and LF CR each end a line, a zero byte is dropped (as
// in the dialog's terminal) and any other control character is escaped as
// the log escapes it ("\x1B"). In hex a line holds 16 bytes, or ends after
// an LF byte. With a stamp, each line starts with it.
class CReceivedText {
public:
    CReceivedText(bool bHex, bool bTimestamps) : m_bHex(bHex), m_bTimestamps(bTimestamps) {}

    // The text to show for these bytes; strStamp goes before each line that
    // starts in them.
    std::string Take(const uint8_t* pBytes, size_t nLength, const std::string& strStamp);
    // What the shown text still owes at the end: the line end of a line left
    // open. Starts afresh (a lead byte still waiting for its pair is dropped).
    std::string Finish();
    bool AtLineStart() const { return m_bAtLineStart; }

private:
    void StartLine(std::string& strOut, const std::string& strStamp);
    void EndLine(std::string& strOut, const std::string& strStamp);
    std::string TakeText(const uint8_t* pBytes, size_t nLength, const std::string& strStamp);
    std::string TakeHex(const uint8_t* pBytes, size_t nLength, const std::string& strStamp);

    const bool m_bHex;
    const bool m_bTimestamps;
    CCodePage936Decoder m_decoder;
    bool m_bAtLineStart = true;
    char m_cLastLineEnd = 0;  // the CR or LF that ended the latest line, when it came last
    int m_nHexInLine = 0;
};

// "[13:05:09.042] ": the stamp of a received line, local time.
std::string MonitorTimeStamp();

// The line the operator is typing. Printable characters join it; Backspace
// takes its last character, Ctrl-U all of it; Enter completes it; the other
// control keys and the sequences of function and arrow keys are ignored.
class CTypedLine {
public:
    // Keys from a terminal in key mode: each completed line goes to
    // vecLines. True when Ctrl-] or Ctrl-C came: the keys after it are dropped.
    bool TakeKeys(std::string_view keys, std::vector<std::string>& vecLines);
    // Text from a pipe or a file: LF ends a line, a CR before it is dropped.
    void TakeText(std::string_view text, std::vector<std::string>& vecLines);
    // At the end of the input: a line that was not ended is still a line.
    bool TakeRest(std::string& strLine);
    const std::string& Text() const { return m_strText; }

private:
    std::string m_strText;
    int m_nEscape = 0;        // 1 after ESC, 2 inside a key's sequence
    bool m_bAfterCr = false;  // an LF right after a CR ends no second line
};

// The bytes a typed line goes out as: its text in code page 936, then the
// line end.
std::string MonitorLineBytes(const std::string& strLine, const std::string& strLineEnd);
// The line end --eol names: "cr", "lf" or "crlf"; empty for any other name.
std::string MonitorLineEnd(const std::string& strName);
