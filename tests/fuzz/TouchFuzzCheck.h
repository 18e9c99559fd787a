// The properties the touch paths' fuzz target checks, shared with the unit
// test that replays its seeds and saved inputs (tests/unit/fuzz).
//
// Input: byte 0 picks the operation (0 "stylusShow", 1 "stylusHide", 2 the
// state query, 3 the keyboard's path); byte 1's top bit makes fetching the
// Program Files folder fail, and its low bits with byte 2 give the folder's
// length (0 to 511 units); the folder's units come from the next bytes
// (repeated as needed, each byte widened, 0x80 and above mapped to letters
// outside ASCII). The rest is a script the host follows: each program run
// takes one byte (top bit: the program could not be started; low bits choose
// the exit code: absent, starting, still running, 0, 1, or 2 + the byte),
// each wait for the ready event one byte (odd: signalled). An exhausted
// script fails every start and every wait.
//
// Properties:
//  - every program started is the stylus manager or tool under
//    folder\SoftStylus, in that directory, and both texts fit a path buffer;
//    with no folder, or one too long, nothing is started;
//  - the command lines, and the order of starts and waits, are those of the
//    decision sequence: query (" -state", then a wait when it reports
//    starting), and for "stylusShow" a launch (" -hide -nosplash") and a
//    second query when the tool is not there, then " -start"; for
//    "stylusHide" " -minimize 1" only when it is there;
//  - the keyboard's path is folder + the fixed suffix, or none when it would
//    not fit.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "touch/StylusSequence.h"
#include "touch/TouchPaths.h"

namespace touch_fuzz {

class CScriptedHost : public IStylusHost {
public:
    CScriptedHost(bool folderOk, std::u16string folder, const uint8_t* script, size_t size)
        : m_bFolderOk(folderOk), m_strFolder(std::move(folder)), m_pScript(script), m_nSize(size) {}

    bool GetProgramFilesFolder(std::u16string& folder) override {
        ++m_nFolderCalls;
        if (!m_bFolderOk)
            return false;
        folder = m_strFolder;
        return true;
    }

    bool RunProgram(const std::u16string& application, const std::u16string& commandLine,
                    const std::u16string& directory, uint32_t& exitCode) override {
        m_log.push_back({application, commandLine, directory});
        const int b = Next();
        if (b < 0 || (b & 0x80) != 0)
            return false;
        switch (b % 6) {
            case 0:
                exitCode = kStylusAbsent;
                break;
            case 1:
                exitCode = kStylusStarting;
                break;
            case 2:
                exitCode = kStillActive;
                break;
            case 3:
                exitCode = 0;
                break;
            case 4:
                exitCode = 1;
                break;
            default:
                exitCode = 2u + static_cast<uint32_t>(b);
                break;
        }
        m_exitCodes.push_back(exitCode);
        return true;
    }

    bool WaitForReadyEvent() override {
        m_log.push_back({u"<wait>", {}, {}});
        const int b = Next();
        return b >= 0 && (b & 1) != 0;
    }

    struct Entry {
        std::u16string application;
        std::u16string commandLine;
        std::u16string directory;
        bool operator==(const Entry&) const = default;
    };
    std::vector<Entry> m_log;
    std::vector<uint32_t> m_exitCodes;
    int m_nFolderCalls = 0;

    int Next() { return m_nNext < m_nSize ? m_pScript[m_nNext++] : -1; }

private:
    bool m_bFolderOk;
    std::u16string m_strFolder;
    const uint8_t* m_pScript;
    size_t m_nSize;
    size_t m_nNext = 0;
};

// What the sequence should do, played against the same script.
class CModel {
public:
    CModel(bool folderOk, const std::u16string& folder, const uint8_t* script, size_t size)
        : m_bFolderOk(folderOk), m_strFolder(folder), m_pScript(script), m_nSize(size) {}

    std::vector<CScriptedHost::Entry> m_log;

