#include "platform/registry.h"

#ifdef _WIN32
#include "platform/win32registry_p.h"
#else
#include "platform/hiveregistry.h"
#endif

namespace quillon::platform::registry {

namespace {

Registry* g_installed = nullptr;

Registry& platformRegistry()
{
#ifdef _WIN32
    static Win32Registry registry;
#else
    // The path is taken once, at the first use: the hive does not move while
    // the system runs.
    static HiveRegistry registry(defaultHivePath());
#endif
    return registry;
}

} // namespace

Registry& defaultRegistry()
{
    return g_installed != nullptr ? *g_installed : platformRegistry();
}

void setDefaultRegistry(Registry* registry)
{
    g_installed = registry;
}

} // namespace quillon::platform::registry
