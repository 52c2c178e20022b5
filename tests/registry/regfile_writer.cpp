// A process that writes into a settings file, for the tests that kill writers
// mid-write and that run writers side by side.
//
//   regfile_writer FILE counter START
//       writes "Counter" = "<i>:<padding>" for i = START, START + 1, ... until
//       killed, and prints i on its own line after each write has returned.
//   regfile_writer FILE names PREFIX COUNT
//       writes "<PREFIX>-<k>" = "<k>" for k = 0 .. COUNT - 1, then ends.

#include "registry/regfileregistry.h"
#include "settings/miscfunctions.h"

#include <cstdio>
#include <cstdlib>
#include <string>

using namespace quillon::registry;

// The counter value is padded so that each write takes long enough for a kill
// to land inside it; the tests check the padding to see a torn value.
std::string counterText(unsigned long i)
{
    return std::to_string(i) + ":" + std::string(4000, static_cast<char>('a' + i % 26));
}

int main(int argc, char** argv)
{
    if (argc < 4) {
        std::fprintf(stderr,
                     "usage: regfile_writer FILE counter START | FILE names PREFIX COUNT\n");
        return 2;
    }
    RegFileRegistry registry(argv[1]);
    const std::string mode = argv[2];
    if (mode == "counter") {
        for (unsigned long i = std::strtoul(argv[3], nullptr, 10);; ++i) {
            if (!quillon::settings::MiscFunctions::WriteSetting(registry, HKeyLocalMachine,
                                                                quillon::settings::kSettingsKey,
                                                                "Counter", counterText(i)))
                return 1;
            std::printf("%lu\n", i);
            std::fflush(stdout);
        }
    }
    if (mode == "names" && argc == 5) {
        const long count = std::strtol(argv[4], nullptr, 10);
        for (long k = 0; k < count; ++k) {
            if (!quillon::settings::MiscFunctions::WriteSetting(
                    registry, HKeyLocalMachine, quillon::settings::kSettingsKey,
                    std::string(argv[3]) + "-" + std::to_string(k), std::to_string(k)))
                return 1;
        }
        return 0;
    }
    return 2;
}
