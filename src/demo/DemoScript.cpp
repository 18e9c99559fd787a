#include "demo/DemoScript.h"

#include <charconv>

namespace demo {

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && IsBlank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && IsBlank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

// Splits a trimmed line into its first word and the trimmed rest.
void SplitFirstWord(std::string_view line, std::string_view& word, std::string_view& rest) {
    size_t end = 0;
    while (end < line.size() && !IsBlank(line[end])) {
        ++end;
    }
    word = line.substr(0, end);
    rest = Trim(line.substr(end));
}

template <typename T>
bool ParseNumber(std::string_view text, T& value) {
    const char* first = text.data();
    const char* last = first + text.size();
    const auto [end, error] = std::from_chars(first, last, value);
    return error == std::errc() && end == last;
}

// Calls onLine(number, line) for every line that is neither blank nor a
// comment; a UTF-8 byte order mark at the start is skipped.
template <typename F>
void ForEachLine(std::string_view text, F onLine) {
    if (text.starts_with("\xEF\xBB\xBF")) {
        text.remove_prefix(3);
    }
    int number = 0;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        const std::string_view raw = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        ++number;
        const std::string_view line = Trim(raw);
        if (!line.empty() && line.front() != '#') {
            onLine(number, line);
        }
    }
}

std::string LineError(int number, std::string_view message, std::string_view line) {
    return "line " + std::to_string(number) + ": " + std::string(message) + ": " +
           std::string(line);
}

}  // namespace

bool ApplyOption(CDemoOptions& options, std::string_view name, std::string_view value) {
    if (name.starts_with("--")) {
        name.remove_prefix(2);
    }
    if (name == "url") {
        options.m_strUrl = value;
    } else if (name == "web") {
        options.m_strWebUrl = value;
    } else if (name == "log") {
        options.m_strLogPath = value;
    } else if (name == "script") {
        options.m_strScriptPath = value;
    } else if (name == "volume") {
        int volume = 0;
        if (!ParseNumber(value, volume) || volume < 0 || volume > 100) {
            return false;
        }
        options.m_nVolume = volume;
    } else {
        return false;
    }
    return true;
}

bool ParseArguments(const std::vector<std::string>& args, CDemoOptions& options,
                    std::string& error) {
    for (size_t i = 0; i < args.size(); i += 2) {
        if (i + 1 >= args.size()) {
            error = "no value for " + args[i];
            return false;
        }
        if (!ApplyOption(options, args[i], args[i + 1])) {
            error = "bad option: " + args[i] + " " + args[i + 1];
            return false;
        }
    }
    return true;
}

void ParseOptionsText(std::string_view text, CDemoOptions& options,
                      std::vector<std::string>& errors) {
    ForEachLine(text, [&](int number, std::string_view line) {
        std::string_view name;
        std::string_view value;
        SplitFirstWord(line, name, value);
        if (!ApplyOption(options, name, value)) {
            errors.push_back(LineError(number, "bad option", line));
        }
    });
}

std::vector<CScriptStep> ParseScript(std::string_view text, std::vector<std::string>& errors) {
    std::vector<CScriptStep> steps;
    ForEachLine(text, [&](int number, std::string_view line) {
        std::string_view word;
        std::string_view rest;
        SplitFirstWord(line, word, rest);
        CScriptStep step;
        step.m_nLine = number;
        if (word == "sleep") {
            step.m_kind = StepKind::Sleep;
            if (!ParseNumber(rest, step.m_nMs)) {
                errors.push_back(LineError(number, "sleep needs milliseconds", line));
                return;
            }
        } else if (word == "wait") {
            step.m_kind = StepKind::Wait;
            std::string_view ms;
            std::string_view awaited;
            SplitFirstWord(rest, ms, awaited);
            if (!ParseNumber(ms, step.m_nMs) || awaited.empty()) {
                errors.push_back(LineError(number, "wait needs milliseconds and an event", line));
                return;
            }
            step.m_strText = awaited;
        } else if (word == "note") {
            step.m_kind = StepKind::Note;
            step.m_strText = rest;
        } else {
            step.m_kind = StepKind::Command;
            step.m_strText = word;
            if (!rest.empty()) {
                step.m_data = std::string(rest);
            }
        }
        steps.push_back(std::move(step));
    });
    return steps;
}

bool MatchesWait(std::string_view eventLine, std::string_view awaited) {
    if (awaited.empty() || !eventLine.starts_with(awaited)) {
        return false;
    }
    return eventLine.size() == awaited.size() || IsBlank(eventLine[awaited.size()]);
}

}  // namespace demo
