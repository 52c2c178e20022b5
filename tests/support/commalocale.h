#pragma once

// Puts the process into a locale whose decimal separator is a comma, for the
// tests that show the number texts ignore the locale, and back again.

#include <clocale>
#include <locale>
#include <string>

namespace quillon::test {

class ScopedCommaLocale
{
public:
    ScopedCommaLocale()
    {
        if (const char* previous = std::setlocale(LC_ALL, nullptr))
            m_previous = previous;
        m_previousGlobal = std::locale();
        // de_DE.UTF-8 is the one CI generates; the others are there for
        // machines that happen to have a different comma locale.
        for (const char* name :
             {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "fr_FR.utf8", "nl_NL.UTF-8",
              "es_ES.UTF-8", "it_IT.UTF-8", "ru_RU.UTF-8", "German_Germany.1252", "de-DE"}) {
            if (std::setlocale(LC_ALL, name) == nullptr)
                continue;
            const std::lconv* conv = std::localeconv();
            if (conv && conv->decimal_point && std::string(conv->decimal_point) == ",") {
                m_name = name;
                try {
                    std::locale::global(std::locale(name));
                } catch (const std::exception&) {
                    // The C library knows it but the C++ library does not:
                    // the C locale alone still shows the point.
                }
                return;
            }
        }
        std::setlocale(LC_ALL, m_previous.c_str());
    }
    ~ScopedCommaLocale()
    {
        std::locale::global(m_previousGlobal);
        std::setlocale(LC_ALL, m_previous.c_str());
    }
    ScopedCommaLocale(const ScopedCommaLocale&) = delete;
    ScopedCommaLocale& operator=(const ScopedCommaLocale&) = delete;

    bool active() const { return !m_name.empty(); }
    const std::string& name() const { return m_name; }

    static const char* missingMessage()
    {
        return "no locale with a comma decimal separator is installed (CI generates "
               "de_DE.UTF-8: localedef -i de_DE -f UTF-8 de_DE.UTF-8)";
    }

private:
    std::string m_previous = "C";
    std::locale m_previousGlobal;
    std::string m_name;
};

} // namespace quillon::test