    // One start: false when it could not be made; exit code as the script says.
    bool Run(bool manager, const char16_t* commandLine, uint32_t& exitCode) {
        const std::u16string directory = m_strFolder + u"\\SoftStylus";
        const std::u16string application =
            directory + (manager ? u"\\StylusManager.exe" : u"\\Stylus.exe");
        // Nothing is started without a folder or with a path cut short.
        if (!m_bFolderOk || m_strFolder.empty() || application.size() >= kPathBufferUnits)
            return false;
        m_log.push_back({application, commandLine, directory});
        const int b = Next();
        if (b < 0 || (b & 0x80) != 0)
            return false;
        const uint32_t codes[] = {kStylusAbsent, kStylusStarting, kStillActive, 0, 1};
        exitCode = b % 6 < 5 ? codes[b % 6] : 2u + static_cast<uint32_t>(b);
        return true;
    }
    bool Query() {
        uint32_t code = 0;
        if (!Run(true, u" -state", code))
            return false;
        if (code == kStylusStarting) {
            m_log.push_back({u"<wait>", {}, {}});
            const int b = Next();
            return b >= 0 && (b & 1) != 0;
        }
        return code != kStylusAbsent;
    }
    void Show() {
        uint32_t ignored = 0;
        if (!Query()) {
            Run(false, u" -hide -nosplash", ignored);
            if (!Query())
                return;
        }
        Run(true, u" -start", ignored);
    }
    void Hide() {
        uint32_t ignored = 0;
        if (Query())
            Run(true, u" -minimize 1", ignored);
    }

private:
    int Next() { return m_nNext < m_nSize ? m_pScript[m_nNext++] : -1; }
    bool m_bFolderOk;
    std::u16string m_strFolder;
    const uint8_t* m_pScript;
    size_t m_nSize;
    size_t m_nNext = 0;
};

inline std::string CheckTouch(const uint8_t* data, size_t size) {
    if (size < 3)
        return {};
    const int op = data[0] % 4;
    const bool folderOk = (data[1] & 0x80) == 0;
    const size_t length = static_cast<size_t>(data[1] & 1) << 8 | data[2];
    size_t pos = 3;
    std::u16string folder;
    const size_t source = std::min(length, size - pos);
    for (size_t k = 0; k < length && source > 0; ++k) {
        const uint8_t b = data[pos + k % source];
        folder.push_back(b < 0x80 ? static_cast<char16_t>(b) : static_cast<char16_t>(0x0400 + b));
    }
    if (source == 0)
        folder.assign(length, u'P');
    pos += source;
    const uint8_t* script = data + pos;
    const size_t scriptSize = size - pos;

    const std::u16string directory = folder + u"\\SoftStylus";

    if (op == 3) {
        std::u16string path = u"unchanged";
        const bool ok = ComposeKeyboardPath(folder, path);
        const std::u16string expected =
            folder + u"\\Common Files\\Microsoft Shared\\Ink\\TabTip.exe";
        const bool fits = !folder.empty() && expected.size() < kPathBufferUnits;
        if (ok != fits)
            return fits ? "a keyboard path that fits was refused"
                        : "a keyboard path too long was made";
        if (ok && path != expected)
            return "keyboard path wrong";
        if (!ok && path != u"unchanged")
            return "a refused keyboard path changed its output";
        return {};
    }

    CScriptedHost host(folderOk, folder, script, scriptSize);
    CModel model(folderOk, folder, script, scriptSize);
    switch (op) {
        case 0:
            RunStylusShow(host);
            model.Show();
            break;
        case 1:
            RunStylusHide(host);
            model.Hide();
            break;
        default: {
            const bool there = QueryStylusState(host);
            if (there != model.Query())
                return "the state query answered wrongly";
            break;
        }
    }
    for (const auto& entry : host.m_log) {
        if (entry.application == u"<wait>")
            continue;
        if (!folderOk || folder.empty())
            return "a program was started without a folder";
        if (entry.directory != directory)
            return "a program started in the wrong directory";
        if (entry.application != directory + u"\\StylusManager.exe" &&
            entry.application != directory + u"\\Stylus.exe")
            return "a program other than the stylus manager or tool was started";
        if (entry.application.size() >= kPathBufferUnits ||
            entry.directory.size() >= kPathBufferUnits)
            return "a path does not fit its buffer";
    }
    if (host.m_log != model.m_log) {
        return "the sequence made " + std::to_string(host.m_log.size()) +
               " starts and waits, the model " + std::to_string(model.m_log.size());
    }
    return {};
}

}  // namespace touch_fuzz
