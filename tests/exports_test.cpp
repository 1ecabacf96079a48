// The shared library exports exactly the public names (one list per module
// under data/exports), and the Debian symbols file lists the same ones, so
// that a package built with a new or a dropped export fails rather than ship
// a wrong dependency.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

TEST(Exports, ThePublicNamesExactlyInTheLibraryAndItsSymbolsFile) {
    std::set<std::string> public_names, exported, listed;
    for (const auto &entry : std::filesystem::directory_iterator(KELP_TEST_DATA_DIR "/exports")) {
        std::ifstream in(entry.path());
        for (std::string name; in >> name;)
            public_names.insert(name);
    }
    FILE *nm = popen("nm -D --defined-only -j " KELP_LIBRARY_FILE, "r");
    ASSERT_NE(nm, nullptr);
    // Not ours: the address sanitizer's marker beside each exported variable,
    // and the runtime that the coverage build exports on purpose.
    for (char name[1024]; fscanf(nm, "%1023s", name) == 1;)
        if (std::string s = name;
            s.rfind("__odr_asan.", 0) != 0 && s.rfind("__gcov_", 0) != 0 && s != "mangle_path")
            exported.insert(s);
    EXPECT_EQ(pclose(nm), 0);
    std::ifstream symbols(KELP_SOURCE_DIR "/debian/libkelp1.symbols");
    for (std::string line; std::getline(symbols, line);)
        if (line.size() > 1 && line[0] == ' ')
            listed.insert(line.substr(1, line.find('@') - 1));
    EXPECT_EQ(exported, public_names);
    EXPECT_EQ(listed, public_names);
}
