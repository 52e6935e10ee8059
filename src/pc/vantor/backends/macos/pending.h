// The answer of the macOS operations that are not built yet.
#pragma once

namespace ombrel::vantor {

inline constexpr const char *MACOS_PENDING = "The macOS desktop backend is not built yet";

} // namespace ombrel::vantor
