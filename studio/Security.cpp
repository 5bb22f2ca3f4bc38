// Who the studio answers: its token, the Host and Origin it accepts, and
// the root every path it touches is confined to.
#include "ServerImpl.h"

#include <sys/random.h>

#include <cstring>
#include <filesystem>

#include "qz/core/Error.h"

namespace fs = std::filesystem;
using namespace studio;

namespace studio
{
std::string NewToken()
{
	unsigned char bytes[16];
	for (size_t got = 0; got < sizeof bytes;)
	{
		const ssize_t n = ::getrandom(bytes + got, sizeof bytes - got, 0);
		if (n < 0 && errno != EINTR)
			throw HostError(ErrorKind::Render, std::string("cannot make a token: ") + std::strerror(errno));
		got += n > 0 ? n : 0;
	}
	static const char digits[] = "0123456789abcdef";
	std::string token;
	for (unsigned char byte : bytes)
		token += {digits[byte >> 4], digits[byte & 15]};
	return token;
}
}

namespace
{
// Compares without stopping at the first difference, so that the time an
// answer takes tells nothing about the token.
bool SameSecret(const std::string& given, const std::string& secret)
{
	unsigned char differ = given.size() != secret.size();
	for (size_t i = 0; i < secret.size(); ++i)
		differ |= static_cast<unsigned char>(secret[i] ^ (i < given.size() ? given[i] : 0));
	return differ == 0;
}

std::string CookieValue(const std::string& header, const std::string& name)
{
	size_t start = 0;
	while (start < header.size())
	{
		const size_t end = std::min(header.find(';', start), header.size());
		std::string pair = header.substr(start, end - start);
		pair.erase(0, pair.find_first_not_of(' '));
		if (pair.compare(0, name.size() + 1, name + "=") == 0)
			return pair.substr(name.size() + 1);
		start = end + 1;
	}
	return "";
}
}

bool StudioServer::Impl::Refuses(const httplib::Request& request, httplib::Response& response) const
{
	const std::string host = request.get_header_value("Host");
	if (!Hosts.count(host))
	{
		SetError(response, 403, "refused: the Host header \"" + Excerpt(host) + "\" names no address of this server");
		return true;
	}
	const std::string origin = request.get_header_value("Origin"), scheme = "http://";
	if (request.has_header("Origin") &&
	    (origin.compare(0, scheme.size(), scheme) != 0 || !Hosts.count(origin.substr(scheme.size()))))
	{
		SetError(response, 403, "refused: requests from " + Excerpt(origin) + " are not served");
		return true;
	}
	const bool api = request.path.compare(0, 5, "/api/") == 0;
	const bool page = request.path == "/" || request.path == "/index.html";
	const bool allowed = api ? SameSecret(request.get_header_value("X-Qz-Token"), Secret)
	                         : (page && request.has_param("token") && SameSecret(request.get_param_value("token"), Secret)) ||
	                               SameSecret(CookieValue(request.get_header_value("Cookie"), CookieName), Secret);
	if (!allowed)
	{
		SetError(response, 403, api ? "refused: the X-Qz-Token header is missing or wrong"
		                            : "refused: open the address qz studio printed, with its token");
		return true;
	}
	return false;
}

std::string StudioServer::Impl::Confined(const std::string& path) const
{
	const fs::path resolved =
		fs::weakly_canonical(fs::path(path).is_absolute() ? fs::path(path) : fs::path(Settings.Root) / path);
	const fs::path relative = resolved.lexically_relative(Settings.Root);
	if (relative.empty() || *relative.begin() == "..")
		throw RequestError{403, "refused: " + path + " lies outside the root " + Settings.Root};
	return resolved.string();
}

std::string StudioServer::Impl::RelativeToRoot(const std::string& path) const
{
	return fs::path(path).lexically_relative(Settings.Root).string();
}
