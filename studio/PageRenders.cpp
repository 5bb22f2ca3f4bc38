// The pages a server answers: which render each asked for last, and the
// pictures each was sent.
#include "ServerImpl.h"

#include <algorithm>

StudioServer::Impl::PageRenders& StudioServer::Impl::PageOf(const std::string& page)
{
	if (!Pages.count(page) && Pages.size() >= MaxPages)
		Pages.erase(std::min_element(Pages.begin(), Pages.end(), [](const auto& a, const auto& b) {
			return a.second.LastRequest < b.second.LastRequest;
		}));
	PageRenders& renders = Pages[page];
	renders.LastRequest = ++Requests;
	return renders;
}

void StudioServer::Impl::Announce(const std::string& page, long long generation)
{
	std::lock_guard<std::mutex> lock(PagesMutex);
	PageRenders& renders = PageOf(page);
	renders.LatestGeneration = std::max(renders.LatestGeneration, generation);
	if (renders.RunningCancel && renders.RunningGeneration < generation)
		*renders.RunningCancel = true;
}

bool StudioServer::Impl::StartRunning(const std::string& page, long long generation,
                                      std::shared_ptr<std::atomic<bool>> cancel)
{
	std::lock_guard<std::mutex> lock(PagesMutex);
	PageRenders& renders = PageOf(page);
	if (generation < renders.LatestGeneration)
		return false;
	renders.RunningGeneration = generation;
	renders.RunningCancel = std::move(cancel);
	return true;
}

void StudioServer::Impl::StopRunning(const std::string& page, long long generation)
{
	std::lock_guard<std::mutex> lock(PagesMutex);
	const auto found = Pages.find(page);
	if (found != Pages.end() && found->second.RunningGeneration == generation)
		found->second.RunningCancel = nullptr;
}

void StudioServer::Impl::KeepShown(const std::string& page, long long generation, const SharedImage& image)
{
	std::lock_guard<std::mutex> lock(PagesMutex);
	auto& shown = PageOf(page).Shown;
	shown.emplace_back(generation, image);
	if (shown.size() > ShownPerPage)
		shown.pop_front();
}

SharedImage StudioServer::Impl::Shown(const std::string& page, long long generation)
{
	std::lock_guard<std::mutex> lock(PagesMutex);
	const auto found = Pages.find(page);
	if (found != Pages.end())
		for (const auto& [shownGeneration, shown] : found->second.Shown)
			if (shownGeneration == generation)
				return shown;
	return nullptr;
}
