#include "touch/StylusSequence.h"

namespace {

// Runs one stylus program; false when it could not be started, including
// when its path could not be composed.
bool RunStylusProgram(IStylusHost& host, StylusProgram program, const std::u16string& commandLine,
                      uint32_t& exitCode) {
    std::u16string folder;
    if (!host.GetProgramFilesFolder(folder)) {
        return false;
    }
    StylusPaths paths;
    if (!ComposeStylusPaths(folder, program, paths)) {
        return false;
    }
    return host.RunProgram(paths.application, commandLine, paths.directory, exitCode);
}

}  // namespace

bool QueryStylusState(IStylusHost& host) {
    uint32_t exitCode = 0;
    if (!RunStylusProgram(host, StylusProgram::Manager, u" -state", exitCode)) {
        return false;
    }
    if (exitCode == kStylusStarting) {
        return host.WaitForReadyEvent();
    }
    // Anything else, a manager that is still running included, means there.
    return exitCode != kStylusAbsent;
}

void LaunchStylus(IStylusHost& host) {
    uint32_t ignored = 0;
    RunStylusProgram(host, StylusProgram::Tool, u" -hide -nosplash", ignored);
}

void ShowStylus(IStylusHost& host, bool show) {
    uint32_t ignored = 0;
    RunStylusProgram(host, StylusProgram::Manager, show ? u" -start" : u" -minimize 1", ignored);
}

void RunStylusShow(IStylusHost& host) {
    if (!QueryStylusState(host)) {
        LaunchStylus(host);
        if (!QueryStylusState(host)) {
            return;
        }
    }
    ShowStylus(host, true);
}

void RunStylusHide(IStylusHost& host) {
    if (QueryStylusState(host)) {
        ShowStylus(host, false);
    }
}
