#pragma once
// Runs the built qz executable in a scratch folder that holds a small depth
// pass, "depth.exr" (6 x 4, pixel (x, y) = (2 + x, 4 + y, 8, 1)).
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "ToolHarness.h"
#include "qz/io/ImageFiles.h"

namespace fs = std::filesystem;

struct QzRun
{
	int Status;
	std::string Out, Err;
};

class Qz : public ::testing::Test
{
protected:
	void SetUp() override
	{
		Dir = fs::temp_directory_path() / ("qz-cli-" + std::to_string(::getpid()));
		fs::create_directories(Dir);
		ImagePtr depth = MakeImage(6, 4, [](int x, int y) { return Pixel(2.0f + x, 4.0f + y, 8.0f, 1.0f); });
		WriteImageFile(*depth, Path("depth.exr"));
	}
	void TearDown() override { fs::remove_all(Dir); }

	std::string Path(const std::string& name) const { return (Dir / name).string(); }

	QzRun Run(const std::vector<std::string>& args) const
	{
		std::string command = Program;
		for (const std::string& arg : args)
			command += " '" + arg + "'";
		command += " >'" + Path("stdout") + "' 2>'" + Path("stderr") + "'";
		const int status = std::system(command.c_str());
		auto slurp = [&](const char* name) {
			std::ifstream in(Path(name));
			std::stringstream text;
			text << in.rdbuf();
			return text.str();
		};
		return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, slurp("stdout"), slurp("stderr")};
	}

	// Everything in the folder but the test's own files.
	std::vector<std::string> Files() const
	{
		std::vector<std::string> names;
		for (const auto& entry : fs::directory_iterator(Dir))
			if (entry.path().filename() != "stdout" && entry.path().filename() != "stderr")
				names.push_back(entry.path().filename().string());
		std::sort(names.begin(), names.end());
		return names;
	}

	fs::path Dir;
	std::string Program = std::string(QZ_BIN_DIR) + "/qz";  // the qz that Run runs
};
