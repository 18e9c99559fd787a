#include "net/Dispatch.h"

#include <iterator>

namespace {

enum class Command {
    Play,
    Stop,
    SetVolume,
    TouchKeyboard,
    StylusShow,
    StylusHide,
    OpenUrl,
    LauncherMinimize,
    LauncherClose,
};

struct CommandName {
    const char16_t* name;
    Command command;
};

// Compared in this order, case-sensitively; the first equal name runs.
constexpr CommandName kCommands[] = {
    {u"wmpPlay", Command::Play},
    {u"wmpStop", Command::Stop},
    {u"wmpSetVolume", Command::SetVolume},
    {u"tipShow", Command::TouchKeyboard},
    {u"stylusShow", Command::StylusShow},
    {u"stylusHide", Command::StylusHide},
    {u"getURL", Command::OpenUrl},
    {u"launcherMinimize", Command::LauncherMinimize},
    {u"launcherClose", Command::LauncherClose},
};

// The argument's text whatever its kind (a non-string reads as empty), or
// null when the command array has no "data" member at all.
const std::u16string* FindData(const CAmfValue& root) {
    const CAmfValue* data = root.FindMember(u"data");
    return data != nullptr ? &data->m_strValue : nullptr;
}

void RunCommand(Command command, const CAmfValue& root, ICommandTarget& frame) {
    switch (command) {
        case Command::Play: {
            // Without a player the argument is not even looked at.
            if (!frame.HasPlayerDialog()) {
                return;
            }
            if (const std::u16string* url = FindData(root)) {
                frame.PlayUrl(*url);
            }
            return;
        }
        case Command::Stop:
            if (frame.HasPlayerDialog()) {
                frame.StopPlayback();
            }
            return;
        case Command::SetVolume:
            if (const std::u16string* text = FindData(root)) {
                frame.ApplyVolume(*text);
            }
            return;
        case Command::TouchKeyboard:
            frame.ShowTouchKeyboard();
            return;
        case Command::StylusShow:
            frame.StylusShow();
            return;
        case Command::StylusHide:
            frame.StylusHide();
            return;
        case Command::OpenUrl: {
            const std::u16string* url = FindData(root);
            if (url != nullptr && !url->empty()) {
                frame.OpenUrl(*url);
            }
            return;
        }
        case Command::LauncherMinimize:
            frame.LauncherMinimize();
            return;
        case Command::LauncherClose:
            frame.LauncherClose();
            return;
    }
}

}  // namespace

void DispatchCommand(const CAmfMessage& message, ICommandTarget& frame) {
    if (message.GetCount() != 1) {
        return;
    }
    const CAmfValue* root = message.FirstValue();
    if (root == nullptr || root->m_nType != AMF_ARRAY || root->m_bHasMembers == 0) {
        return;
    }
    const CAmfValue* type = root->FindMember(u"type");
    if (type == nullptr) {
        return;
    }
    for (const CommandName& entry : kCommands) {
        if (type->m_strValue == entry.name) {
            RunCommand(entry.command, *root, frame);
            return;
        }
    }
}
