#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "touch/StylusSequence.h"

namespace {

constexpr char16_t kFolder[] = u"C:\\Program Files";
constexpr uint32_t kThere = 0;
constexpr std::optional<uint32_t> kNoManager = std::nullopt;

// Answers each state query from a script and records every platform call
// in one line: "state", "tool", "start", "minimize", "wait".
class CScriptedHost : public IStylusHost {
public:
    // One entry per state query: the exit code, or nullopt for a manager
    // that cannot be started. Queries past the script find no manager.
    std::vector<std::optional<uint32_t>> m_stateExits;
    std::vector<bool> m_readySignals;  // one per wait for the ready event
    bool m_bToolStarts = true;
    std::u16string m_strFolder = kFolder;
    bool m_bFolderKnown = true;

    std::string m_strCalls;
    std::vector<std::u16string> m_runs;  // application|command line|directory

    bool GetProgramFilesFolder(std::u16string& folder) override {
        folder = m_strFolder;
        return m_bFolderKnown;
    }

    bool RunProgram(const std::u16string& application, const std::u16string& commandLine,
                    const std::u16string& directory, uint32_t& exitCode) override {
        m_runs.push_back(application + u'|' + commandLine + u'|' + directory);
        exitCode = 0;
        if (commandLine == u" -state") {
            Record("state");
            auto exit = Next(m_stateExits, m_nStateQueries, kNoManager);
            exitCode = exit.value_or(0);
            return exit.has_value();
        }
        if (commandLine == u" -hide -nosplash") {
            Record("tool");
            return m_bToolStarts;
        }
        Record(commandLine == u" -start" ? "start" : "minimize");
        return true;
    }

    bool WaitForReadyEvent() override {
        Record("wait");
        return Next(m_readySignals, m_nWaits, false);
    }

private:
    template <typename T>
    static T Next(const std::vector<T>& script, size_t& index, T past) {
        return index < script.size() ? script[index++] : past;
    }

    void Record(const char* call) {
        m_strCalls += m_strCalls.empty() ? "" : " ";
        m_strCalls += call;
    }

