#pragma once
// Colour management: one OpenColorIO configuration for the whole process,
// and the conversions of pictures' R, G and B between its colour spaces.
// The configuration is `--ocio FILE` (`UseColourConfig`), else the file
// $OCIO names, else qz's default (ACES 1.x through the library's built-in
// transforms: ACEScg as scene_linear).
#include <OpenColorIO/OpenColorIO.h>

#include <ostream>
#include <string>

#include <nlohmann/json.hpp>

#include "Image.h"

/// Makes `path` the process's configuration, read on first use; "" goes
/// back to $OCIO or the default.
void UseColourConfig(const std::string& path);

/// What the configuration is, as messages name it: its file, or "qz's
/// default colour configuration".
std::string ColourConfigName();

/// The colour space `name` names in the configuration (a space, an alias or
/// a role), by its own name. Throws `HostError` (usage) naming the
/// configuration when it has no such space, or when the configuration
/// cannot be read (naming its file and what is wrong).
std::string ColourSpaceNamed(const std::string& name);

/// The configuration's scene_linear space, which pictures are converted to
/// on reading and from on writing.
std::string SceneLinearSpace();

/// The space `:colorspace=auto` takes for a file at `path` whose header
/// records `recorded` (OpenImageIO's "oiio:ColorSpace", or ""): the record
/// when the configuration knows it, else what its file rules give the path.
std::string AutomaticColourSpace(const std::string& path, const std::string& recorded);

/// Converts R, G and B of `image` (plain float B, G, R, A) from colour space
/// `from` to `to` in single precision, through OpenColorIO's CPU processor,
/// rows spread over the worker pool; alpha is left as it is.
void ConvertColours(Image& image, const std::string& from, const std::string& to);

/// The configuration, read on first use (throws as `ColourSpaceNamed` does).
OCIO_NAMESPACE::ConstConfigRcPtr CurrentColourConfig();

/// The configuration's colour spaces (with families and aliases), roles,
/// displays with their views, and looks, for `qz colorspaces`.
nlohmann::ordered_json DescribeColourConfig();
void PrintColourConfig(const nlohmann::ordered_json& config, std::ostream& out);
