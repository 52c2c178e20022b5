// The settings file: what it does with files it cannot parse, and that writers
// killed at any moment or running side by side lose nothing.

#include "registry/regfileregistry.h"
#include "registry/regfiletext_p.h"
#include "settings/miscfunctions.h"
#include "tests/support/memoryregistry.h"
#include "tests/support/tempdir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#ifndef _WIN32
#include <csignal>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

namespace {

namespace fs = std::filesystem;
using namespace quillon::registry;
using quillon::settings::kSettingsKey;
using quillon::settings::MiscFunctions::ReadSetting;
using quillon::settings::MiscFunctions::WriteSetting;
using quillon::test::readBytes;
using quillon::test::TempDir;
using quillon::test::writeBytes;

const std::string kKeyPath = std::string("HKEY_LOCAL_MACHINE\\") + kSettingsKey;

// A settings file in a fresh folder, with the settings routines over it.
class SettingsFile : public ::testing::Test
{
protected:
    bool write(const std::string& name, const std::string& text)
    {
        return WriteSetting(registry, HKeyLocalMachine, kSettingsKey, name, text);
    }
    bool read(RegFileRegistry& registry, const std::string& name, std::string& text)
    {
        return ReadSetting(registry, HKeyLocalMachine, kSettingsKey, name, text);
    }
    bool read(const std::string& name, std::string& text) { return read(registry, name, text); }

    Result setRaw(const std::string& name, ValueType type, const std::string& bytes)
    {
        Key key = 0;
        Result result =
            registry.createKey(HKeyLocalMachine, kSettingsKey, 0, KeyAllAccess, key, nullptr);
        if (result != Success)
            return result;
        result =
            registry.setValue(key, name, type, reinterpret_cast<const std::uint8_t*>(bytes.data()),
                              static_cast<std::uint32_t>(bytes.size()));
        registry.closeKey(key);
        return result;
    }

    std::vector<fs::path> filesInFolder() const
    {
        std::vector<fs::path> files;
        for (const auto& entry : fs::directory_iterator(dir.path()))
            files.push_back(entry.path().filename());
        std::sort(files.begin(), files.end());
        return files;
    }

    TempDir dir;
    fs::path file = dir.path() / "registry.reg";
    RegFileRegistry registry{file};
};

// ---------------------------------------------------------------------------
// The file

TEST_F(SettingsFile, AwkwardStringsReadBackExactlyFromTheFile)
{
    struct Row
    {
        const char* name;
        std::string bytes;
        std::string quotedForm; // how the file shows it; "" for hex(1):
    };
    const std::vector<Row> rows = {
        {"Plain", "1200", "\"1200\""},
        {"Empty", "", "\"\""},
        {"Quotes", "say \"hi\"", "\"say \\\"hi\\\"\""},
        {"Backslashes", "C:\\dir\\", "\"C:\\\\dir\\\\\""},
        {"Tab", "a\tb", "\"a\tb\""},
        {"Non-ASCII", "\xC3\xB7", "\"\xC3\xB7\""},
        {"Zero byte", std::string("a\0b", 3), ""},
        {"Trailing zero", std::string("ab\0", 3), ""},
        {"Line feed", "one\ntwo", ""},
        {"Carriage return", "one\rtwo", ""},
        {"Not UTF-8", "\xFF\xFE", ""},
        {"Cut UTF-8", "\xC3", ""},
        {"Long with zero", std::string(3000, 'q') + '\0', ""},
    };
    for (const Row& row : rows)
        ASSERT_EQ(setRaw(row.name, RegSz, row.bytes), Success) << row.name;

    const std::string text = readBytes(file);
    RegFileRegistry other(file);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Key key = 0;
        ASSERT_EQ(other.openKey(HKeyLocalMachine, kSettingsKey, 0, KeyRead, key), Success);
        std::vector<std::uint8_t> buffer(4096);
        std::uint32_t size = static_cast<std::uint32_t>(buffer.size());
        ValueType type = RegNone;
        ASSERT_EQ(other.queryValue(key, row.name, &type, buffer.data(), &size), Success);
        other.closeKey(key);
        EXPECT_EQ(type, RegSz);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(buffer.data()), size), row.bytes);

        const std::string line = "\n\"" + std::string(row.name) + "\"=";
        const std::size_t at = text.find(line);
        ASSERT_NE(at, std::string::npos);
        const std::string shown =
            text.substr(at + line.size(), text.find('\n', at + 1) - at - line.size());
        if (row.quotedForm.empty())
            EXPECT_EQ(shown.substr(0, 7), "hex(1):");
        else
            EXPECT_EQ(shown, row.quotedForm);
    }
}

