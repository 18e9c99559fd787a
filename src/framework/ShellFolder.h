// The one lookup of the Program Files folder, under which the helper finds
// every program it starts.
#pragma once

#include <windows.h>
#include <shlobj.h>

#include <string>

// The folder as the system gives it now (SHGFP_TYPE_CURRENT). False, and
// folder untouched, when the system names none, or names one that does not
// exist (S_FALSE): nothing is to be started from a folder that is not there.
inline bool AfxGetProgramFilesFolder(std::wstring& folder) {
    wchar_t buffer[MAX_PATH] = {};
    if (::SHGetFolderPathW(nullptr, CSIDL_PROGRAM_FILES, nullptr, SHGFP_TYPE_CURRENT, buffer) !=
        S_OK) {
        return false;
    }
    folder.assign(buffer);
    return true;
}
