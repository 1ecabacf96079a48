// The man pages document exactly the exported names: each has a page of its
// own, with the sections of the man-pages project in their order, and the
// synopsis declares what the public headers declare.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

const fs::path man_dir = fs::path(KELP_SOURCE_DIR) / "docs" / "man";

std::string read_file(const fs::path &path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::set<std::string> exported_names() {
    std::set<std::string> names;
    for (const auto &entry : fs::directory_iterator(fs::path(KELP_TEST_DATA_DIR) / "exports")) {
        std::ifstream in(entry.path());
        for (std::string name; in >> name;)
            names.insert(name);
    }
    return names;
}

// Declarations compare token by token; layout, the export markers and
// __thread (how gnl_usrmsg is stored, not what it is) do not count.
std::string normalised(std::string decl) {
    static const std::regex markers(
        R"(\bKELP_(API|BEGIN_DECLS|END_DECLS)\b|\bKELP_PRINTF\([^)]*\)|\b__thread\b)");
    static const std::regex blanks(R"(\s+)");
    static const std::regex around(R"( ?([()\[\],*;]) ?)");
    decl = std::regex_replace(decl, markers, " ");
    decl = std::regex_replace(decl, blanks, " ");
    decl = std::regex_replace(decl, around, "$1");
    decl.erase(0, decl.find_first_not_of(' '));
    decl.erase(decl.find_last_not_of(' ') + 1);
    return decl;
}

// The statement in code that declares name, normalised; empty if none does.
std::string declaration_of(const std::string &code, const std::string &name) {
    size_t begin = 0;
    for (size_t end; (end = code.find_first_of(";{}", begin)) != std::string::npos;
         begin = end + 1) {
        const std::string stmt = code.substr(begin, end - begin);
        for (size_t at = stmt.find(name); at != std::string::npos; at = stmt.find(name, at + 1)) {
            const size_t after = stmt.find_first_not_of(" \t\n", at + name.size());
            const bool starts =
                at == 0 ||
                !(std::isalnum(static_cast<unsigned char>(stmt[at - 1])) || stmt[at - 1] == '_');
            if (starts && (after == std::string::npos || stmt[after] == '(' || stmt[after] == '['))
                return code[end] == ';' ? normalised(stmt + ";") : "";
        }
    }
    return "";
}

// The public C headers without comments and preprocessor lines.
const std::string &header_code() {
    static const std::string code = [] {
        std::string all;
        for (const auto &entry :
             fs::directory_iterator(fs::path(KELP_SOURCE_DIR) / "include" / "kelp")) {
            if (entry.path().extension() != ".h")
                continue;  // the C++ layer calls the names, it does not declare them
            std::istringstream lines(read_file(entry.path()));
            for (std::string line; std::getline(lines, line);) {
                size_t first = line.find_first_not_of(" \t");
                if (first == std::string::npos || line[first] != '#')
                    all += line + "\n";
            }
        }
        return std::regex_replace(all, std::regex(R"(/\*[\s\S]*?\*/|//[^\n]*)"), " ");
    }();
    return code;
}

// Text of section "# title" of a page source, up to the next section.
std::string section(const std::string &page, const std::string &title) {
    size_t at = page.find("\n# " + title + "\n");
    if (at == std::string::npos)
        return "";
    at += title.size() + 4;
    return page.substr(at, page.find("\n# ", at) - at);
}

std::vector<std::string> section_titles(const std::string &page) {
    std::vector<std::string> titles;
    std::istringstream lines(page);
    for (std::string line; std::getline(lines, line);)
        if (line.rfind("# ", 0) == 0)
            titles.push_back(line.substr(2));
    return titles;
}

const std::vector<std::string> page_order = {
    "NAME",        "LIBRARY", "SYNOPSIS",   "DESCRIPTION", "RETURN VALUE", "ERRORS",
    "ENVIRONMENT", "FILES",   "ATTRIBUTES", "NOTES",       "EXAMPLES",     "SEE ALSO"};
const std::set<std::string> main_entry_points = {"dbginit",       "strsub",       "file2buf",
                                                 "llist_strsort", "wtree_create", "gnl_cmdlin",
                                                 "run_syscmd",    "port_mktime"};

// ASSERTs end the check of this page only.
void check_page(const std::string &name) {
    const std::string page = read_file(man_dir / (name + ".3.scd"));
    ASSERT_EQ(page.rfind(name + "(3) ", 0), 0u) << "no page of its own";
    EXPECT_EQ(section(page, "NAME").rfind("\n" + name + " - ", 0), 0u);
    EXPECT_NE(section(page, "LIBRARY").find("(libkelp, -lkelp)"), std::string::npos);

    const std::string header = declaration_of(header_code(), name);
    ASSERT_NE(header, "") << "not declared in include/kelp";
    std::string synopsis = section(page, "SYNOPSIS");
    EXPECT_NE(synopsis.find("#include <kelp.h>"), std::string::npos);
    synopsis = std::regex_replace(synopsis, std::regex(R"(#include[^\n]*|```)"), "");
    EXPECT_EQ(declaration_of(synopsis, name), header);

    const std::vector<std::string> titles = section_titles(page);
    std::vector<size_t> ranks;
    for (const std::string &t : titles) {
        auto it = std::find(page_order.begin(), page_order.end(), t);
        EXPECT_TRUE(it != page_order.end()) << "unknown section " << t;
        if (it != page_order.end())
            ranks.push_back(static_cast<size_t>(it - page_order.begin()));
    }
    EXPECT_TRUE(std::is_sorted(ranks.begin(), ranks.end())) << "sections out of order";

    std::set<std::string> required = {"NAME",        "LIBRARY",    "SYNOPSIS",
                                      "DESCRIPTION", "ATTRIBUTES", "SEE ALSO"};
    if (header.find('(') != std::string::npos) {
        required.insert({"RETURN VALUE", "ERRORS"});
        EXPECT_NE(section(page, "ATTRIBUTES").find("*" + name + "*()"), std::string::npos);
    }
    if (main_entry_points.count(name))
        required.insert("EXAMPLES");
    for (const std::string &t : required)
        EXPECT_TRUE(std::find(titles.begin(), titles.end(), t) != titles.end()) << "no " << t;
}

TEST(ManPages, EachExportedNameHasItsOwnCompletePage) {
    const std::set<std::string> names = exported_names();
    ASSERT_EQ(names.size(), 76u);
    for (const auto &entry : fs::directory_iterator(man_dir)) {
        if (entry.path().string().ends_with(".3.scd")) {
            EXPECT_TRUE(names.count(entry.path().stem().stem().string()))
                << entry.path() << " documents no exported name";
        }
    }
    for (const std::string &name : names) {
        SCOPED_TRACE(name);
        check_page(name);
    }
}

TEST(ManPages, OverviewListsEveryPage) {
    const std::string overview = read_file(man_dir / "kelp.7.scd");
    for (const std::string &name : exported_names())
        EXPECT_NE(overview.find("*" + name + "*(3)"), std::string::npos) << name;
}

}  // namespace
