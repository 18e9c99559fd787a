// The whole framework in one include, for the program's sources.
#pragma once

#include "framework/Handles.h"
#include "framework/WideText.h"
#include "framework/WinApp.h"
#include "framework/Wnd.h"
#include "framework/FrameWnd.h"
#include "framework/AsyncSocket.h"
