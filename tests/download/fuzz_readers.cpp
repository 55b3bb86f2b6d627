// libFuzzer target for the firmware readers: the input is loaded as a HEX and
// as an ASC file, and read as a hex number.
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstdint>
#include <string>
#include <string_view>

#include "download/FirmwareReader.h"

namespace {

class CNullLog : public CLogSink {
public:
    void AppendLog(const std::string&, int) override {}
};

// One file per fuzzing process, rewritten for every input and removed at exit.
class CFuzzFile {
public:
    CFuzzFile()
    {
        char szPath[] = "/tmp/vantrel-fuzz-XXXXXX";
        const int nFd = mkstemp(szPath);
        if (nFd >= 0) {
            ::close(nFd);
            m_strPath = szPath;
        }
    }
    ~CFuzzFile()
    {
        if (!m_strPath.empty()) {
            ::unlink(m_strPath.c_str());
        }
    }
    CFuzzFile(const CFuzzFile&) = delete;
    CFuzzFile& operator=(const CFuzzFile&) = delete;

    bool Write(const uint8_t* pData, size_t nSize) const
    {
        FILE* pFile = std::fopen(m_strPath.c_str(), "wb");
        if (pFile == nullptr) {
            return false;
        }
        const bool bWritten = std::fwrite(pData, 1, nSize, pFile) == nSize;
        return std::fclose(pFile) == 0 && bWritten;
    }

    const std::string& Path() const { return m_strPath; }

private:
    std::string m_strPath;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize)
{
    static const CFuzzFile file;
    (void)ParseHex(std::string_view(reinterpret_cast<const char*>(pData), nSize));
    if (file.Path().empty() || !file.Write(pData, nSize)) {
        return 0;
    }
    CNullLog log;
    FirmwareImage image;
    // A failed load leaves nothing behind, and no reader hands out a block
    // of a length the writer cannot take.
    auto BlocksSound = [&image] {
        for (const FirmwareBlock& block : image) {
            if (block.length < 1 || block.length > kMaxBlockLength) {
                return false;
            }
        }
        return true;
    };
    const int nHexResult = LoadHexFile(file.Path(), image, log);
    if (!BlocksSound() || (nHexResult != 1 && !image.empty())) {
        __builtin_trap();
    }
    LoadAscFile(file.Path(), image, log);
    if (!BlocksSound()) {
        __builtin_trap();
    }
    return 0;
}
