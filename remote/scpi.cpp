#include "remote/scpi.h"

#include <array>
#include <climits>
#include <optional>
#include <utility>

namespace quillon::remote {

namespace {

struct Fault
{
    int code;
    std::string_view text;
};

constexpr Fault kInvalidCharacter{-101, "Invalid character"};
constexpr Fault kSyntaxError{-102, "Syntax error"};
constexpr Fault kDataTypeError{-104, "Data type error"};
constexpr Fault kParameterNotAllowed{-108, "Parameter not allowed"};
constexpr Fault kMissingParameter{-109, "Missing parameter"};
constexpr Fault kUndefinedHeader{-113, "Undefined header"};
constexpr Fault kDataOutOfRange{-222, "Data out of range"};
constexpr Fault kTooMuchData{-223, "Too much data"};
constexpr Fault kQueueOverflow{-350, "Queue overflow"};
constexpr std::string_view kNoError = "0,\"No error\"";

// As SYSTem:ERRor? gives it: -113,"Undefined header".
std::string describe(Fault fault)
{
    return std::to_string(fault.code) + ",\"" + std::string(fault.text) + '"';
}

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}
bool isLetter(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}
bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}
bool isQuote(char c)
{
    return c == '"' || c == '\'';
}
char upper(char c)
{
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (upper(a[i]) != upper(b[i]))
            return false;
    }
    return true;
}

std::string_view trim(std::string_view text)
{
    while (!text.empty() && isBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && isBlank(text.back()))
        text.remove_suffix(1);
    return text;
}

// The program units of a line: split at each ';' that is not inside a quoted
// string. A doubled quote closes and reopens the string, which keeps it inside.
std::vector<std::string_view> splitUnits(std::string_view line)
{
    std::vector<std::string_view> units;
    char quote = 0;
    std::size_t start = 0;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (quote != 0) {
            if (c == quote)
                quote = 0;
        } else if (isQuote(c)) {
            quote = c;
        } else if (c == ';') {
            units.push_back(line.substr(start, i - start));
            start = i + 1;
        }
    }
    units.push_back(line.substr(start));
    return units;
}

// A header node as written: a letter, then letters, digits or '_'.
bool isMnemonic(std::string_view node)
{
    if (node.empty() || !isLetter(node.front()))
        return false;
    for (char c : node) {
        if (!isLetter(c) && !isDigit(c) && c != '_')
            return false;
    }
    return true;
}

// The one argument, trimmed and non-empty: a quoted string, unquoted, or
// plain text without quotes or commas. Nothing: not well formed, which
// includes a second argument (after a ',' or after the closing quote).
std::optional<std::string> parseArgument(std::string_view text)
{
    if (!isQuote(text.front())) {
        if (text.find_first_of("\"',") != std::string_view::npos)
            return std::nullopt;
        return std::string(text);
    }
    const char quote = text.front();
    std::string value;
    for (std::size_t i = 1; i < text.size(); ++i) {
        if (text[i] != quote) {
            value += text[i];
        } else if (i + 1 < text.size() && text[i + 1] == quote) {
            value += quote;
            ++i;
        } else {
            if (i + 1 != text.size())
                return std::nullopt;
            return value;
        }
    }
    return std::nullopt; // never closed
}

// One program unit as written.
struct Unit
{
    bool common = false; // *IDN?: `nodes` holds the name without '*'
    bool rooted = false; // a leading ':'
    std::vector<std::string_view> nodes;
    bool query = false;
    std::optional<std::string> argument;
};

// Nothing: the unit (trimmed, non-empty) is not well formed.
std::optional<Unit> parseUnit(std::string_view text)
{
    std::size_t end = 0;
    while (end < text.size() && !isBlank(text[end]))
        ++end;
    std::string_view header = text.substr(0, end);
    const std::string_view rest = trim(text.substr(end));

    Unit unit;
    if (header.back() == '?') {
        unit.query = true;
        header.remove_suffix(1);
    }
    if (!header.empty() && header.front() == '*') {
        unit.common = true;
        header.remove_prefix(1);
        if (header.empty())
            return std::nullopt;
        for (char c : header) {
            if (!isLetter(c))
                return std::nullopt;
        }
        unit.nodes.push_back(header);
    } else {
        if (!header.empty() && header.front() == ':') {
            unit.rooted = true;
            header.remove_prefix(1);
        }
        for (;;) {
            const std::size_t colon = header.find(':');
            const std::string_view node = header.substr(0, colon);
            if (!isMnemonic(node))
                return std::nullopt;
            unit.nodes.push_back(node);
            if (colon == std::string_view::npos)
                break;
            header.remove_prefix(colon + 1);
        }
    }
    if (!rest.empty()) {
        unit.argument = parseArgument(rest);
        if (!unit.argument)
            return std::nullopt;
    }
    return unit;
}

