// The folders are layers: a file may include its own folder and the layers
// below it, never one above it or beside it. Read from the sources
// themselves, so a new upward include fails here before it takes root.
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>

#include <gtest/gtest.h>

namespace {

namespace fs = std::filesystem;

// What each folder may include besides itself.
const std::map<std::string, std::set<std::string>> kMayInclude = {
    {"core", {}},
    {"serial", {"core"}},
    {"protocol", {"core", "serial"}},
    {"terminal", {"core"}},
    {"settings", {"core", "serial"}},
    {"download", {"core", "serial", "protocol", "terminal", "settings"}},
    {"app", {"core", "serial", "protocol", "terminal", "settings", "download"}},
    {"cli", {"core", "serial", "protocol", "terminal", "settings", "download"}},
    // The simulator is the device, not a host: the checksums are all it shares.
    {"sim", {"core", "protocol/Checksums.h"}},
};

// Every `#include "folder/..."` of a file that breaks its folder's rule.
std::vector<std::string> UpwardIncludes(const std::string& strFolder, const fs::path& file)
{
    const std::set<std::string>& allowed = kMayInclude.at(strFolder);
    std::vector<std::string> wrong;
    std::ifstream stream(file);
    std::string strLine;
    for (int nLine = 1; std::getline(stream, strLine); ++nLine) {
        // #include "folder/..." with any blanks around the '#'.
        const size_t nHash = strLine.find_first_not_of(" \t");
        if (nHash == std::string::npos || strLine[nHash] != '#')
            continue;
        const size_t nWord = strLine.find_first_not_of(" \t", nHash + 1);
        if (nWord == std::string::npos || strLine.compare(nWord, 7, "include") != 0)
            continue;
        const size_t nOpen = strLine.find('"', nWord + 7);
        const size_t nClose = nOpen == std::string::npos ? nOpen : strLine.find('"', nOpen + 1);
        if (nClose == std::string::npos)
            continue;
        const std::string strPath = strLine.substr(nOpen + 1, nClose - nOpen - 1);
        const size_t nSlash = strPath.find('/');
        if (nSlash == std::string::npos)
            continue;
        const std::string strTarget = strPath.substr(0, nSlash);
        if (strTarget == strFolder || allowed.contains(strTarget) || allowed.contains(strPath))
            continue;
        wrong.push_back(file.string() + ":" + std::to_string(nLine) + ": " + strPath);
    }
    return wrong;
}

std::vector<std::string> UpwardIncludesIn(const fs::path& root)
{
    std::vector<std::string> wrong;
    for (const auto& [strFolder, allowed] : kMayInclude) {
        std::error_code ec;
        for (fs::recursive_directory_iterator it(root / strFolder, ec), end; !ec && it != end; it.increment(ec)) {
            const std::string strExtension = it->path().extension().string();
            if (strExtension != ".h" && strExtension != ".cpp")
                continue;
            const std::vector<std::string> found = UpwardIncludes(strFolder, it->path());
            wrong.insert(wrong.end(), found.begin(), found.end());
        }
    }
    return wrong;
}

TEST(Layering, NoFolderIncludesALayerAboveOrBesideIt)
{
    const fs::path root(VANTREL_SOURCE_DIR);
    ASSERT_TRUE(fs::exists(root / "download" / "CLoader.h")) << root;
    std::string strReport;
    for (const std::string& strWrong : UpwardIncludesIn(root))
        strReport += strWrong + "\n";
    EXPECT_TRUE(strReport.empty()) << strReport;
}

TEST(Layering, TheCheckSeesAnUpwardInclude)
{
    // A small tree of its own with one include of each kind.
    const fs::path root = fs::temp_directory_path() / ("vantrel-layering-" + std::to_string(::getpid()));
    fs::create_directories(root / "serial");
    fs::create_directories(root / "sim");
    std::ofstream(root / "serial" / "Link.cpp") << "#include \"serial/Link.h\"\n#include \"core/TextNumber.h\"\n"
                                                   "#include \"download/CLoader.h\"\n";
    std::ofstream(root / "sim" / "Sim.cpp")
        << "#include \"protocol/Checksums.h\"\n#include \"protocol/CDeviceChannel.h\"\n";
    const std::vector<std::string> wrong = UpwardIncludesIn(root);
    fs::remove_all(root);
    ASSERT_EQ(wrong.size(), 2u);
    EXPECT_NE(wrong[0].find("serial/Link.cpp:3: download/CLoader.h"), std::string::npos) << wrong[0];
    EXPECT_NE(wrong[1].find("sim/Sim.cpp:2: protocol/CDeviceChannel.h"), std::string::npos) << wrong[1];
}

}  // namespace
