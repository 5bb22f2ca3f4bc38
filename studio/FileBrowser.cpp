// The file browser: a folder's entries, numbered frames gathered into
// sequences, names that are no clean UTF-8 escaped.
#include "ServerImpl.h"

#include <filesystem>
#include <regex>

#include "qz/graph/Frames.h"

namespace fs = std::filesystem;
using namespace studio;

namespace
{
// One frame of a sequence collapsed into its pattern: "depth.0007.exr" ->
// "depth.####.exr", padded as the name is.
std::optional<std::string> SequencePattern(const std::string& name)
{
	static const std::regex numbered(R"(^(.*?)(\d+)(\.[^.]+)$)");
	std::smatch m;
	if (!std::regex_match(name, m, numbered))
		return std::nullopt;
	return m[1].str() + std::string(m[2].length(), '#') + m[3].str();
}
}

StudioServer::Impl::Answer StudioServer::Impl::Files(const httplib::Request& request, httplib::Response&)
{
	const std::string dir = Confined(request.has_param("dir") ? request.get_param_value("dir") : "");
	std::error_code ec;
	if (!fs::is_directory(dir, ec))
		throw RequestError{404, "no such folder: " + Excerpt(request.get_param_value("dir"))};
	std::set<std::string> dirs, files;
	std::set<std::pair<size_t, std::string>> patterns;  // shortest first: "a.#.exr" holds a.9 and a.10
	for (fs::directory_iterator entry(dir, ec), end; !ec && entry != end; entry.increment(ec))
	{
		const std::string name = entry->path().filename().string();
		if (name.empty() || name[0] == '.')
			continue;  // hidden files, and the temporary files of writes in progress
		std::error_code kind;
		if (entry->is_directory(kind))
			dirs.insert(name);
		else if (const std::optional<std::string> pattern = SequencePattern(name))
			patterns.emplace(pattern->size(), *pattern), files.insert(name);
		else
			files.insert(name);
	}
	nlohmann::ordered_json entries = nlohmann::ordered_json::array();
	for (const std::string& name : dirs)
		entries.push_back({{"name", Escaped(name)}, {"kind", "dir"}});
	for (const auto& [length, pattern] : patterns)
	{
		// A pattern with two frames or more on disk, not listed yet, is a
		// sequence; its frames are listed no more as files.
		std::vector<int> frames;
		for (int frame : FramesOnDisk((fs::path(dir) / pattern).string()))
			if (files.count(FramePath(pattern, frame)))
				frames.push_back(frame);
		if (frames.size() < 2)
			continue;
		for (int frame : frames)
			files.erase(FramePath(pattern, frame));
		entries.push_back({{"name", Escaped(pattern)}, {"kind", "sequence"}, {"frames", {frames.front(), frames.back()}}});
	}
	for (const std::string& name : files)
		entries.push_back({{"name", Escaped(name)}, {"kind", "file"}});
	const std::string relative = RelativeToRoot(dir);
	return {{"dir", relative == "." ? "" : relative}, {"entries", entries}};
}
