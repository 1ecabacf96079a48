// The shared library exports exactly the public names: nothing internal
// leaks out, and every name of a module that has landed is there.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

namespace fs = std::filesystem;

namespace {

std::set<std::string> exported_names() {
    std::set<std::string> names;
    std::string cmd = std::string("nm -D --defined-only ") + KELP_LIBRARY_FILE;
    FILE *p = popen(cmd.c_str(), "r");
    if (p == nullptr)
        return names;
    char line[1024];
    while (fgets(line, sizeof line, p) != nullptr) {
        char addr[64], type[8], name[900];
        // AddressSanitizer adds an __odr_asan.<name> marker beside each
        // exported variable; it is the sanitizer's, not an interface name.
        if (sscanf(line, "%63s %7s %899s", addr, type, name) != 3 ||
            std::string(name).rfind("__odr_asan.", 0) == 0)
            continue;
#ifdef KELP_TEST_COVERAGE
        // The coverage build exports libgcov's runtime on purpose.
        if (std::string(name).rfind("__gcov_", 0) == 0 || std::string(name) == "mangle_path")
            continue;
#endif
        names.insert(name);
    }
    pclose(p);
    return names;
}

bool module_has_sources(const std::string &module) {
    fs::path dir = fs::path(KELP_SOURCE_DIR) / "src" / module;
    if (!fs::is_directory(dir))
        return false;
    for (const auto &entry : fs::directory_iterator(dir))
        if (entry.path().extension() == ".cpp")
            return true;
    return false;
}

struct Expected {
    std::set<std::string> allowed;   // every public name
    std::set<std::string> required;  // names of modules that have landed
};

Expected expected_names() {
    Expected e;
    for (const auto &entry : fs::directory_iterator(fs::path(KELP_TEST_DATA_DIR) / "exports")) {
        std::string module = entry.path().stem().string();
        bool built = module_has_sources(module);
        std::ifstream in(entry.path());
        for (std::string name; std::getline(in, name);) {
            if (name.empty())
                continue;
            e.allowed.insert(name);
            if (built)
                e.required.insert(name);
        }
    }
    return e;
}

}  // namespace

TEST(Exports, OnlyPublicNamesAreExportedAndNoneIsMissing) {
    std::set<std::string> actual = exported_names();
    ASSERT_FALSE(actual.empty()) << "nm found no symbols in " << KELP_LIBRARY_FILE;
    Expected e = expected_names();
    ASSERT_FALSE(e.allowed.empty());
    for (const auto &name : actual)
        EXPECT_TRUE(e.allowed.count(name)) << "exported but not public: " << name;
    for (const auto &name : e.required)
        EXPECT_TRUE(actual.count(name)) << "public but not exported: " << name;
}

// The Debian symbols file names every public name, so that a package built
// with a new or a dropped export fails rather than ship a wrong dependency.
TEST(Exports, DebianSymbolsFileListsThePublicNames) {
    std::ifstream in(fs::path(KELP_SOURCE_DIR) / "debian" / "libkelp1.symbols");
    std::set<std::string> listed;
    for (std::string line; std::getline(in, line);)
        if (line.size() > 1 && line[0] == ' ')
            listed.insert(line.substr(1, line.find('@') - 1));
    EXPECT_EQ(listed, expected_names().allowed);
}
