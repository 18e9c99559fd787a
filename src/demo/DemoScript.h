// The demo UI's start options and its command scripts. Platform-free.
//
// Options come from the command line as "--name value" pairs or, when the
// program is started without arguments (the helper starts the UI that way),
// from a file beside it with one "name value" per line:
//   url <stream URL>      prefills the station field
//   web <address>         prefills the web page field
//   volume <0..100>       the volume control's start value
//   log <path>            every event is appended to this file as one line
//   script <path>         a script run once the helper is connected
//
// A script has one step per line; blank lines and lines starting with '#'
// are skipped:
//   sleep <ms>                      pause
//   wait <ms> <event text>          pause until an event whose line starts
//                                   with the text (a whole word) has arrived
//                                   since the last command, or time runs out
//   note <text>                     write "# <text>" to the log
//   <command> [data]                send the command; data is the rest of
//                                   the line
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace demo {

struct CDemoOptions {
    std::string m_strUrl = "http://127.0.0.1:8000/radio";
    std::string m_strWebUrl = "https://example.org/";
    int m_nVolume = 100;
    std::string m_strLogPath;  // UTF-8; empty for no log
    std::string m_strScriptPath;
};

// Sets one option; the name may carry a leading "--". False for an unknown
// name or a value that does not fit it.
bool ApplyOption(CDemoOptions& options, std::string_view name, std::string_view value);

// "--name value" pairs. False, with a message in error, at the first bad one.
bool ParseArguments(const std::vector<std::string>& args, CDemoOptions& options,
                    std::string& error);

// The options file; bad lines are skipped, each with a message in errors.
void ParseOptionsText(std::string_view text, CDemoOptions& options,
                      std::vector<std::string>& errors);

enum class StepKind { Command, Sleep, Wait, Note };

struct CScriptStep {
    StepKind m_kind = StepKind::Command;
    std::string m_strText;  // command name, awaited event text or note
    std::optional<std::string> m_data;
    uint32_t m_nMs = 0;
    int m_nLine = 0;
};

// Malformed lines are skipped, each with a message in errors.
std::vector<CScriptStep> ParseScript(std::string_view text, std::vector<std::string>& errors);

// Whether an event line answers a wait: it starts with the awaited text, and
// the text ends at a word boundary ("wmpStatusEvent 3" does not match
// "wmpStatusEvent 30").
bool MatchesWait(std::string_view eventLine, std::string_view awaited);

}  // namespace demo
