#pragma once
// The windows ask for the classic desktop families by name; where they are missing, metric-
// compatible families stand in, so captions drawn for those fonts still fit.

namespace platform {

// Idempotent; call before building a window.
void InstallFontSubstitutes();

}  // namespace platform
