#include "download/FirmwareLoad.h"

#include <fmt/format.h>

#include "core/FileSystem.h"
#include "core/LogSink.h"
#include "download/FirmwareReader.h"

namespace {

// Keeps what the reader logs.
class CKeptLog : public CLogSink {
public:
    explicit CKeptLog(std::vector<std::pair<std::string, int>>& vecLog) : m_vecLog(vecLog) {}
    void AppendLog(const std::string& strText, int nColour) override { m_vecLog.emplace_back(strText, nColour); }

private:
    std::vector<std::pair<std::string, int>>& m_vecLog;
};

}  // namespace

std::shared_ptr<const CLoadedFirmware> LoadFirmware(const std::string& strPath, const SLoadOptions& options)
{
    auto pLoad = std::make_shared<CLoadedFirmware>();
    CLoadedFirmware& load = *pLoad;
    load.strPath = strPath;
    load.options = options;
    const auto refuse = [&](EFirmwareLoadProblem problem, std::string strReason, std::string strLine) {
        load.problem = problem;
        load.strReason = std::move(strReason);
        load.vecLog.emplace_back(std::move(strLine), kLogRed);
        FreeImage(load.image);
        return pLoad;
    };
    const auto cannotBeUsed = [&](EFirmwareLoadProblem problem, const std::string& strReason) {
        return refuse(problem, strReason, fmt::format("## The file {} cannot be used: {}.\r\n", strPath, strReason));
    };
    const auto notFound = [&] {
        return refuse(EFirmwareLoadProblem::kNotFound, "file not found",
                      fmt::format("## File not found: {} \r\n", strPath));
    };

    const CFirmwareFileCheck check = CheckFirmwareFile(strPath);
    switch (check.problem) {
    case EFileProblem::kNone: break;
    case EFileProblem::kNotFound: return notFound();
    case EFileProblem::kUnreadable: return cannotBeUsed(EFirmwareLoadProblem::kUnreadable, check.strReason);
    case EFileProblem::kUnknownKind: return cannotBeUsed(EFirmwareLoadProblem::kUnknownKind, check.strReason);
    }
    const SFirmwareFormat* pFormat = FirmwareFormatOf(strPath);
    if (!pFormat)
        return cannotBeUsed(EFirmwareLoadProblem::kUnknownKind, "not a " + FirmwareEndingsText() + " file");
    if (pFormat->bNeedsAddress && !options.nLoadAddress)
        return cannotBeUsed(EFirmwareLoadProblem::kNoAddress,
                            fmt::format("a {} file needs a load address", pFormat->pName));
    CKeptLog kept(load.vecLog);
    if (!pFormat->pLoadFile(strPath, options, load.image, kept, &load.strBytes)) {
        if (load.vecLog.empty()) {
            // Gone or changed since it was looked at a moment ago.
            if (!PathExists(strPath))
                return notFound();
            return cannotBeUsed(EFirmwareLoadProblem::kUnreadable, "it cannot be read");
        }
        const std::string& strFirst = load.vecLog.front().first;
        load.problem = EFirmwareLoadProblem::kRefused;
        load.strReason = "the reader refuses it: " + strFirst.substr(0, strFirst.find('\r'));
        return pLoad;
    }
    load.bReadWhole = true;
    if (load.image.empty())
        return refuse(EFirmwareLoadProblem::kNoData, "the file holds no data to write",
                      fmt::format("## The file {} holds no data to write.\r\n", strPath));
    return pLoad;
}

bool FirmwareFileUnchanged(const CLoadedFirmware& load)
{
    CInputFile file;
    std::string strError;
    if (!load.bReadWhole || !file.Open(load.strPath, strError))
        return false;
    std::string strChunk(size_t {256} << 10, '\0');
    size_t nCompared = 0;
    for (;;) {
        const long nRead = file.Read(strChunk.data(), strChunk.size());
        if (nRead < 0)
            return false;
        if (nRead == 0)
            return nCompared == load.strBytes.size();
        const auto nCount = static_cast<size_t>(nRead);
        if (load.strBytes.compare(nCompared, nCount, strChunk, 0, nCount) != 0)
            return false;
        nCompared += nCount;
    }
}
