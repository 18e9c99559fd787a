// libFuzzer target for the AAC frame scanner, detection by bytes and the
// AudioSpecificConfig readers: the property is described, and checked, in
// AacFuzzCheck.h.
#include "AacFuzzCheck.h"
#include "FuzzMain.h"

TUNARA_FUZZ_PROPERTY("AAC", aac_fuzz::CheckAac)
