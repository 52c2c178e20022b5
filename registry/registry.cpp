// The platform's own registry: the one place that chooses between the
// Windows registry and the settings file.

#include "registry/registry.h"

#ifdef _WIN32
#include "registry/win32registry_p.h"
#else
#include "registry/regfileregistry.h"
#endif

#include <utility>

namespace quillon::registry {

std::unique_ptr<Registry> platformRegistry([[maybe_unused]] Report report)
{
#ifdef _WIN32
    // The Windows registry has nothing to report.
    return std::make_unique<Win32Registry>();
#else
    // The path is taken once, at start-up: the settings file does not move while the
    // system runs.
    return std::make_unique<RegFileRegistry>(defaultRegFilePath(), std::move(report));
#endif
}

} // namespace quillon::registry
