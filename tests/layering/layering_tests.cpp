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
    {"dialog", {"core", "serial", "protocol", "terminal", "settings", "download"}},
    {"app", {"core", "serial", "protocol", "terminal", "settings", "download", "dialog"}},
    {"winapp", {"core", "serial", "protocol", "terminal", "settings", "download", "dialog"}},
    {"cli", {"core", "serial", "protocol", "terminal", "settings", "download", "dialog"}},
    // The simulator is the device, not a host: the checksums are all it shares.
    {"sim", {"core", "protocol/Checksums.h"}},
    // The host of the reference device: a device too, on the simulator's line.
    {"avrsim", {"core", "sim/PseudoTerminal.h"}},
};

// Folders that may use the standard library alone besides the layers: no
// toolkit, no platform headers, no other library.
const std::set<std::string> kStandardLibraryOnly = {"dialog"};

// A standard C++ header's name: lower-case letters, digits and "_", without
// a folder or an extension (<vector>, <cstdint>, <string_view>).
bool IsStandardHeader(const std::string& strName)
{
    return !strName.empty() && strName.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789_") == std::string::npos;
}

// Every include of a file that breaks its folder's rule: a `"folder/..."` of
// a layer above or beside it, and in a standard-library-only folder any
// `<...>` that is not a standard header.
std::vector<std::string> UpwardIncludes(const std::string& strFolder, const fs::path& file)
{
    const std::set<std::string>& allowed = kMayInclude.at(strFolder);
    std::vector<std::string> wrong;
    std::ifstream stream(file);
    std::string strLine;
    for (int nLine = 1; std::getline(stream, strLine); ++nLine) {
        // #include "folder/..." or <...> with any blanks around the '#'.
        const size_t nHash = strLine.find_first_not_of(" \t");
        if (nHash == std::string::npos || strLine[nHash] != '#')
            continue;
        const size_t nWord = strLine.find_first_not_of(" \t", nHash + 1);
        if (nWord == std::string::npos || strLine.compare(nWord, 7, "include") != 0)
            continue;
        const size_t nOpen = strLine.find_first_of("\"<", nWord + 7);
        if (nOpen == std::string::npos)
            continue;
        const bool bAngle = strLine[nOpen] == '<';
        const size_t nClose = strLine.find(bAngle ? '>' : '"', nOpen + 1);
        if (nClose == std::string::npos)
            continue;
        const std::string strPath = strLine.substr(nOpen + 1, nClose - nOpen - 1);
        const std::string strWhere = file.string() + ":" + std::to_string(nLine) + ": ";
        if (bAngle) {
            if (kStandardLibraryOnly.contains(strFolder) && !IsStandardHeader(strPath))
                wrong.push_back(strWhere + "<" + strPath + ">");
            continue;
        }
        const size_t nSlash = strPath.find('/');
        if (nSlash == std::string::npos)
            continue;
        const std::string strTarget = strPath.substr(0, nSlash);
        if (strTarget == strFolder || allowed.contains(strTarget) || allowed.contains(strPath))
            continue;
        wrong.push_back(strWhere + strPath);
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
    fs::create_directories(root / "dialog");
    std::ofstream(root / "serial" / "Link.cpp") << "#include \"serial/Link.h\"\n#include \"core/TextNumber.h\"\n"
                                                   "#include \"download/CLoader.h\"\n#include <unistd.h>\n";
    std::ofstream(root / "sim" / "Sim.cpp")
        << "#include \"protocol/Checksums.h\"\n#include \"protocol/CDeviceChannel.h\"\n";
    // The dialog model: standard headers and the layers below only.
    std::ofstream(root / "dialog" / "Model.cpp")
        << "#include <string_view>\n#include <cstdint>\n#include \"download/CLoader.h\"\n#include <QString>\n"
           "#  include <windows.h>\n#include <sys/types.h>\n#include \"app/CLoaderDlg.h\"\n";
    const std::vector<std::string> wrong = UpwardIncludesIn(root);
    fs::remove_all(root);
    const std::vector<std::string> expected = {
        "dialog/Model.cpp:4: <QString>",         "dialog/Model.cpp:5: <windows.h>",
        "dialog/Model.cpp:6: <sys/types.h>",     "dialog/Model.cpp:7: app/CLoaderDlg.h",
        "serial/Link.cpp:3: download/CLoader.h", "sim/Sim.cpp:2: protocol/CDeviceChannel.h"};
    ASSERT_EQ(wrong.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i)
        EXPECT_NE(wrong[i].find(expected[i]), std::string::npos) << wrong[i];
}

}  // namespace
