#pragma once
// Hard limits of the number inputs that count work: sample counts and sets of
// sample directions. A slider's range is soft (a script, `-s` or a flow may go
// past it), so without a limit a typo such as 1e9 renders for hours. Each
// limit is twenty times its slider's reach, so that no real use meets it.
//
// The host keeps them, by tool class ID and input ID, rather than reading them
// from the declarations: the tools declare exactly what their pages show, and
// no declared attribute says which inputs scale the work (`IntegerOnly` also
// marks a focal length, which costs nothing).
#include <optional>
#include <string>

#include "Registry.h"

/// The largest value `tool`'s input `inputId` may take, or nothing when the
/// input has no hard limit. Inputs with a limit also refuse inf and NaN.
std::optional<int> HardLimit(const Registry* tool, const std::string& inputId);
