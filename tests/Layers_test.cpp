// The libraries' includes point one way: a library includes only its own
// headers and those of the libraries below it.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>

namespace fs = std::filesystem;

TEST(Layers, IncludesPointOneWay)
{
	// Each folder, and the "qz/LIBRARY/" headers it may include.
	const std::map<std::string, std::set<std::string>> below{
		{"sdk", {}},
		{"frame", {}},
		{"tools", {}},
		{"core", {"core"}},
		{"colour", {"core", "colour"}},
		{"io", {"core", "colour", "io"}},
		{"graph", {"core", "colour", "io", "graph"}},
		{"farm", {"core", "colour", "io", "graph", "farm"}},
		{"studio", {"core", "colour", "io", "graph", "farm", "studio"}},
		{"demo", {"core", "colour", "io", "graph", "demo"}},
		{"python", {"core", "colour", "io", "graph"}},
		{"apps/qz", {"core", "colour", "io", "graph", "farm", "studio", "demo"}},
	};
	const std::regex include(R"re(^\s*#\s*include\s*[<"]qz/([a-z]+)/)re");
	size_t files = 0;
	for (const auto& [folder, allowed] : below)
		for (const auto& entry : fs::recursive_directory_iterator(fs::path(QZ_SOURCE_DIR) / folder))
		{
			const std::string extension = entry.path().extension().string();
			if (extension != ".cpp" && extension != ".h")
				continue;
			++files;
			std::ifstream in(entry.path());
			std::string line;
			for (int number = 1; std::getline(in, line); ++number)
				if (std::smatch m; std::regex_search(line, m, include))
				{
					EXPECT_TRUE(allowed.count(m[1])) << entry.path().lexically_relative(QZ_SOURCE_DIR).string() << ":"
					                                 << number << " reaches up to " << m[1];
				}
		}
	EXPECT_GT(files, 100u);
}
