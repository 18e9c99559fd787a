// The decisions behind "stylusShow" and "stylusHide", apart from the
// platform calls that carry them out.
#pragma once

#include <cstdint>
#include <string>

#include "touch/TouchPaths.h"

// How long each stylus program and the ready event are waited for.
inline constexpr uint32_t kStylusWaitMs = 5000;

// Exit codes of the manager's state query.
inline constexpr uint32_t kStylusAbsent = 0xFFFFFFFEu;
inline constexpr uint32_t kStylusStarting = 0xFFFFFFFFu;  // wait for the ready event
// What a program still running after the wait reports.
inline constexpr uint32_t kStillActive = 259;

// The event a starting tool signals once it is ready; a plain name, so it
// lives in the session's local namespace.
inline constexpr char16_t kStylusReadyEventName[] = u"E8950229-DE66-4b6e-B189-5EA7B36A1007";

// What the sequence needs of the platform.
class IStylusHost {
public:
    virtual ~IStylusHost() = default;

    // The Program Files folder, fetched afresh each time.
    virtual bool GetProgramFilesFolder(std::u16string& folder) = 0;

    // Starts application with commandLine as its whole command line (the
    // application name goes separately), in directory; waits at most
    // kStylusWaitMs and reads the exit code, kStillActive when the program
    // has not ended. False when the program could not be started.
    virtual bool RunProgram(const std::u16string& application, const std::u16string& commandLine,
                            const std::u16string& directory, uint32_t& exitCode) = 0;

    // Creates or opens the ready event and waits at most kStylusWaitMs;
    // true only when the event was signalled.
    virtual bool WaitForReadyEvent() = 0;
};

// True when the tool is there and ready.
bool QueryStylusState(IStylusHost& host);
// Starts the tool hidden; its exit code does not matter.
void LaunchStylus(IStylusHost& host);
// Shows the tool, or minimises it.
void ShowStylus(IStylusHost& host, bool show);

// "stylusShow": show a tool that is there; otherwise launch it and show it
// if it then reports itself there.
void RunStylusShow(IStylusHost& host);
// "stylusHide": minimise the tool if it is there.
void RunStylusHide(IStylusHost& host);
