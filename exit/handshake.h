// handshake.h: the sign-on handshake, one step per security message.
#ifndef TARVELO_EXIT_HANDSHAKE_H
#define TARVELO_EXIT_HANDSHAKE_H

#include "exit/exit_call.h"

namespace tarvelo {

// Acts on the partner's security message in the exchange buffer according to
// the handshake state in the first byte of the user area:
//   ZAVCONN_STARTUP  a challenge is answered in place (state 3), unless an
//                    exit made it; a status message closes the channel;
//   ZAVCONN_SIGNON   status ZAVSTAT_AUTHORISED sends this side's challenge
//                    from the exit buffer (state 2); any other closes, and
//                    so does a message of length 0, which carries none;
//   ZAVCONN_VERIFY   the partner's response must equal the expected one.
// Every refusal writes one numbered message and closes the channel. Nothing
// outside the bytes of the message that the exchange buffer holds (see
// exit_call.h) and the exit buffer is read or written. The call's password
// field must not be null.
void run_handshake_step(const exit_call &call);

} // namespace tarvelo

#endif
