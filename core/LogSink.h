#pragma once
// The one way the engine reports to the operator: a coloured piece of text
// appended to the log. Callers form whole lines and end them with "\r\n".
#include <string>

enum ELogColour {
    kLogBlack = 0,
    kLogDarkRed = 1,
    kLogRed = 2,
    kLogBlue = 3,
    kLogGreen = 4,
    kLogDefault = 5,  // no colour of its own: the log's default (black)
};

class CLogSink {
public:
    virtual ~CLogSink() = default;
    virtual void AppendLog(const std::string& strText, int nColour) = 0;
};
