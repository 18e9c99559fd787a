// What code outside the socket layer needs of its held-back sends, without
// the Winsock headers (which must come before <windows.h> where used).
#pragma once

// Sends now what the calling thread's sockets hold back while another
// connection streams commands (CAsyncSocket::DeferSend). For code that is
// about to wait without dispatching the thread's messages (for another
// program), so that the wait does not delay those frames as well.
void AfxSocketReleaseHeld();
