#pragma once

#include <string_view>

namespace tovel {

// The files of src/server/assets, built into the program.
std::string_view embeddedManifest();
std::string_view embeddedServiceWorker();
std::string_view embeddedGuidePage(); // with the configured public app site
std::string_view embeddedIconPng();

} // namespace tovel
