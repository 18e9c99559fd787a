#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "amf/Amf.h"
#include "net/Dispatch.h"
#include "net/Events.h"

namespace {

// Records each operation as text; the arguments in the tests are ASCII.
class CRecordingTarget : public ICommandTarget {
public:
    explicit CRecordingTarget(bool hasPlayer) : m_bHasPlayer(hasPlayer) {}

    bool HasPlayerDialog() override { return m_bHasPlayer; }
    void PlayUrl(const std::u16string& url) override { Record("PlayUrl", url); }
    void StopPlayback() override { Record("StopPlayback"); }
    void ApplyVolume(const std::u16string& text) override { Record("ApplyVolume", text); }
    void ShowTouchKeyboard() override { Record("ShowTouchKeyboard"); }
    void StylusShow() override { Record("StylusShow"); }
    void StylusHide() override { Record("StylusHide"); }
    void OpenUrl(const std::u16string& url) override { Record("OpenUrl", url); }
    void LauncherMinimize() override { Record("LauncherMinimize"); }
    void LauncherClose() override { Record("LauncherClose"); }

    std::string m_calls;

private:
    void Record(const char* operation, const std::u16string& argument = u"") {
        m_calls += operation;
        m_calls += '(';
        m_calls.append(argument.begin(), argument.end());
        m_calls += ')';
    }

    bool m_bHasPlayer;
};

enum Data { kAbsent, kText, kNumber };

struct DispatchCase {
    const char* name;
    std::u16string type;
    Data data;
    std::u16string text;
    bool hasPlayer;
    std::string calls;
    // Variations of the envelope around the command.
    int copies = 1;
    bool hasMembersFlag = true;
    std::u16string typeKey = u"type";
    bool typeIsNumber = false;
    bool extras = false;
};

class Dispatch : public ::testing::TestWithParam<DispatchCase> {};

TEST_P(Dispatch, RunsWhatTheCommandTableSays) {
    const DispatchCase& c = GetParam();
    CAmfMessage message;
    for (int i = 0; i < c.copies; ++i) {
        auto root = MakeArray(message);
        root->m_bHasMembers = c.hasMembersFlag ? 1 : 0;
        root->SetMember(c.typeKey,
                        c.typeIsNumber ? MakeInteger(message, 1) : MakeString(message, c.type));
        if (c.data != kAbsent) {
            root->SetMember(
                u"data", c.data == kText ? MakeString(message, c.text) : MakeDouble(message, 35.0));
        }
        if (c.extras) {
            root->SetMember(u"Data", MakeString(message, u"http://elsewhere"));
            root->SetMember(u"extra", MakeString(message, u"getURL"));
            root->AddElement(MakeString(message, u"wmpStop"));
        }
        message.AddValue(std::move(root));
    }
    CRecordingTarget target(c.hasPlayer);
    DispatchCommand(message, target);
    EXPECT_EQ(target.m_calls, c.calls);
}

INSTANTIATE_TEST_SUITE_P(
    Commands, Dispatch,
    ::testing::Values(
        DispatchCase{"Play", u"wmpPlay", kText, u"http://radio/x", true, "PlayUrl(http://radio/x)"},
        DispatchCase{"PlayNumberReadsAsEmpty", u"wmpPlay", kNumber, u"", true, "PlayUrl()"},
        DispatchCase{"PlayWithoutData", u"wmpPlay", kAbsent, u"", true, ""},
        DispatchCase{"PlayWithoutPlayer", u"wmpPlay", kText, u"x", false, ""},
        DispatchCase{"Stop", u"wmpStop", kAbsent, u"", true, "StopPlayback()"},
        DispatchCase{"StopWithoutPlayer", u"wmpStop", kAbsent, u"", false, ""},
        DispatchCase{"Volume", u"wmpSetVolume", kText, u"35%", true, "ApplyVolume(35%)"},
        DispatchCase{"VolumeWithoutPlayer", u"wmpSetVolume", kText, u"35", false,
                     "ApplyVolume(35)"},
        DispatchCase{"VolumeNumberReadsAsEmpty", u"wmpSetVolume", kNumber, u"", true,
                     "ApplyVolume()"},
        DispatchCase{"VolumeWithoutData", u"wmpSetVolume", kAbsent, u"", true, ""},
        DispatchCase{"TouchKeyboard", u"tipShow", kAbsent, u"", false, "ShowTouchKeyboard()"},
        DispatchCase{"StylusShow", u"stylusShow", kAbsent, u"", false, "StylusShow()"},
        DispatchCase{"StylusHide", u"stylusHide", kAbsent, u"", false, "StylusHide()"},
        DispatchCase{"OpenUrl", u"getURL", kText, u"https://a.example/", false,
                     "OpenUrl(https://a.example/)"},
        DispatchCase{"OpenUrlEmpty", u"getURL", kText, u"", true, ""},
        DispatchCase{"OpenUrlNumber", u"getURL", kNumber, u"", true, ""},
        DispatchCase{"OpenUrlWithoutData", u"getURL", kAbsent, u"", true, ""},
        DispatchCase{"Minimize", u"launcherMinimize", kAbsent, u"", false, "LauncherMinimize()"},
        DispatchCase{"Close", u"launcherClose", kText, u"x", false, "LauncherClose()"},
        DispatchCase{"OtherCase", u"wmpplay", kText, u"x", true, ""},
        DispatchCase{"TrailingSpace", u"wmpStop ", kAbsent, u"", true, ""},
        DispatchCase{"NoValues", u"wmpStop", kAbsent, u"", true, "", 0},
        DispatchCase{"TwoValues", u"wmpStop", kAbsent, u"", true, "", 2},
        DispatchCase{"NoMembersFlag", u"wmpStop", kAbsent, u"", true, "", 1, false},
        DispatchCase{"TypeKeyCapitalised", u"wmpStop", kAbsent, u"", true, "", 1, true, u"Type"},
        DispatchCase{"TypeIsNumber", u"wmpStop", kAbsent, u"", true, "", 1, true, u"type", true},
        DispatchCase{"ExtrasIgnored", u"wmpPlay", kText, u"u", true, "PlayUrl(u)", 1, true, u"type",
                     false, true}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
