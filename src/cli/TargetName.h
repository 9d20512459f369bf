#pragma once
// --target NAME: the catalogue entry a person means. Case and spacing do not count ("qx4t-boot"
// is "QX4T - BOOT"); any other unknown name is refused with the closest entries suggested, and a
// group of the tree ("QRE") with the entries it holds.

#include "protocol/Catalogue.h"

#include <string>

namespace vk::cli {

// Throws UsageError.
const programmer::CatalogueEntry& ResolveTarget(const std::string& name);

} // namespace vk::cli
