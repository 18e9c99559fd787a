// libFuzzer target for the dispatcher: the property is described, and
// checked, in DispatchFuzzCheck.h.
#include "DispatchFuzzCheck.h"
#include "FuzzMain.h"

TUNARA_FUZZ_PROPERTY("dispatcher", dispatch_fuzz::CheckDispatch)
