// Small file helpers of the demo UI.
#pragma once

#include <string>

namespace demo {

// The whole file as bytes; false when it cannot be opened or read.
bool ReadFileText(const std::wstring& path, std::string& text);

// The folder of the running program, without a trailing backslash.
std::wstring ProgramFolder();

}  // namespace demo
