// Where the touch helpers live under the Program Files folder.
#pragma once

#include <cstddef>
#include <string>

// The platform's path buffers hold this many UTF-16 units, terminator included.
inline constexpr std::size_t kPathBufferUnits = 260;

enum class StylusProgram {
    Manager,  // answers the state query, shows and minimises the tool
    Tool,     // the tool itself, started hidden
};

struct StylusPaths {
    std::u16string application;
    std::u16string directory;  // the working directory of both programs
};

// Compose the stylus program's path and its working directory from the
// Program Files folder. False (and nothing to start) when the folder is
// unknown (empty) or either text would not fit a path buffer: a path cut
// short could name another program.
bool ComposeStylusPaths(const std::u16string& programFiles, StylusProgram program,
                        StylusPaths& paths);

// The on-screen keyboard's path, under the same rules.
bool ComposeKeyboardPath(const std::u16string& programFiles, std::u16string& path);
