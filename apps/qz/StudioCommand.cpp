#include "StudioCommand.h"

#include <filesystem>

#include "Report.h"
#include "qz/core/Error.h"
#include "qz/studio/StudioServer.h"

namespace fs = std::filesystem;

namespace
{
// The page as the build writes it: share/qz/studio beside bin/ of this qz.
fs::path PageFolder()
{
	std::error_code ec;
	const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
	const fs::path page = exe.parent_path().parent_path() / "share" / "qz" / "studio";
	if (ec || !fs::is_regular_file(page / "index.html", ec))
		throw HostError(ErrorKind::Usage, "the studio page is missing: " + (page / "index.html").string() +
		                               " (build the page into share/qz/studio beside this qz's folder)");
	return page;
}
}

int StudioCommand(const PluginHost& host, const StudioOptions& options, std::ostream& out)
{
	StudioSettings settings;
	settings.PageDir = PageFolder().string();
	settings.Listen = options.Listen;
	settings.FlowPath = options.FlowPath.empty() ? "" : fs::absolute(options.FlowPath).string();
	settings.Root = !options.Root.empty()          ? options.Root
	                : !options.FlowPath.empty() ? fs::path(settings.FlowPath).parent_path().string()
	                                            : fs::current_path().string();
	std::error_code ec;
	if (!fs::is_directory(settings.Root, ec))
		throw HostError(ErrorKind::Usage, "--root " + settings.Root + " is no folder");

	StudioServer server(host, settings);
	server.Bind(options.Port);

	out << "qz studio: " << server.Url() << std::endl;
	// Until SIGINT or SIGTERM, which end qz as they end every command.
	server.Serve();
	return ExitOk;
}
