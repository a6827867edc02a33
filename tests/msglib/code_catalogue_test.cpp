// Every code the tree loads has a meaning in the code catalogue: the named
// codes of every *codes.h header and of the request builder, the numbers
// passed to ZENTO_SERVER_LDBLK, and every facility 13 number written out.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include "msglib/code_catalogue.h"

namespace {

namespace fs = std::filesystem;

using Code = std::pair<std::int32_t, std::int32_t>;  // facility, code

// Source folders: all but the build trees, the tests and what holds no code.
bool scanned(const fs::path& top) {
    const std::string name = top.filename().string();
    return fs::is_directory(top) && name.rfind("build", 0) != 0 && name[0] != '.' && name != "tests" &&
           name != "docs" && name != "scripts" && name != "cmake";
}

std::string textOf(const fs::path& file) {
    std::ifstream in(file);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::int32_t facilityNamed(const std::string& token) {
    static const std::map<std::string, std::int32_t> names = {
        {"kFacilityRuntime", 1}, {"kFacilityBuilder", 4}, {"kFacilityParser", 8},
        {"kFacilityLibrary", 9}, {"kFacilityStore", 13}};
    if (std::isdigit(static_cast<unsigned char>(token[0]))) return std::stoi(token);
    const auto found = names.find(token);
    return found != names.end() ? found->second : -1;
}

TEST(CodeCatalogue, KnowsEveryCodeTheTreeLoads) {
    static const std::regex named(R"(constexpr\s+std::int32_t\s+k\w+\s*=\s*(\d+)\s*;)");
    static const std::regex loaded(R"(ZENTO_SERVER_LDBLK\(\s*(\w+)\s*,\s*(\d+)\s*,)");
    static const std::regex storeNumber(R"((^|[^\w.])(13\d{3})(?![\w.]))");
    static const std::regex builderBlock(R"(namespace getreq \{([^}]*)\})");
    std::map<Code, std::string> wanted;      // exact (facility, code), where seen
    std::map<std::int32_t, std::string> numbers;  // facility 13 numbers under any facility
    std::size_t files = 0;
    for (const fs::directory_entry& top : fs::directory_iterator(ZENTO_SOURCE_DIR)) {
        if (!scanned(top.path())) continue;
        for (const fs::directory_entry& entry : fs::recursive_directory_iterator(top.path())) {
            const fs::path& file = entry.path();
            if (file.extension() != ".h" && file.extension() != ".cpp") continue;
            ++files;
            const std::string text = textOf(file);
            const std::string where = fs::relative(file, ZENTO_SOURCE_DIR).string();
            auto eachMatch = [&](const std::regex& pattern, const std::string& in, auto&& take) {
                for (auto it = std::sregex_iterator(in.begin(), in.end(), pattern); it != std::sregex_iterator(); ++it) {
                    take(*it);
                }
            };
            if (file.filename().string().ends_with("codes.h")) {
                eachMatch(named, text, [&](const std::smatch& m) {
                    const std::int32_t code = std::stoi(m[1]);
                    wanted.emplace(Code{code / 1000, code}, where);
                });
            }
            eachMatch(builderBlock, text, [&](const std::smatch& block) {
                eachMatch(named, block[1].str(), [&](const std::smatch& m) {
                    wanted.emplace(Code{4, std::stoi(m[1])}, where);
                });
            });
            eachMatch(loaded, text, [&](const std::smatch& m) {
                const std::int32_t facility = facilityNamed(m[1]);
                if (facility != 1) wanted.emplace(Code{facility, std::stoi(m[2])}, where);
            });
            eachMatch(storeNumber, text, [&](const std::smatch& m) { numbers.emplace(std::stoi(m[2]), where); });
        }
    }
    ASSERT_GT(files, 50u) << "the source tree was not found at " << ZENTO_SOURCE_DIR;
    ASSERT_GT(wanted.size(), 50u);
    std::set<std::int32_t> catalogued;
    for (const CodeMeaning& entry : codeCatalogue()) catalogued.insert(entry.code);
    for (const auto& [code, where] : wanted) {
        EXPECT_NE(catalogueMeaning(code.first, code.second), nullptr)
            << "facility " << code.first << " code " << code.second << " (" << where << ") has no meaning";
    }
    for (const auto& [code, where] : numbers) {
        EXPECT_TRUE(catalogued.count(code)) << "code " << code << " (" << where << ") has no meaning";
    }
}

}  // namespace
