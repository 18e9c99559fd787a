// libFuzzer target for the touch paths: the property is described, and
// checked, in TouchFuzzCheck.h.
#include "TouchFuzzCheck.h"
#include "FuzzMain.h"

TUNARA_FUZZ_PROPERTY("touch paths", touch_fuzz::CheckTouch)