    size_t m_nStateQueries = 0;
    size_t m_nWaits = 0;
};

struct SequenceCase {
    const char* name;
    std::vector<std::optional<uint32_t>> stateExits;
    std::vector<bool> readySignals;
    bool toolStarts;
    const char* show;  // calls made by "stylusShow"
    const char* hide;  // calls made by "stylusHide"
};

// clang-format off
const SequenceCase kSequenceCases[] = {
    // name                          state exits                         ready    tool
    {"ToolThere",                    {kThere},                           {},      true,
     "state start",                  "state minimize"},
    {"NegativeThreeMeansThere",      {0xFFFFFFFDu},                      {},      true,
     "state start",                  "state minimize"},
    {"ManagerStillRunningMeansThere", {kStillActive},                    {},      true,
     "state start",                  "state minimize"},
    {"AbsentBothTimes",              {kStylusAbsent, kStylusAbsent},     {},      true,
     "state tool state",             "state"},
    {"LaunchedThenReady",            {kStylusAbsent, kStylusStarting},   {true},  true,
     "state tool state wait start",  "state"},
    {"LaunchedButNeverReady",        {kStylusAbsent, kStylusStarting},   {false}, true,
     "state tool state wait",        "state"},
    {"StartingAndReadyAtOnce",       {kStylusStarting},                  {true},  true,
     "state wait start",             "state wait minimize"},
    {"StartingNotReadyThenThere",    {kStylusStarting, kThere},          {false}, true,
     "state wait tool state start",  "state wait"},
    {"NoManager",                    {},                                 {},      true,
     "state tool state",             "state"},
    // A tool that cannot be started does not stop a later query from
    // finding one that is there by other means.
    {"ToolMissingButThereLater",     {kStylusAbsent, kThere},            {},      false,
     "state tool state start",       "state"},
};
// clang-format on

class StylusSequence : public ::testing::TestWithParam<SequenceCase> {
protected:
    CScriptedHost MakeHost() const {
        CScriptedHost host;
        host.m_stateExits = GetParam().stateExits;
        host.m_readySignals = GetParam().readySignals;
        host.m_bToolStarts = GetParam().toolStarts;
        return host;
    }
};

TEST_P(StylusSequence, ShowAndHide) {
    CScriptedHost show = MakeHost();
    RunStylusShow(show);
    EXPECT_EQ(show.m_strCalls, GetParam().show);

    CScriptedHost hide = MakeHost();
    RunStylusHide(hide);
    EXPECT_EQ(hide.m_strCalls, GetParam().hide);
}

INSTANTIATE_TEST_SUITE_P(Cases, StylusSequence, ::testing::ValuesIn(kSequenceCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(StylusPrograms, RunWithExactPathsCommandLinesAndDirectory) {
    CScriptedHost show;
    show.m_stateExits = {kStylusAbsent, kThere};
    RunStylusShow(show);
    CScriptedHost hide;
    hide.m_stateExits = {kThere};
    RunStylusHide(hide);

    const std::u16string dir = u"C:\\Program Files\\SoftStylus";
    const std::u16string manager = dir + u"\\StylusManager.exe|";
    const std::u16string tool = dir + u"\\Stylus.exe|";
    EXPECT_EQ(show.m_runs, (std::vector<std::u16string>{
                               manager + u" -state|" + dir,
                               tool + u" -hide -nosplash|" + dir,
                               manager + u" -state|" + dir,
                               manager + u" -start|" + dir,
                           }));
    ASSERT_EQ(hide.m_runs.size(), 2u);
    EXPECT_EQ(hide.m_runs[1], manager + u" -minimize 1|" + dir);
}

// A program whose path cannot be composed is not started: the queries yield
// false, so show gets no further than launching and hide stops at once.
struct UnusableFolderCase {
    const char* name;
    std::u16string folder;
    bool known;
    const char* show;
};

const UnusableFolderCase kUnusableFolders[] = {
    {"FolderUnknown", kFolder, false, ""},
    {"FolderEmpty", u"", true, ""},
    // The manager's path would fill the buffer to its last unit; the
    // shorter tool path still fits.
    {"ManagerPathOneTooLong", std::u16string(231, u'x'), true, "tool"},
};

class StylusUnusableFolder : public ::testing::TestWithParam<UnusableFolderCase> {};

TEST_P(StylusUnusableFolder, StartsNoProgramThatDoesNotFit) {
    const auto& c = GetParam();
    CScriptedHost show;
    show.m_strFolder = c.folder;
    show.m_bFolderKnown = c.known;
    show.m_stateExits = {kThere, kThere};
    RunStylusShow(show);
    EXPECT_EQ(show.m_strCalls, c.show);

    CScriptedHost hide;
    hide.m_strFolder = c.folder;
    hide.m_bFolderKnown = c.known;
    hide.m_stateExits = {kThere};
    RunStylusHide(hide);
    EXPECT_EQ(hide.m_strCalls, "");
}

INSTANTIATE_TEST_SUITE_P(Cases, StylusUnusableFolder, ::testing::ValuesIn(kUnusableFolders),
                         [](const auto& info) { return std::string(info.param.name); });

// Every composed path must leave room for the terminator of a path buffer.
struct PathLimitCase {
    const char* name;
    size_t folderLength;
    std::optional<StylusProgram> program;  // nullopt: the keyboard
    bool fits;
};

// Suffix lengths: manager 29, tool 22, keyboard 45 units.
const PathLimitCase kPathLimits[] = {
    {"ManagerFits", 230, StylusProgram::Manager, true},
    {"ManagerOneTooLong", 231, StylusProgram::Manager, false},
    {"ToolFits", 237, StylusProgram::Tool, true},
    {"ToolOneTooLong", 238, StylusProgram::Tool, false},
    {"KeyboardFits", 214, std::nullopt, true},
    {"KeyboardOneTooLong", 215, std::nullopt, false},
    {"KeyboardWithoutFolder", 0, std::nullopt, false},
};

class PathLimit : public ::testing::TestWithParam<PathLimitCase> {};

TEST_P(PathLimit, WholePathOrNothing) {
    const auto& c = GetParam();
    const std::u16string folder(c.folderLength, u'x');
    std::u16string path = u"untouched";
    bool fits = false;
    if (c.program) {
        StylusPaths paths{path, path};
        fits = ComposeStylusPaths(folder, *c.program, paths);
        path = paths.application;
    } else {
        fits = ComposeKeyboardPath(folder, path);
    }
    EXPECT_EQ(fits, c.fits);
    EXPECT_EQ(path.size(), c.fits ? kPathBufferUnits - 1 : 9u);
}

INSTANTIATE_TEST_SUITE_P(Cases, PathLimit, ::testing::ValuesIn(kPathLimits),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