TEST_F(SettingsFile, TwoInstancesOnOneFileKeepEachOthersValues)
{
    RegFileRegistry second(file);
    ASSERT_TRUE(write("Left", "100"));
    ASSERT_TRUE(WriteSetting(second, HKeyLocalMachine, kSettingsKey, "Top", "200"));
    ASSERT_TRUE(write("Frequency", "80"));
    ASSERT_TRUE(WriteSetting(second, HKeyLocalMachine, kSettingsKey, "Left", "101"));

    RegFileRegistry third(file);
    for (RegFileRegistry* registry : {&registry, &second, &third}) {
        std::string text;
        EXPECT_TRUE(read(*registry, "Left", text));
        EXPECT_EQ(text, "101");
        EXPECT_TRUE(read(*registry, "Top", text));
        EXPECT_EQ(text, "200");
        EXPECT_TRUE(read(*registry, "Frequency", text));
        EXPECT_EQ(text, "80");
    }
}

// The seven settings as a settings file holds them, one to a line from line 4.
const std::vector<std::pair<std::string, std::string>> kSeven = {
    {"Left", "3000"},           {"Top", "2250"},
    {"Frequency", "80"},        {"System Clock", "500"},
    {"IP Address", "10.1.2.3"}, {"DDS Prescaler", "2"},
    {"Rosa Prescaler", "3"},
};

std::string sevenLine(const std::string& name)
{
    for (const auto& [value, text] : kSeven) {
        if (value == name)
            return "\"" + name + "\"=\"" + text + "\"\n";
    }
    return {};
}

// The seven, with the line of `name` replaced by `lines`.
std::string sevenFile(const std::string& name = {}, const std::string& lines = {})
{
    std::string text = "REGEDIT4\n\n[" + kKeyPath + "]\n";
    for (const auto& [value, saved] : kSeven)
        text += value == name ? lines : sevenLine(value);
    return text;
}

std::vector<fs::path> keptAside(const fs::path& folder)
{
    std::vector<fs::path> aside;
    for (const auto& entry : fs::directory_iterator(folder)) {
        if (entry.path().filename().string().rfind("registry.reg.corrupt-", 0) == 0)
            aside.push_back(entry.path());
    }
    return aside;
}