enum class Op
{
    Frequency,
    SystemClock,
    DdsPrescaler,
    RosaPrescaler,
    ZeroStart,
    Offset,
    Link,
    ErrorNext,
    ErrorCount,
};

// The header tree. A node's capitals are its short form; the whole node is
// its long form.
struct Header
{
    std::array<std::string_view, 3> nodes;
    std::size_t depth;
    bool settable;
    bool queryable;
    Op op;
};

constexpr Header kHeaders[] = {
    {{"FREQuency"}, 1, true, true, Op::Frequency},
    {{"SYSTem", "CLOCk"}, 2, true, true, Op::SystemClock},
    {{"SYSTem", "ERRor"}, 2, false, true, Op::ErrorNext},
    {{"SYSTem", "ERRor", "NEXT"}, 3, false, true, Op::ErrorNext},
    {{"SYSTem", "ERRor", "COUNt"}, 3, false, true, Op::ErrorCount},
    {{"PRESCaler", "DDS"}, 2, true, true, Op::DdsPrescaler},
    {{"PRESCaler", "ROSA"}, 2, true, true, Op::RosaPrescaler},
    {{"ZERO", "STARt"}, 2, true, true, Op::ZeroStart},
    {{"OFFSet"}, 1, false, true, Op::Offset},
    {{"LINK"}, 1, false, true, Op::Link},
};

bool nodeMatches(std::string_view pattern, std::string_view written)
{
    std::size_t shortLength = 0;
    while (shortLength < pattern.size() &&
           !(pattern[shortLength] >= 'a' && pattern[shortLength] <= 'z'))
        ++shortLength;
    return equalsIgnoringCase(written, pattern) ||
           equalsIgnoringCase(written, pattern.substr(0, shortLength));
}

// The header whose nodes are `path` followed by nodes matching `written`.
const Header* findHeader(const std::vector<std::string_view>& path,
                         const std::vector<std::string_view>& written)
{
    for (const Header& header : kHeaders) {
        if (header.depth != path.size() + written.size())
            continue;
        bool matches = true;
        for (std::size_t i = 0; i < header.depth && matches; ++i) {
            matches = i < path.size() ? header.nodes[i] == path[i]
                                      : nodeMatches(header.nodes[i], written[i - path.size()]);
        }
        if (matches)
            return &header;
    }
    return nullptr;
}

// A divider: a decimal whole number, with an optional '+' and blanks around
// it. Nothing: not such a number (-104). One too large for an int becomes
// INT_MAX, which no list shows, so it is out of range like any other.
std::optional<int> parseDivider(std::string_view text)
{
    text = trim(text);
    if (!text.empty() && text.front() == '+')
        text.remove_prefix(1);
    if (text.empty())
        return std::nullopt;
    long long value = 0;
    for (char c : text) {
        if (!isDigit(c))
            return std::nullopt;
        value = value * 10 + (c - '0');
        if (value > INT_MAX)
            value = INT_MAX;
    }
    return static_cast<int>(value);
}

std::optional<bool> parseSwitch(std::string_view text)
{
    text = trim(text);
    if (text == "1" || equalsIgnoringCase(text, "ON"))
        return true;
    if (text == "0" || equalsIgnoringCase(text, "OFF"))
        return false;
    return std::nullopt;
}

// A reply is one line whatever the window's texts hold.
std::string oneLine(std::string text)
{
    for (char& c : text) {
        if (c == '\r' || c == '\n')
            c = ' ';
    }
    return text;
}

} // namespace

Session::Session(Target& target, std::string version)
    : m_target(target), m_version(std::move(version))
{}

std::vector<std::string> Session::handleLine(std::string_view line)
{
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    // Checked before anything runs: a line damaged in transit must not run
    // its first half.
    for (char c : line) {
        const auto byte = static_cast<unsigned char>(c);
        if (c != '\t' && (byte < 0x20 || byte > 0x7E)) {
            queue(describe(kInvalidCharacter));
            return {};
        }
    }
    std::vector<std::string> replies;
    m_path.clear();
    for (std::string_view unit : splitUnits(line))
        handleUnit(trim(unit), replies);
    return replies;
}

