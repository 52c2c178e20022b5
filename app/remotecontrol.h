#pragma once

// The remote-control port for experiment scripts: off unless the settings
// hold a "Remote Port", which the panel reads once at start-up and never
// writes. It listens on the loopback addresses only.

#include "qt/qtlineserver.h"
#include "registry/registry.h"
#include "remote/scpi.h"

#include <QLoggingCategory>

#include <memory>
#include <optional>
#include <string>

Q_DECLARE_LOGGING_CATEGORY(lcQuillonRemote)

namespace quillon::app {

// The port a "Remote Port" text names: decimal digits, 1 to 65535, blanks
// around them allowed; anything else (missing, empty, 0) is off.
std::optional<quint16> remotePort(const std::string& text);

// Reads the setting and, when it names a port, listens there for scripts whose
// commands go to `target`; nullptr when it is off or the port cannot be had
// (then a warning says why). `target` must outlive the server.
std::unique_ptr<qt::QtLineServer> startRemoteControl(registry::Registry& registry,
                                                     remote::Target& target,
                                                     const qt::QtLineServer::Limits& limits = {});

} // namespace quillon::app
