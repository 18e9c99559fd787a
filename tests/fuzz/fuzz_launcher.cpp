// libFuzzer target for the launcher channel: the property is described, and
// checked, in LauncherFuzzCheck.h.
#include "LauncherFuzzCheck.h"
#include "FuzzMain.h"

TUNARA_FUZZ_PROPERTY("launcher channel", launcher_fuzz::CheckLauncher)
