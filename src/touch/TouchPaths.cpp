#include "touch/TouchPaths.h"

namespace {

constexpr char16_t kStylusFolder[] = u"\\SoftStylus";
constexpr char16_t kManagerName[] = u"\\StylusManager.exe";
constexpr char16_t kToolName[] = u"\\Stylus.exe";
constexpr char16_t kKeyboardSuffix[] = u"\\Common Files\\Microsoft Shared\\Ink\\TabTip.exe";

bool FitsPathBuffer(const std::u16string& path) {
    return path.size() < kPathBufferUnits;
}

}  // namespace

bool ComposeStylusPaths(const std::u16string& programFiles, StylusProgram program,
                        StylusPaths& paths) {
    if (programFiles.empty()) {
        return false;
    }
    std::u16string directory = programFiles + kStylusFolder;
    std::u16string application =
        directory + (program == StylusProgram::Manager ? kManagerName : kToolName);
    if (!FitsPathBuffer(directory) || !FitsPathBuffer(application)) {
        return false;
    }
    paths.application = std::move(application);
    paths.directory = std::move(directory);
    return true;
}

bool ComposeKeyboardPath(const std::u16string& programFiles, std::u16string& path) {
    if (programFiles.empty()) {
        return false;
    }
    std::u16string composed = programFiles + kKeyboardSuffix;
    if (!FitsPathBuffer(composed)) {
        return false;
    }
    path = std::move(composed);
    return true;
}
