// libFuzzer target for the send queue: the property is described, and
// checked, in SendQueueFuzzCheck.h.
#include "SendQueueFuzzCheck.h"
#include "FuzzMain.h"

TUNARA_FUZZ_PROPERTY("send queue", send_fuzz::CheckSendQueue)
