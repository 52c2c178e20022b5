#include "app/remotecontrol.h"

#include "settings/miscfunctions.h"

// Each command received and each reply, for whoever writes a script; off
// unless switched on with QT_LOGGING_RULES="quillon.remote.debug=true".
Q_LOGGING_CATEGORY(lcQuillonRemote, "quillon.remote", QtWarningMsg)

namespace quillon::app {

namespace {

constexpr const char* kRemotePortName = "Remote Port";

// "Rev:1.0.8" gives "1.0.8": the version the window's label shows.
std::string version()
{
    const std::string text = settings::MiscFunctions::VersionText();
    const std::size_t colon = text.find(':');
    return colon == std::string::npos ? text : text.substr(colon + 1);
}

} // namespace

std::optional<quint16> remotePort(const std::string& text)
{
    const std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos)
        return std::nullopt;
    const std::size_t last = text.find_last_not_of(" \t");
    const std::string digits = text.substr(first, last - first + 1);
    if (digits.size() > 5)
        return std::nullopt;
    unsigned value = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + unsigned(c - '0');
    }
    if (value < 1 || value > 65535)
        return std::nullopt;
    return quint16(value);
}

std::unique_ptr<qt::QtLineServer> startRemoteControl(registry::Registry& registry,
                                                     remote::Target& target,
                                                     const qt::QtLineServer::Limits& limits)
{
    std::string text;
    if (!settings::MiscFunctions::ReadSetting(registry, registry::HKeyLocalMachine,
                                              settings::kSettingsKey, kRemotePortName, text))
        return nullptr;
    const std::optional<quint16> port = remotePort(text);
    if (!port)
        return nullptr;

    auto newConversation = [&target, ver = version()] {
        auto session = std::make_shared<remote::Session>(target, ver);
        return qt::QtLineServer::Conversation{
            [session](std::string_view line) {
                qCDebug(lcQuillonRemote, "received %.*s", int(line.size()), line.data());
                std::vector<std::string> replies = session->handleLine(line);
                for (const std::string& reply : replies)
                    qCDebug(lcQuillonRemote, "reply %s", reply.c_str());
                return replies;
            },
            [session] {
                qCDebug(lcQuillonRemote, "line too long: dropped");
                session->lineTooLong();
            }};
    };
    auto server = std::make_unique<qt::QtLineServer>(std::move(newConversation), limits);
    if (!server->listen(*port)) {
        qCWarning(lcQuillonRemote, "remote control: cannot listen on 127.0.0.1 port %u",
                  unsigned(*port));
        return nullptr;
    }
    qCDebug(lcQuillonRemote, "listening on 127.0.0.1 port %u", unsigned(server->port()));
    return server;
}

} // namespace quillon::app
