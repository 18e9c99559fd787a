// The demo UI's start options and command scripts.
#include "demo/DemoScript.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace {

TEST(DemoScript, OptionsTakeWhatFitsAndRefuseTheRest) {
    struct Case {
        const char* name;
        const char* value;
        bool ok;
    } cases[] = {
        {"url", "http://127.0.0.1:9000/x", true},
        {"--web", "https://example.com/", true},
        {"log", "C:\\demo log.txt", true},
        {"script", "run.txt", true},
        {"volume", "0", true},
        {"volume", "100", true},
        {"volume", "101", false},
        {"volume", "-1", false},
        {"volume", "50%", false},
        {"volume", "", false},
        {"colour", "red", false},
        {"-url", "http://x/", false},  // one dash is not the option prefix
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " " + c.value);
        demo::CDemoOptions options;
        options.m_nVolume = 7;
        EXPECT_EQ(demo::ApplyOption(options, c.name, c.value), c.ok);
        if (!c.ok) {
            EXPECT_EQ(options.m_nVolume, 7);  // a refused value changes nothing
        }
    }
}

TEST(DemoScript, ArgumentsComeInPairs) {
    demo::CDemoOptions options;
    std::string error;
    EXPECT_TRUE(demo::ParseArguments({"--url", "http://a/", "--volume", "30"}, options, error));
    EXPECT_EQ(options.m_strUrl, "http://a/");
    EXPECT_EQ(options.m_nVolume, 30);

    EXPECT_FALSE(demo::ParseArguments({"--volume", "30", "--log"}, options, error));
    EXPECT_EQ(error, "no value for --log");
    EXPECT_FALSE(demo::ParseArguments({"--volume", "loud"}, options, error));
    EXPECT_EQ(error, "bad option: --volume loud");
}

TEST(DemoScript, OptionsFileSkipsCommentsAndReportsBadLines) {
    demo::CDemoOptions options;
    std::vector<std::string> errors;
    demo::ParseOptionsText(
        "\xEF\xBB\xBF# demo settings\r\n"
        "url   http://127.0.0.1:8000/jazz  \r\n"
        "\r\n"
        "volume 300\r\n"
        "log C:\\logs\\demo events.txt\r\n",
        options, errors);
    EXPECT_EQ(options.m_strUrl, "http://127.0.0.1:8000/jazz");
    EXPECT_EQ(options.m_nVolume, 100);
    EXPECT_EQ(options.m_strLogPath, "C:\\logs\\demo events.txt");
    EXPECT_EQ(errors, (std::vector<std::string>{"line 4: bad option: volume 300"}));
}

TEST(DemoScript, ScriptStepsKeepTheirLineNumbers) {
    std::vector<std::string> errors;
    const std::vector<demo::CScriptStep> steps = demo::ParseScript(
        "# start a station\n"
        "wmpPlay http://127.0.0.1:8000/radio stream\n"
        "wait 5000 wmpStatusEvent 3\n"
        "\n"
        "sleep 250\n"
        "note volume down\n"
        "wmpStop\n",
        errors);
    EXPECT_TRUE(errors.empty());
    ASSERT_EQ(steps.size(), 5u);

    EXPECT_EQ(steps[0].m_kind, demo::StepKind::Command);
    EXPECT_EQ(steps[0].m_strText, "wmpPlay");
    EXPECT_EQ(steps[0].m_data, std::optional<std::string>("http://127.0.0.1:8000/radio stream"));
    EXPECT_EQ(steps[0].m_nLine, 2);

    EXPECT_EQ(steps[1].m_kind, demo::StepKind::Wait);
    EXPECT_EQ(steps[1].m_nMs, 5000u);
    EXPECT_EQ(steps[1].m_strText, "wmpStatusEvent 3");

    EXPECT_EQ(steps[2].m_kind, demo::StepKind::Sleep);
    EXPECT_EQ(steps[2].m_nMs, 250u);
    EXPECT_EQ(steps[2].m_nLine, 5);

    EXPECT_EQ(steps[3].m_kind, demo::StepKind::Note);
    EXPECT_EQ(steps[3].m_strText, "volume down");

    // A command without data sends none, not an empty text.
    EXPECT_EQ(steps[4].m_strText, "wmpStop");
    EXPECT_FALSE(steps[4].m_data.has_value());
}

TEST(DemoScript, MalformedStepsAreSkippedWithAMessage) {
    std::vector<std::string> errors;
    const std::vector<demo::CScriptStep> steps = demo::ParseScript(
        "sleep soon\n"
        "sleep -5\n"
        "wait 100\n"
        "wait x wmpMediaEvent\n"
        "tipShow\n",
        errors);
    ASSERT_EQ(steps.size(), 1u);
    EXPECT_EQ(steps[0].m_strText, "tipShow");
    EXPECT_EQ(errors, (std::vector<std::string>{
                          "line 1: sleep needs milliseconds: sleep soon",
                          "line 2: sleep needs milliseconds: sleep -5",
                          "line 3: wait needs milliseconds and an event: wait 100",
                          "line 4: wait needs milliseconds and an event: wait x wmpMediaEvent",
                      }));
}

TEST(DemoScript, AWaitMatchesWholeWordsOnly) {
    struct Case {
        const char* line;
        const char* awaited;
        bool matches;
    } cases[] = {
        {"wmpStatusEvent 3 (playing)", "wmpStatusEvent 3", true},
        {"wmpStatusEvent 30", "wmpStatusEvent 3", false},
        {"wmpStatusEvent 3", "wmpStatusEvent 3", true},
        {"wmpMediaEvent {Title: \"x\"}", "wmpMediaEvent", true},
        {"wmpMediaEventX", "wmpMediaEvent", false},
        {"closeEvent true", "", false},
        {"", "closeEvent", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.line) + " / " + c.awaited);
        EXPECT_EQ(demo::MatchesWait(c.line, c.awaited), c.matches);
    }
}

}  // namespace
