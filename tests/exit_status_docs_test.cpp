// The exit statuses a boot script reads in the README and the manual are the ones the code
// uses: a status added, dropped or renumbered in one place fails here.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>

namespace {

std::string read_source(const std::string& name) {
    std::ifstream file(std::string(SOURCE_DIR) + "/" + name);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

// The text from the line `start` up to the next line that begins with `end_prefix`.
std::string section(const std::string& text, const std::string& start,
                    const std::string& end_prefix) {
    const auto begin = text.find("\n" + start + "\n");
    if (begin == std::string::npos) {
        return "";
    }
    const auto end = text.find("\n" + end_prefix, begin + start.size() + 1);
    return text.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
}

std::set<int> numbers(const std::string& text, const std::regex& pattern) {
    std::set<int> found;
    for (std::sregex_iterator at(text.begin(), text.end(), pattern), end; at != end; ++at) {
        found.insert(std::stoi((*at)[1].str()));
    }
    return found;
}

} // namespace

TEST(exit_status_docs, readme_and_manual_list_exactly_the_statuses_of_the_code) {
    const std::set<int> code = numbers(read_source("src/common/panel_constants.h"),
                                       std::regex(R"(constexpr int EXIT_\w+ = (\d+);)"));
    ASSERT_FALSE(code.empty());

    const std::string readme = section(read_source("README.md"), "## Exit status", "## ");
    const std::string manual = section(read_source("man/panelflash.1"), ".SH EXIT STATUS", ".SH");
    ASSERT_FALSE(readme.empty());
    ASSERT_FALSE(manual.empty());
    EXPECT_EQ(numbers(readme, std::regex(R"(\n\| (\d+) \|)")), code);
    EXPECT_EQ(numbers(manual, std::regex(R"(\n\.TP\n\.B (\d+)\n)")), code);
}