TEST_F(SettingsFile, DamagedFileKeepsWhatItCanReadAndTheOriginalAside)
{
    // The byte B0 as a text in the local 8-bit encoding.
#ifdef _WIN32
    const std::string kDegrees = "80\xC2\xB0"; // code page 1252: "°"
#else
    const std::string kDegrees = "80\xB0"; // UTF-8: the byte as it is
#endif
    const std::string full = sevenFile();
    std::string huge = full;
    while (huge.size() <= kMaxRegFileBytes + 10)
        huge += "\"Filler" + std::to_string(huge.size()) + "\"=\"" + std::string(100, 'f') + "\"\n";
    std::string binary;
    for (int i = 0; i < 512; ++i)
        binary += static_cast<char>((i * 7) & 0xFF);
    const std::vector<std::string> all = {"Left",          "Top",        "Frequency",
                                          "System Clock",  "IP Address", "DDS Prescaler",
                                          "Rosa Prescaler"};

    struct Row
    {
        const char* what;
        std::string bytes;
        std::vector<std::string> survive; // those of the seven that read back
        bool keptAside;                   // at the first write
        std::string frequency = "80";     // as it reads back, when it survives
    };
    const std::vector<Row> rows = {
        // Nothing skipped: the comment goes at the rewrite, as every comment does.
        {"stray byte in a comment", sevenFile("Left", "; Raum 4\xB0\n" + sevenLine("Left")), all,
         false},
        {"stray byte in a value", sevenFile("Frequency", "\"Frequency\"=\"80\xB0\"\n"), all, false,
         kDegrees},
        {"trailing comment",
         sevenFile("Frequency", "\"Frequency\"=\"80\" ; by hand\n"),
         {"Left", "Top", "System Clock", "IP Address", "DDS Prescaler", "Rosa Prescaler"},
         true},
        {"value deletion", sevenFile("Top", "\"Left\"=-\n" + sevenLine("Top")), all, true},
        // The values below a key line that is skipped go with it.
        {"key deletion",
         sevenFile("DDS Prescaler", "[-" + kKeyPath + "\\Old]\n" + sevenLine("DDS Prescaler")),
         {"Left", "Top", "Frequency", "System Clock", "IP Address"},
         true},
        {"foreign root", full + "\n[HKEY_ELSEWHERE\\Software]\n\"x\"=\"y\"\n", all, true},
        // Top and Frequency on one line, which holds a control character.
        {"lone CR",
         sevenFile("Top", "\"Top\"=\"2250\"\r"),
         {"Left", "System Clock", "IP Address", "DDS Prescaler", "Rosa Prescaler"},
         true},
        {"cut in the middle of a line",
         full.substr(0, full.find("10.1.2.3") + 4),
         {"Left", "Top", "Frequency", "System Clock"},
         true},
        {"a line that is no line", sevenFile("Top", "Left=2\n" + sevenLine("Top")), all, true},
        // Nothing is read from these at all.
        {"no header", "this is not a settings file at all\n" + full, {}, true},
        {"binary", binary, {}, true},
        {"over the size limit", huge, {}, true},
        {"empty", "", {}, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        TempDir folder;
        const fs::path damaged = folder.path() / "registry.reg";
        writeBytes(damaged, row.bytes);
        RegFileRegistry registry(damaged);

        const auto expectSurvivors = [&](const char* when) {
            SCOPED_TRACE(when);
            for (const auto& [name, saved] : kSeven) {
                const bool survives =
                    std::find(row.survive.begin(), row.survive.end(), name) != row.survive.end();
                std::string text = "stale";
                EXPECT_EQ(read(registry, name, text), survives) << name;
                if (survives) {
                    EXPECT_EQ(text, name == "Frequency" ? row.frequency : saved);
                }
            }
        };
        expectSurvivors("read");
        EXPECT_EQ(readBytes(damaged), row.bytes) << "a read changed the file";

        EXPECT_TRUE(WriteSetting(registry, HKeyLocalMachine, kSettingsKey, "Note", "1"));
        const std::vector<fs::path> aside = keptAside(folder.path());
        ASSERT_EQ(aside.size(), row.keptAside ? 1u : 0u);
        if (row.keptAside) {
            EXPECT_EQ(readBytes(aside[0]), row.bytes) << "the original bytes were not kept";
        }
        EXPECT_FALSE(fs::exists(folder.path() / "registry.reg.tmp"));

        const RegFileParseResult rewritten = parseRegFile(readBytes(damaged));
        EXPECT_TRUE(rewritten.ok && rewritten.skipped.empty());
        expectSurvivors("after the first write");
        // A second write has nothing more to keep.
        EXPECT_TRUE(WriteSetting(registry, HKeyLocalMachine, kSettingsKey, "Note", "2"));
        EXPECT_EQ(keptAside(folder.path()).size(), aside.size());
    }
}

TEST_F(SettingsFile, BytesAreParsedAgainOnlyWhenTheyChange)
{
    const std::string one = "REGEDIT4\n[" + kKeyPath + "]\n\"Left\"=\"1\"\n";
    std::string two = one;
    two[two.size() - 3] = '2'; // the same size and the same skeleton
    // The bytes written before each read, the value read and the parses so far.
    const std::tuple<std::string, std::string, std::size_t> steps[] = {
        {one, "1", 1}, {one, "1", 1}, {two, "2", 2}, {two, "2", 2}, {one, "1", 3}};
    for (const auto& [bytes, left, parses] : steps) {
        writeBytes(file, bytes);
        std::string text;
        EXPECT_TRUE(read("Left", text));
        EXPECT_EQ(text, left);
        EXPECT_EQ(registry.parses(), parses);
    }
}

TEST_F(SettingsFile, SkippedLinesAreReportedOnceWithFileAndLineAndNothingElseIsSaid)
{
    std::vector<std::string> reported;
    RegFileRegistry registry(file,
                             [&](const std::string& message) { reported.push_back(message); });
    writeBytes(file,
               "REGEDIT4\n[" + kKeyPath + "]\n\"Left\"=\"1\"\n\"Top\"=oops\n\"Frequency\"=-\n");

    ::testing::internal::CaptureStderr();
    std::string text;
    EXPECT_TRUE(read(registry, "Left", text));
    EXPECT_TRUE(read(registry, "Left", text));
    ASSERT_EQ(reported.size(), 2u);
    EXPECT_EQ(reported[0].rfind(file.string() + ":4: skipped: ", 0), 0u) << reported[0];
    EXPECT_EQ(reported[1].rfind(file.string() + ":5: skipped: ", 0), 0u) << reported[1];

    // The first write says where the original went, and then there is nothing left to say.
    EXPECT_TRUE(WriteSetting(registry, HKeyLocalMachine, kSettingsKey, "Left", "2"));
    ASSERT_EQ(reported.size(), 3u);
    const std::vector<fs::path> aside = keptAside(dir.path());
    ASSERT_EQ(aside.size(), 1u);
    EXPECT_NE(reported[2].find(aside[0].string()), std::string::npos) << reported[2];
    EXPECT_TRUE(read(registry, "Left", text));
    EXPECT_EQ(reported.size(), 3u);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

TEST_F(SettingsFile, FolderThatCannotBeWrittenFailsTheWriteAndNothingElse)
{
    // A parent that is a regular file stops even root, whom permission bits
    // do not stop.
    const fs::path blocker = dir.path() / "not-a-folder";
    writeBytes(blocker, "just a file");
    HandleCounting<RegFileRegistry> blocked(blocker / "registry.reg");
    Key key = 0;
    EXPECT_EQ(blocked.createKey(HKeyLocalMachine, kSettingsKey, 0, KeyAllAccess, key, nullptr),
              CantWrite);
    EXPECT_FALSE(WriteSetting(blocked, HKeyLocalMachine, kSettingsKey, "Left", "1"));
    std::string text = "stale";
    EXPECT_FALSE(ReadSetting(blocked, HKeyLocalMachine, kSettingsKey, "Left", text));
    EXPECT_EQ(text, "");
    EXPECT_EQ(readBytes(blocker), "just a file");
    EXPECT_EQ(blocked.openHandles(), 0u);
}

TEST_F(SettingsFile, WriteCreatesMissingFoldersAndReadsCreateNothing)
{
    const fs::path nested = dir.path() / "a" / "b" / "registry.reg";
    RegFileRegistry registry(nested);
    std::string text;
    EXPECT_FALSE(ReadSetting(registry, HKeyLocalMachine, kSettingsKey, "Left", text));
    EXPECT_TRUE(filesInFolder().empty());

    EXPECT_TRUE(WriteSetting(registry, HKeyLocalMachine, kSettingsKey, "Left", "3"));
    EXPECT_TRUE(fs::exists(nested));
    EXPECT_TRUE(ReadSetting(registry, HKeyLocalMachine, kSettingsKey, "Left", text));
    EXPECT_EQ(text, "3");
}

TEST_F(SettingsFile, WriteThatWouldOutgrowTheFileLimitFailsAndKeepsTheFile)
{
    ASSERT_TRUE(write("Left", "1"));
    const std::string before = readBytes(file);
    // Hex takes three characters a byte, so this is well over the limit.
    EXPECT_EQ(setRaw("Blob", RegBinary, std::string(kMaxRegFileBytes / 2, '\x01')), CantWrite);
    EXPECT_EQ(readBytes(file), before);
}

TEST_F(SettingsFile, FileHoldsTheSettingsAsReadableText)
{
    ASSERT_TRUE(write("Left", "1200"));
    ASSERT_TRUE(write("IP Address", "127.0.0.1"));
    EXPECT_EQ(readBytes(file),
              "REGEDIT4\n"
              "; A quoted string holds exactly its bytes, with no terminating zero;\n"
              "; hex(1): holds string data that quoted text cannot carry.\n"
              "\n[HKEY_LOCAL_MACHINE\\SOFTWARE]\n"
              "\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Oxwell]\n"
              "\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Oxwell\\Quillon]\n"
              "\"Left\"=\"1200\"\n"
              "\"IP Address\"=\"127.0.0.1\"\n");
}

#ifndef _WIN32

// A save that changes nothing leaves the file as it was: not rewritten, not
// renamed over, not touched at all. One that changes anything replaces the
// file whole, which only the durable path does (written beside it, synced,
// renamed over it: a new inode), and a fresh reader sees it.
TEST_F(SettingsFile, SaveThatChangesNothingLeavesTheFileUntouched)
{
    struct Row
    {
        const char* what;
        std::string name;
        std::string text;
        bool changes;
    };
    const std::vector<Row> rows = {
        {"the same text again", "Left", "1200", false},
        {"the same value under another case", "LEFT", "1200", false},
        {"another text", "Left", "1201", true},
        {"a new value", "Top", "300", true},
    };
    const auto fingerprint = [this] {
        struct stat st = {};
        EXPECT_EQ(::stat(file.c_str(), &st), 0);
        return std::make_tuple(st.st_ino, st.st_mtim.tv_sec, st.st_mtim.tv_nsec, st.st_ctim.tv_sec,
                               st.st_ctim.tv_nsec, readBytes(file));
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        fs::remove(file);
        ASSERT_TRUE(write("Left", "1200"));
        const auto before = fingerprint();

        ASSERT_TRUE(write(row.name, row.text));

        const auto after = fingerprint();
        EXPECT_EQ(after == before, !row.changes);
        EXPECT_EQ(std::get<0>(after) != std::get<0>(before), row.changes) << "replaced whole";
        std::string text;
        RegFileRegistry fresh(file);
        EXPECT_TRUE(read(fresh, row.name, text));
        EXPECT_EQ(text, row.text);
        EXPECT_EQ(filesInFolder(), (std::vector<fs::path>{"registry.reg", "registry.reg.lock"}));
    }
}

TEST_F(SettingsFile, RewriteKeepsTheFilesPermissions)
{
    ASSERT_TRUE(write("Left", "1"));
    fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write);
    ASSERT_TRUE(write("Left", "2"));
    EXPECT_EQ(fs::status(file).permissions(), fs::perms::owner_read | fs::perms::owner_write);
}

TEST_F(SettingsFile, SymbolicLinkStaysALinkAndWhatItNamesTakesTheWrite)
{
    struct Row
    {
        const char* what;
        std::vector<std::pair<std::string, std::string>> links; // where, and what it says
        bool targetExists;
    };
    const std::vector<Row> rows = {
        {"link", {{"registry.reg", "real.reg"}}, true},
        {"link to a link in another folder",
         {{"registry.reg", "dots/mid.reg"}, {"dots/mid.reg", "../real.reg"}},
         true},
        {"link to a file not there yet", {{"registry.reg", "real.reg"}}, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        TempDir folder;
        fs::create_directories(folder.path() / "dots");
        const fs::path real = folder.path() / "real.reg";
        if (row.targetExists)
            writeBytes(real, "REGEDIT4\n[" + kKeyPath + "]\n\"Left\"=\"1\"\n");
        for (const auto& [where, says] : row.links)
            fs::create_symlink(says, folder.path() / where);

        RegFileRegistry registry(folder.path() / "registry.reg");
        ASSERT_TRUE(WriteSetting(registry, HKeyLocalMachine, kSettingsKey, "Top", "2"));
        ASSERT_TRUE(WriteSetting(registry, HKeyLocalMachine, kSettingsKey, "Top", "3"));

        for (const auto& [where, says] : row.links) {
            EXPECT_TRUE(fs::is_symlink(folder.path() / where)) << where;
            EXPECT_EQ(fs::read_symlink(folder.path() / where), fs::path(says));
        }
        ASSERT_TRUE(fs::is_regular_file(fs::symlink_status(real)));
        const RegFileParseResult parsed = parseRegFile(readBytes(real));
        const RegFileKey* key = parsed.regFile.findKey(kKeyPath);
        ASSERT_NE(key, nullptr);
        EXPECT_EQ(key->values().size(), row.targetExists ? 2u : 1u);
        std::string text;
        EXPECT_TRUE(read(registry, "Top", text));
        EXPECT_EQ(text, "3");
        EXPECT_FALSE(fs::exists(folder.path() / "real.reg.tmp"));
    }
}

TEST_F(SettingsFile, ReadOnlyFileOrFolderIsReadAndNeverWritten)
{
    if (::geteuid() == 0)
        GTEST_SKIP() << "running as root, whom permission bits do not bind; the fault matrix "
                        "checks this with the panel run as an unprivileged user";
    struct Row
    {
        const char* what;
        fs::perms file;
        fs::perms folder;
    };
    const fs::perms readable =
        fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read;
    const std::vector<Row> rows = {
        {"file made read-only", readable, fs::perms::owner_all},
        {"folder the user may not write", readable | fs::perms::owner_write,
         fs::perms::owner_read | fs::perms::owner_exec},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        TempDir folder;
        const fs::path settings = folder.path() / "settings";
        const fs::path regFileStore = settings / "registry.reg";
        fs::create_directories(settings);
        RegFileRegistry registry(regFileStore);
        ASSERT_TRUE(WriteSetting(registry, HKeyLocalMachine, kSettingsKey, "Left", "1"));
        fs::permissions(regFileStore, row.file);
        fs::permissions(settings, row.folder);
        struct stat before = {};
        {};
        ::stat(regFileStore.c_str(), &before);
        const std::string bytes = readBytes(regFileStore);

        std::string text;
        EXPECT_TRUE(ReadSetting(registry, HKeyLocalMachine, kSettingsKey, "Left", text));
        EXPECT_EQ(text, "1");
        EXPECT_FALSE(WriteSetting(registry, HKeyLocalMachine, kSettingsKey, "Left", "2"));
        // Not even a write that would change nothing succeeds.
        EXPECT_FALSE(WriteSetting(registry, HKeyLocalMachine, kSettingsKey, "Left", "1"));

        struct stat after = {};
        {};
        ::stat(regFileStore.c_str(), &after);
        EXPECT_EQ(readBytes(regFileStore), bytes);
        EXPECT_EQ(after.st_ino, before.st_ino);
        EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
        EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
        EXPECT_FALSE(fs::exists(settings / "registry.reg.tmp"));
        fs::permissions(settings, fs::perms::owner_all);
    }
}

class ScopedEnv
{
public:
    ScopedEnv(const char* name, const char* value) : m_name(name)
    {
        if (const char* old = std::getenv(name))
            m_old = old;
        m_had = std::getenv(name) != nullptr;
        if (value != nullptr)
            ::setenv(name, value, 1);
        else
            ::unsetenv(name);
    }
    ~ScopedEnv()
    {
        if (m_had)
            ::setenv(m_name, m_old.c_str(), 1);
        else
            ::unsetenv(m_name);
    }

private:
    const char* m_name;
    std::string m_old;
    bool m_had = false;
};

TEST(DefaultSettingsFile, PathFollowsTheEnvironment)
{
    struct Row
    {
        const char* named;
        const char* xdg;
        const char* home;
        const char* expected;
    };
    const std::vector<Row> rows = {
        {"/srv/regFile.reg", "/cfg", "/home/op", "/srv/regFile.reg"},
        {nullptr, "/cfg", "/home/op", "/cfg/quillon/registry.reg"},
        {"", "/cfg", "/home/op", "/cfg/quillon/registry.reg"},
        {nullptr, nullptr, "/home/op", "/home/op/.config/quillon/registry.reg"},
        {nullptr, "relative", "/home/op", "/home/op/.config/quillon/registry.reg"},
    };
    for (const Row& row : rows) {
        ScopedEnv named("QUILLON_REGISTRY", row.named);
        ScopedEnv xdg("XDG_CONFIG_HOME", row.xdg);
        ScopedEnv home("HOME", row.home);
        EXPECT_EQ(defaultRegFilePath(), fs::path(row.expected));
    }
}

TEST(DefaultSettingsFile, PlatformRegistryIsTheFileTheEnvironmentNames)
{
    TempDir folder;
    const fs::path named = folder.path() / "named.reg";
    ScopedEnv env("QUILLON_REGISTRY", named.c_str());
    const auto registry = platformRegistry();
    ASSERT_TRUE(WriteSetting(*registry, HKeyLocalMachine, kSettingsKey, "Left", "9"));
    EXPECT_NE(readBytes(named).find("\"Left\"=\"9\""), std::string::npos);
}

// A helper process with its standard output on a pipe.
class Writer
{
public:
    explicit Writer(std::vector<std::string> args)
    {
        args.insert(args.begin(), QUILLON_REGFILE_WRITER);
        std::vector<char*> argv;
        for (std::string& arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        int fds[2];
        if (::pipe(fds) != 0)
            throw std::runtime_error("pipe");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
        posix_spawn_file_actions_addclose(&actions, fds[0]);
        posix_spawn_file_actions_addclose(&actions, fds[1]);
        const int spawned = ::posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(fds[1]);
        m_fd = fds[0];
        if (spawned != 0)
            throw std::runtime_error("cannot start " + args[0]);
    }
    ~Writer()
    {
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            wait();
        }
        ::close(m_fd);
    }

    // The next line of output; false at its end.
    bool readLine(std::string& line)
    {
        while (true) {
            if (const std::size_t end = m_buffer.find('\n'); end != std::string::npos) {
                line = m_buffer.substr(0, end);
                m_buffer.erase(0, end + 1);
                return true;
            }
            char chunk[4096];
            const ::ssize_t n = ::read(m_fd, chunk, sizeof chunk);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            m_buffer.append(chunk, static_cast<std::size_t>(n));
        }
    }
    void kill() { ::kill(m_pid, SIGKILL); }
    int wait()
    {
        int status = 0;
        while (::waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
        }
        m_pid = -1;
        return status;
    }

private:
    pid_t m_pid = -1;
    int m_fd = -1;
    std::string m_buffer;
};

std::string counterText(unsigned long i)
{
    return std::to_string(i) + ":" + std::string(4000, static_cast<char>('a' + i % 26));
}

TEST_F(SettingsFile, WriterKilledAtAnyMomentLeavesTheOldOrTheNewValue)
{
    // Other values make the file long enough for kills to land mid-write.
    for (int k = 0; k < 10; ++k)
        ASSERT_TRUE(write("Filler " + std::to_string(k), std::string(1000, 'f')));
    ASSERT_EQ(setRaw("Counter", RegSz, counterText(0)), Success);

    constexpr int kMaxKills = 200;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    std::mt19937 random(std::random_device{}());
    unsigned long current = 0;
    int kills = 0, newerThanReported = 0, tornTemporaries = 0;
    const auto start = std::chrono::steady_clock::now();
    while (kills < kMaxKills && std::chrono::steady_clock::now() < deadline) {
        Writer writer({file.string(), "counter", std::to_string(current + 1)});
        std::string line;
        ASSERT_TRUE(writer.readLine(line)) << "the writer wrote nothing";
        const auto firstDone = std::chrono::steady_clock::now();
        ASSERT_TRUE(writer.readLine(line)) << "the writer stopped";
        // Waiting is the test here: the kill lands at a random moment within
        // the next two writes, however long a write takes on this machine.
        const auto period = std::chrono::steady_clock::now() - firstDone;
        std::uniform_int_distribution<long long> delay(0, 2 * period.count());
        std::this_thread::sleep_for(std::chrono::steady_clock::duration(delay(random)));
        writer.kill();
        unsigned long reported = std::stoul(line);
        while (writer.readLine(line))
            reported = std::stoul(line);
        writer.wait();
        ++kills;

        const RegFileParseResult parsed = parseRegFile(readBytes(file));
        ASSERT_TRUE(parsed.ok) << "after kill " << kills << ": " << parsed.line << ": "
                               << parsed.error;
        const RegFileKey* key = parsed.regFile.findKey(kKeyPath);
        ASSERT_NE(key, nullptr);
        ASSERT_EQ(key->values().size(), 11u);
        const RegFileValue* value = key->findValue("Counter");
        ASSERT_NE(value, nullptr);
        const std::string text(value->data.begin(), value->data.end());
        const unsigned long found = std::stoul(text);
        ASSERT_EQ(text, counterText(found)) << "a torn value";
        // What the writer reported last, or the one it was writing.
        ASSERT_TRUE(found == reported || found == reported + 1)
            << "found " << found << ", reported " << reported;
        newerThanReported += found == reported + 1;
        tornTemporaries += fs::exists(fs::path(file.string() + ".tmp"));
        current = found;
    }
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
    EXPECT_GE(kills, 20);
    std::cout << "[ kill test ] " << kills << " kills in " << elapsed.count() << " ms, " << current
              << " writes; file newer than reported " << newerThanReported
              << " times, a temporary file left " << tornTemporaries << " times\n";
    for (const auto& entry : fs::directory_iterator(dir.path()))
        EXPECT_EQ(entry.path().filename().string().find(".corrupt"), std::string::npos);
}

TEST_F(SettingsFile, WritersSideBySideLoseNoValue)
{
    constexpr int kEach = 60;
    Writer first({file.string(), "names", "first", std::to_string(kEach)});
    Writer second({file.string(), "names", "second", std::to_string(kEach)});
    Writer third({file.string(), "names", "third", std::to_string(kEach)});
    for (Writer* writer : {&first, &second, &third}) {
        const int status = writer->wait();
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    for (const char* prefix : {"first", "second", "third"}) {
        for (int k = 0; k < kEach; ++k) {
            std::string text;
            EXPECT_TRUE(read(std::string(prefix) + "-" + std::to_string(k), text))
                << prefix << "-" << k << " was lost";
            EXPECT_EQ(text, std::to_string(k));
        }
    }
}

#endif

} // namespace
