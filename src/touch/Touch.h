// The touch input helpers behind "tipShow", "stylusShow" and "stylusHide".
// Each returns only when its work is done; the stylus operations block the
// calling thread while they wait for the programs they start.
#pragma once

// Opens the on-screen keyboard through the shell and leaves it to itself.
void ShowTouchKeyboard();

void RunStylusShow();
void RunStylusHide();
