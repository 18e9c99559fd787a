// libFuzzer target for the frame reader: the property is described, and
// checked, in FrameReaderFuzzCheck.h.
#include "FrameReaderFuzzCheck.h"
#include "FuzzMain.h"

TUNARA_FUZZ_PROPERTY("frame reader", frame_fuzz::CheckStream)