void Session::lineTooLong()
{
    queue(describe(kTooMuchData));
}

void Session::handleUnit(std::string_view text, std::vector<std::string>& replies)
{
    if (text.empty())
        return;
    const std::optional<Unit> unit = parseUnit(text);
    if (!unit) {
        queue(describe(kSyntaxError));
        return;
    }
    const bool hasArgument = unit->argument.has_value();

    if (unit->common) {
        const std::string_view name = unit->nodes.front();
        const bool idn = equalsIgnoringCase(name, "IDN");
        const bool opc = equalsIgnoringCase(name, "OPC");
        const bool wai = equalsIgnoringCase(name, "WAI");
        const bool cls = equalsIgnoringCase(name, "CLS");
        if (unit->query ? !(idn || opc) : !(opc || wai || cls)) {
            queue(describe(kUndefinedHeader));
        } else if (hasArgument) {
            queue(describe(kParameterNotAllowed));
        } else if (idn) {
            replies.push_back("Oxwell,Quillon,0," + m_version);
        } else if (opc && unit->query) {
            // Units run one after the other and each runs to its end, so
            // every earlier command of this client has been handled by now.
            replies.push_back("1");
        } else if (cls) {
            m_errors.clear();
        }
        return;
    }

    const Header* header = unit->rooted ? nullptr : findHeader(m_path, unit->nodes);
    if (header == nullptr)
        header = findHeader({}, unit->nodes);
    if (header == nullptr || !(unit->query ? header->queryable : header->settable)) {
        queue(describe(kUndefinedHeader));
        return;
    }
    // The header was understood, so the next one is looked up beside it even
    // when this unit's argument is wrong.
    m_path.assign(header->nodes.begin(), header->nodes.begin() + header->depth - 1);
    if (unit->query && hasArgument) {
        queue(describe(kParameterNotAllowed));
        return;
    }
    if (!unit->query && !hasArgument) {
        queue(describe(kMissingParameter));
        return;
    }

    const std::string argument = unit->argument.value_or(std::string());
    const auto pick = [&](bool (Target::*pickDivider)(int)) {
        const std::optional<int> divider = parseDivider(argument);
        if (!divider)
            queue(describe(kDataTypeError));
        else if (!(m_target.*pickDivider)(*divider))
            queue(describe(kDataOutOfRange));
    };
    const auto reply = [&](std::string text) { replies.push_back(oneLine(std::move(text))); };
    switch (header->op) {
    case Op::Frequency:
        if (unit->query)
            reply(m_target.frequency());
        else
            m_target.setFrequency(argument);
        break;
    case Op::SystemClock:
        if (unit->query)
            reply(m_target.systemClock());
        else
            m_target.setSystemClock(argument);
        break;
    case Op::DdsPrescaler:
        if (unit->query)
            reply(std::to_string(m_target.ddsPrescaler()));
        else
            pick(&Target::pickDdsPrescaler);
        break;
    case Op::RosaPrescaler:
        if (unit->query)
            reply(std::to_string(m_target.rosaPrescaler()));
        else
            pick(&Target::pickRosaPrescaler);
        break;
    case Op::ZeroStart:
        if (unit->query) {
            reply(m_target.zeroStart() ? "1" : "0");
        } else if (const std::optional<bool> on = parseSwitch(argument)) {
            m_target.setZeroStart(*on);
        } else {
            queue(describe(kDataTypeError));
        }
        break;
    case Op::Offset:
        reply(m_target.offset());
        break;
    case Op::Link:
        reply(m_target.linkUp() ? "1" : "0");
        break;
    case Op::ErrorNext:
        reply(nextError());
        break;
    case Op::ErrorCount:
        reply(std::to_string(m_errors.size()));
        break;
    }
}

void Session::queue(std::string error)
{
    if (m_errors.size() < errorQueueLimit)
        m_errors.push_back(std::move(error));
    else
        m_errors.back() = describe(kQueueOverflow);
}

std::string Session::nextError()
{
    if (m_errors.empty())
        return std::string(kNoError);
    std::string error = std::move(m_errors.front());
    m_errors.pop_front();
    return error;
}

} // namespace quillon::remote
